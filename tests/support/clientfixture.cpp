#include "clientfixture.h"

#include "dialogs/errormessagedialog.h"
#include "jobs/kiteproject.h"

#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QSettings>

ClientFixture::ClientFixture() = default;

ClientFixture::~ClientFixture()
{
    // Error dialogs a job opened are top-level windows; they go with the job.
    if (settings) {
        for (KiteProject* job : qAsConst(settings->jobList))
            delete job->errorDialog.data();
    }
    delete plugin;
    delete settings;
    LogWriter::instance().close();
}

QString ClientFixture::projectsFolder() const
{
    return m_dir.filePath(QStringLiteral("projects"));
}

QString ClientFixture::logText() const
{
    LogWriter::instance().close();
    QFile log(m_dir.filePath(QStringLiteral("logFile.log")));
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(log.readAll());
}

KiteProject* ClientFixture::job(const QString& name) const
{
    KiteProject* found = nullptr;
    for (KiteProject* candidate : qAsConst(settings->jobList))
        found = candidate->name == name && !candidate->isDeleted ? candidate : found;
    return found;
}

bool ClientFixture::refresh() const
{
    const QString marker = projectsFolder() + QStringLiteral("/di2_orv_refresh.txt");
    QFile::remove(marker);
    return TestFiles::writeFile(marker, QByteArray());
}

bool ClientFixture::start(const Options& chosen)
{
    options = chosen;
    if (!simulator.isListening() && !simulator.listen())
        return false;
    QDir().mkpath(projectsFolder());
    const QString base = simulator.serverUrl().toString();
    {
        QSettings ini(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("UserData/username"), options.user);
        ini.setValue(QStringLiteral("UserData/firstRunDone"), options.firstRunDone);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), projectsFolder());
        ini.setValue(QStringLiteral("Settings/logLevel"), options.logLevel);
        ini.setValue(QStringLiteral("Network/serverWss"), base);
        ini.setValue(QStringLiteral("Network/serverWssTemplate"), base + QStringLiteral("/%1"));
        if (!options.subdomain.isEmpty())
            ini.setValue(QStringLiteral("Network/subdomainWss"), options.subdomain);
    }
    settings = new KiteSettings;
    settings->setApplicationDirectory(m_dir.path());
    settings->versionBuild = 321;
    connect(settings, &KiteSettings::loadPasswordSignal, this, [this] { settings->password = options.password; });
    settings->load();

    plugin = new PluginNetConnection;
    plugin->setKiteSettings(settings);
    // The host's duties around the login.
    connect(settings, &KiteSettings::makeRequest, plugin,
            [this](QString action, QJsonObject data, KiteProject* job, QString custom) {
                plugin->makeRequest(action, data, job, custom);
            });
    settings->websocketPingEnabled = true;
    connect(plugin, &PluginNetConnection::loginSuccessSignal, this, [this](int status) {
        if (status == 0) {
            settings->loggedIn = true;
            settings->syncActive = true;
        }
    });
    return true;
}
