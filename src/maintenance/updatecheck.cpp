#include "maintenance/updatecheck.h"

#include "jobs/kiteproject.h"
#include "maintenance/maintenancelogging.h"
#include "net/jsonread.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/settingsstore.h"
#include "transfers/downloadfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>

Q_LOGGING_CATEGORY(lcMaintenance, "kite.maintenance")

namespace {
using K = KiteSettings;

struct VersionEntry {
    const char* key;
    int K::*field;
};

// Installed versions as the installer and the host record them in
// settings.ini; an absent entry reads as 0.
const VersionEntry kVersionEntries[] = {
    {"plugins/version3ds", &K::version3ds},
    {"plugins/version3dsPlugins", &K::version3dsPlugins},
    {"plugins/versionBlender", &K::versionBlender},
    {"plugins/versionBlender28", &K::versionBlender28},
    {"plugins/versionCinema4d", &K::versionCinema4d},
    {"plugins/versionCinema4d14", &K::versionCinema4d14},
    {"plugins/versionCinema4d21", &K::versionCinema4d21},
    {"plugins/versionCinema4dPlugins", &K::versionCinema4dPlugins},
    {"plugins/versionLightwave", &K::versionLightwave},
    {"plugins/versionMaxwell", &K::versionMaxwell},
    {"plugins/versionMaya", &K::versionMaya},
    {"plugins/versionModo", &K::versionModo},
    {"plugins/versionXSI", &K::versionXSI},
    {"plugins/versionMentalray", &K::versionMentalray},
    {"plugins/versionVray", &K::versionVray},
    {"plugins/versionArnold", &K::versionArnold},
    {"plugins/versionOctane", &K::versionOctane},
    {"plugins/versionKeyshot", &K::versionKeyshot},
    {"plugins/versionRenderman", &K::versionRenderman},
    {"plugins/versionRhino", &K::versionRhino},
    {"plugins/versionRevit", &K::versionRevit},
    {"plugins/versionHoudini", &K::versionHoudini},
    {"plugins/versionSketchup", &K::versionSketchup},
    {"plugins/versionClarisse", &K::versionClarisse},
    {"plugins/versionRedshift", &K::versionRedshift},
};

// The applications a "pluginpaths" entry can name, tested in this order; the
// first match ends the tests for the entry.
enum App {
    Max3ds, Blender, Blender28, Cinema4d, Cinema4d14,
    Lightwave, Maxwell, Maya, Modo, Xsi, Mentalray, Vray, Arnold, Octane, Keyshot, Renderman, Rhino,
    Revit, Houdini, Sketchup, Clarisse, Redshift,
    AppCount
};

struct Token {
    const char* text;
    const char* unless; // the entry must not contain this (or null)
};

const Token kTokens[AppCount] = {
    {"3dsmax", nullptr}, {"blender", "blender28"}, {"blender28", nullptr}, {"c4d", "c4d14"}, {"c4d14", nullptr},
    {"lightwave", nullptr}, {"maxwell", nullptr}, {"maya", nullptr}, {"modo", nullptr}, {"xsi", nullptr},
    {"mentalray", nullptr}, {"vray", nullptr}, {"arnold", nullptr}, {"octane", nullptr}, {"keyshot", nullptr},
    {"renderman", nullptr}, {"rhino", nullptr}, {"revit", nullptr}, {"houdini", nullptr}, {"sketchup", nullptr},
    {"clarisse", nullptr}, {"redshift", nullptr},
};

// The version field of each of the applications Lightwave ... Redshift.
int K::* const kSimpleAppFields[] = {
    &K::versionLightwave, &K::versionMaxwell, &K::versionMaya, &K::versionModo, &K::versionXSI,
    &K::versionMentalray, &K::versionVray, &K::versionArnold, &K::versionOctane, &K::versionKeyshot,
    &K::versionRenderman, &K::versionRhino, &K::versionRevit, &K::versionHoudini, &K::versionSketchup,
    &K::versionClarisse, &K::versionRedshift,
};
static_assert(sizeof(kSimpleAppFields) / sizeof(kSimpleAppFields[0]) == AppCount - Lightwave,
              "one field per simple application");

int matchingApp(const QString& application)
{
    for (int app = 0; app < AppCount; ++app) {
        const Token& token = kTokens[app];
        if (!application.contains(QLatin1String(token.text)))
            continue;
        if (token.unless && application.contains(QLatin1String(token.unless)))
            continue;
        return app;
    }
    return -1;
}

// Longest window that still gives a delay in int milliseconds.
constexpr int maxWindowSeconds = 2147483;
} // namespace

const QString UpdateCheck::updateJobName = QStringLiteral("updateDownload");

UpdateCheck::UpdateCheck(PluginNetConnection* plugin, KiteSettings* kiteSettings)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
{
}

void UpdateCheck::log(const QString& message, int level)
{
    emit m_plugin->writeToLog(message, level);
}

int UpdateCheck::randomDelayMs(int windowMinutes, int r)
{
    qint64 windowSeconds = static_cast<qint64>(windowMinutes) * 60;
    // 0 means "now", within a second; a negative window from the server is
    // taken the same way, an endless one is capped.
    if (windowSeconds <= 0)
        windowSeconds = 1;
    if (windowSeconds > maxWindowSeconds)
        windowSeconds = maxWindowSeconds;
    const float fraction = static_cast<float>(r) / 32767.0f;
    const float delay = static_cast<float>(windowSeconds) * fraction * 1000.0f;
    if (delay >= static_cast<float>(maxWindowSeconds) * 1000.0f)
        return maxWindowSeconds * 1000;
    return delay <= 0.0f ? 0 : static_cast<int>(delay);
}

void UpdateCheck::autoupdateSignal(const QJsonObject& message)
{
    const QJsonValue time = message.value(QStringLiteral("data")).toObject().value(QStringLiteral("time"));
    log(QStringLiteral("autoupdatesignal received: ") + JsonRead::text(time), 1);

    const int r = std::rand() % 32768;
    const int delayMs = randomDelayMs(JsonRead::integer(time), r);
    log(QStringLiteral("randomTime: ") + QString::number(delayMs), 3);

    m_plugin->updateTimer.stop();
    m_plugin->updateTimerRunning = true;
    m_plugin->updateTimer.setSingleShot(true);
    m_plugin->updateTimer.start(delayMs);
}

void UpdateCheck::readInstalledVersions()
{
    // A store of its own, so that what the host or the installer wrote
    // meanwhile is seen.
    SettingsStore store(QDir(m_settings->applicationDirectory()).filePath(QStringLiteral("settings.ini")));
    for (const VersionEntry& entry : kVersionEntries)
        m_settings->*entry.field = store.value(QLatin1String(entry.key)).toInt();
    const QVariant pluginCopy = store.value(QStringLiteral("plugins/versionPluginCopy"));
    if (pluginCopy.isValid() && !pluginCopy.isNull())
        m_settings->versionPluginCopy = pluginCopy.toInt();

    bool installed[AppCount] = {};
    const int count = store.value(QStringLiteral("pluginpaths/size")).toInt();
    for (int i = 1; i <= count; ++i) {
        const QString application =
            store.value(QStringLiteral("pluginpaths/%1/application").arg(i)).toString();
        const int app = matchingApp(application);
        if (app >= 0)
            installed[app] = true;
    }

    KiteSettings& s = *m_settings;
    if (!installed[Max3ds]) {
        s.version3ds = notInstalled;
        s.version3dsPlugins = notInstalled;
    }
    if (!installed[Blender])
        s.versionBlender = notInstalled;
    if (!installed[Blender28]) {
        s.versionBlender28 = notInstalled;
        qCDebug(lcMaintenance) << "330 !installBlender28";
    }
    if (!installed[Cinema4d])
        s.versionCinema4d = notInstalled;
    if (!installed[Cinema4d14]) {
        s.versionCinema4d14 = notInstalled;
        if (!installed[Cinema4d])
            s.versionCinema4dPlugins = notInstalled;
    }
    s.versionCinema4d21 = notInstalled;
    for (int app = Lightwave; app < AppCount; ++app) {
        if (!installed[app])
            s.*kSimpleAppFields[app - Lightwave] = notInstalled;
    }
}

void UpdateCheck::checkforUpdates()
{
    if (m_settings->updateDownloadStarted) {
        qCDebug(lcMaintenance) << "473 kiteSettings->updateDownloadStarted - //stop "
                               << m_settings->updateDownloadStarted;
    } else {
        m_settings->updateDownloadStarted = true;
        qCDebug(lcMaintenance) << "477 set kiteSettings->updateDownloadStarted= true";
    }
    readInstalledVersions();
    log(QStringLiteral("Checking for updates..."), 0);
    m_plugin->makeRequest(QStringLiteral("autoupdate"),
                          QJsonObject{{QStringLiteral("custom"), QStringLiteral("autoupdate")}});
}

bool UpdateCheck::isSafeRelativePath(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))
        || QDir::isAbsolutePath(name))
        return false;
    const QStringList parts = QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part == QLatin1String(".."))
            return false;
        for (const QChar c : part) {
            if (c.unicode() < 0x20)
                return false;
        }
    }
    return true;
}

void UpdateCheck::downloadUpdateFiles(const QStringList& updateFileListe)
{
    log(QStringLiteral("downloadUpdateFiles: ") + QString::number(updateFileListe.size()), 0);

    auto* job = new KiteProject(m_settings, updateJobName, QString(), m_settings);
    connect(job, &KiteProject::downloadProgressSignal, m_settings, &KiteSettings::updateDownloadProgressSignal);
    job->isUpdateJob = true;
    job->isUnknown = false;
    job->isDownloading = true;
    job->downloadPath = m_settings->pluginFolder;
    job->setDownloadFolders(m_settings->pluginDir, job->localDownloadDirCustom);
    job->downloadPriority = updateJobPriority;
    log(QStringLiteral("update downloadPath: ") + job->downloadPath, 0);
    log(QStringLiteral("update localDownloadDir: ") + job->localDownloadDir, 0);
    log(QStringLiteral("update pluginDir: ") + m_settings->pluginDir, 0);
    log(QStringLiteral("update pluginFolder: ") + m_settings->pluginFolder, 0);

    for (const QString& entry : updateFileListe) {
        const int colon = entry.indexOf(QLatin1Char(':'));
        const QString name = colon < 0 ? entry : entry.left(colon);
        bool sizeOk = false;
        const double size = colon < 0 ? 0.0 : entry.mid(colon + 1).trimmed().toDouble(&sizeOk);
        // The downloader writes each file below the plug-in folder: a name
        // that leaves it, or an entry without a usable size, is not fetched.
        if (!sizeOk || size < 0 || size >= 9.2e18 || !isSafeRelativePath(name)) {
            log(QStringLiteral("UPDATEFILELIST entry refused: ") + entry, 0);
            continue;
        }
        DownloadFile file;
        file.path = name;
        file.size = static_cast<qint64>(size);
        job->downloadBytesTotal += file.size;
        job->downloadList.append(file);
        log(QStringLiteral("UPDATEFILELIST: ") + entry, 0);
    }

    job->downloadPriority = updateJobPriority;
    job->isUpdateJob = true;
    m_settings->jobList.append(job);
    log(QStringLiteral("++ appended updateDownloadJob"), 0);
    ++m_settings->runningJobDownloads;
    emit m_plugin->downloadJobSignal();
}

void UpdateCheck::pluginConfigAnswer(const QJsonObject& message)
{
    const QJsonObject data = message.value(QStringLiteral("data")).toObject();
    const QString program = data.value(QStringLiteral("program")).toString();
    const int version = JsonRead::integer(data.value(QStringLiteral("version")));
    const QString content = data.value(QStringLiteral("content")).toString();

    QString path;
    bool newer = false;
    if (program == QLatin1String("max")) {
        path = m_settings->pluginDir + QStringLiteral("/3ds/plugs.cfg");
        newer = version > m_settings->version3dsPlugins;
        QDir().mkpath(m_settings->pluginDir + QStringLiteral("/3ds"));
    } else if (program == QLatin1String("c4d")) {
        path = m_settings->pluginDir + QStringLiteral("/Cinema4D/c4d_plugs.cfg");
        newer = version > m_settings->versionCinema4dPlugins;
        QDir().mkpath(m_settings->pluginDir + QStringLiteral("/Cinema4D"));
    }
    if (path.isEmpty() || content.isEmpty()) {
        log(QStringLiteral("Could not write correct config info"), 0);
        return;
    }
    if (QFileInfo::exists(path) && !newer)
        return;

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        // Nothing was written: the plug-ins are not told of an update.
        log(QStringLiteral("Could not open config file 2441"), 0);
        return;
    }
    log(QStringLiteral("writing plugin config info to file ") + path, 1);
    // A text file: on Windows every line ends in CR LF, also where the
    // server's text ends its lines so already (a text-mode write would make
    // those CR CR LF).
    QByteArray bytes = content.toUtf8();
#ifdef Q_OS_WIN
    bytes.replace("\r\n", "\n").replace("\n", "\r\n");
#endif
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!written) {
        log(QStringLiteral("Could not open config file 2441"), 0);
        return;
    }
    qCDebug(lcMaintenance) << "2469 updateReadySignal";
    emit m_settings->updateReadySignal();
}
