#include "settings/kitesettings.h"

#include "jobs/jobindex.h"

#include "jobs/kiteproject.h"
#include "transfers/downloadfile.h"
#include "transfers/uploadfile.h"

#include "settings/logwriter.h"
#include "settings/settingslogging.h"
#include "settings/settingsstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostInfo>
#include <QUuid>

#include <variant>

Q_LOGGING_CATEGORY(lcSettings, "kite.settings")

namespace {

using K = KiteSettings;

// How load() takes a key: Always gives false/0/empty for an absent key,
// IfPresent leaves the field alone unless the key holds a non-null value.
enum class Read { Always, IfPresent };
// How saveToIni() writes it: Custom keys have their own rule in saveToIni().
enum class Save { Always, Never, Custom };

using Field = std::variant<bool K::*, int K::*, float K::*, QString K::*>;

struct Binding {
    const char* key;
    Field field;
    Read read;
    Save save;
};

// Group "Settings", from "Settings/autoPluginUpdate" to "Settings/useTrayMenu".
const Binding kSettingsOptions[] = {
    {"Settings/autoPluginUpdate", &K::autoPluginUpdate, Read::IfPresent, Save::Always},
    {"Settings/autoProgramUpdate", &K::autoProgramUpdate, Read::IfPresent, Save::Always},
    {"Settings/debugMode", &K::debugMode, Read::IfPresent, Save::Always},
    {"Settings/NotificationJoblistOnStartup", &K::NotificationJoblistOnStartup, Read::IfPresent, Save::Always},
    {"Settings/NotificationOutOfRenderPoints", &K::NotificationOutOfRenderPoints, Read::IfPresent, Save::Always},
    {"Settings/NotificationRenderingEnd", &K::NotificationRenderingEnd, Read::IfPresent, Save::Always},
    {"Settings/NotificationRenderingStart", &K::NotificationRenderingStart, Read::IfPresent, Save::Always},
    {"Settings/NotificationSupportTickets", &K::NotificationSupportTickets, Read::IfPresent, Save::Always},
    {"Settings/NotificationUploadEnd", &K::NotificationUploadEnd, Read::IfPresent, Save::Always},
    {"Settings/NotificationUploadStart", &K::NotificationUploadStart, Read::IfPresent, Save::Always},
    {"Settings/NotificationWarnings", &K::NotificationWarnings, Read::IfPresent, Save::Always},
    {"Settings/ProgramLanguage", &K::ProgramLanguage, Read::IfPresent, Save::Always},
    {"Settings/NotificationProgressEnabled", &K::NotificationProgressEnabled, Read::IfPresent, Save::Always},
    {"Settings/NotificationProgress", &K::NotificationProgress, Read::IfPresent, Save::Always},
    {"Settings/NotificationDuration", &K::NotificationDuration, Read::IfPresent, Save::Always},
    {"Settings/standardClickActionControlCenter", &K::standardClickActionControlCenter, Read::IfPresent,
     Save::Always},
    {"Settings/zipDownEnabled", &K::zipDownEnabled, Read::IfPresent, Save::Always},
    {"Settings/zipUpEnabled", &K::zipUpEnabled, Read::IfPresent, Save::Always},
    {"Settings/logLevel", &K::logLevel, Read::IfPresent, Save::Custom},
    {"Settings/copyTexFiles", &K::copyTexFiles, Read::IfPresent, Save::Always},
    {"Settings/createShortcuts", &K::createShortcuts, Read::IfPresent, Save::Always},
    {"Settings/enableAutostart", &K::enableAutostart, Read::IfPresent, Save::Always},
    {"Settings/licensePort1", &K::licensePort1, Read::IfPresent, Save::Custom},
    {"Settings/licensePort2", &K::licensePort2, Read::IfPresent, Save::Custom},
    {"Settings/licensePort3", &K::licensePort3, Read::IfPresent, Save::Custom},
    {"Settings/licensePort1local", &K::licensePort1local, Read::IfPresent, Save::Custom},
    {"Settings/licensePort2local", &K::licensePort2local, Read::IfPresent, Save::Custom},
    {"Settings/licensePort3local", &K::licensePort3local, Read::IfPresent, Save::Custom},
    {"Settings/licenseServerArnold", &K::licenseServerArnold, Read::IfPresent, Save::Custom},
    {"Settings/licenseCountArnold", &K::licenseCountArnold, Read::IfPresent, Save::Custom},
    {"Settings/licenseLimitArnold", &K::licenseLimitArnold, Read::IfPresent, Save::Custom},
    {"Settings/connectLicenseServer", &K::connectLicenseServer, Read::IfPresent, Save::Always},
    {"Settings/adminMode", &K::adminMode, Read::Always, Save::Never},
    {"Settings/useTrayMenu", &K::useTrayMenu, Read::IfPresent, Save::Never},
};

// Group "System": the processor as the installer saw it.
const Binding kSystem[] = {
    {"System/CPUAutoDetect", &K::CPUAutoDetect, Read::Always, Save::Never},
    {"System/CPUBrand", &K::CPUBrand, Read::Always, Save::Never},
    {"System/CPUModel", &K::CPUModel, Read::Always, Save::Never},
    {"System/CPUType", &K::CPUType, Read::Always, Save::Never},
    {"System/CPUFrequency", &K::CPUFrequency, Read::Always, Save::Never},
    {"System/CPUCores", &K::CPUCores, Read::Always, Save::Never},
    {"System/CPUCount", &K::CPUCount, Read::Always, Save::Never},
};

// Group "Network": proxies and transfer options. "Network/proxyFtpMethod" is
// listed twice and "Network/useSftp" is an older name that overrides
// "Network/useSftpDown".
const Binding kNetworkOptions[] = {
    {"Network/proxyHttpAddress", &K::proxyHttpAddress, Read::Always, Save::Always},
    {"Network/proxyHttpPort", &K::proxyHttpPort, Read::Always, Save::Always},
    {"Network/proxyHttpUsername", &K::proxyHttpUsername, Read::Always, Save::Always},
    {"Network/proxyHttpPassword", &K::proxyHttpPassword, Read::Always, Save::Always},
    {"Network/proxyFtpAddress", &K::proxyFtpAddress, Read::Always, Save::Always},
    {"Network/proxyFtpPort", &K::proxyFtpPort, Read::Always, Save::Always},
    {"Network/proxyHttpLogin", &K::proxyHttpLogin, Read::Always, Save::Always},
    {"Network/proxyFtpLogin", &K::proxyFtpLogin, Read::Always, Save::Always},
    {"Network/proxyFtpUsername", &K::proxyFtpUsername, Read::Always, Save::Always},
    {"Network/proxyFtpPassword", &K::proxyFtpPassword, Read::Always, Save::Always},
    {"Network/proxyFtpMethod", &K::proxyFtpMethod, Read::Always, Save::Always},
    {"Network/ftpCCC", &K::ftpCCC, Read::Always, Save::Always},
    {"Network/ftpEncryptionUp", &K::ftpEncryptionUp, Read::IfPresent, Save::Always},
    {"Network/ftpEncryptionDown", &K::ftpEncryptionDown, Read::IfPresent, Save::Always},
    {"Network/proxySettingFTP", &K::proxySettingFTP, Read::Always, Save::Always},
    {"Network/proxySettingHTTP", &K::proxySettingHTTP, Read::Always, Save::Always},
    {"Network/proxySettingFTPAutoDetected", &K::proxySettingFTPAutoDetected, Read::Always, Save::Always},
    {"Network/proxySettingHTTPAutoDetected", &K::proxySettingHTTPAutoDetected, Read::Always, Save::Always},
    {"Network/proxyHttpMethod", &K::proxyHttpMethod, Read::Always, Save::Always},
    {"Network/proxyFtpMethod", &K::proxyFtpMethod, Read::Always, Save::Always},
    {"Network/bandwidthLimitUpload", &K::bandwidthLimitUpload, Read::Always, Save::Always},
    {"Network/bandwidthLimitUploadvalue", &K::bandwidthLimitUploadvalue, Read::Always, Save::Always},
    {"Network/bandwidthLimitDownload", &K::bandwidthLimitDownload, Read::Always, Save::Always},
    {"Network/bandwidthLimitDownloadvalue", &K::bandwidthLimitDownloadvalue, Read::Always, Save::Always},
    {"Network/useSftpUp", &K::useSftpUp, Read::IfPresent, Save::Always},
    {"Network/useHttpsUp", &K::useHttpsUp, Read::IfPresent, Save::Always},
    {"Network/useExpedatUp", &K::useExpedatUp, Read::IfPresent, Save::Always},
    {"Network/useHttpsDown", &K::useHttpsDown, Read::IfPresent, Save::Always},
    {"Network/useExpedatDown", &K::useExpedatDown, Read::IfPresent, Save::Always},
    {"Network/useSftpDown", &K::useSftpDown, Read::IfPresent, Save::Always},
    {"Network/useSftp", &K::useSftpDown, Read::IfPresent, Save::Never},
    {"Network/useProxyForSftp", &K::useProxyForSftp, Read::IfPresent, Save::Always},
    {"Network/sftpSendBuffer", &K::sftpSendBuffer, Read::IfPresent, Save::Always},
    {"Network/sftpReceiveBuffer", &K::sftpReceiveBuffer, Read::IfPresent, Save::Always},
};

// Server endpoints up to the port keys; all share serverPort, the last present
// one wins.
const Binding kServerEndpoints[] = {
    {"Network/serverWss", &K::serverWss, Read::IfPresent, Save::Never},
    {"Network/serverFtp", &K::serverFtp, Read::IfPresent, Save::Never},
    {"Network/serverFtp2", &K::serverFtp, Read::IfPresent, Save::Never},
    {"Network/serverSftp", &K::serverSftp, Read::IfPresent, Save::Never},
    {"Network/serverSftp2", &K::serverSftp, Read::IfPresent, Save::Never},
    {"Network/serverSftpPort", &K::serverPort, Read::IfPresent, Save::Never},
    {"Network/serverSftpPort2", &K::serverPort, Read::IfPresent, Save::Never},
    {"Network/serverFtpPort", &K::serverPort, Read::IfPresent, Save::Never},
    {"Network/serverFtpPort2", &K::serverPort, Read::IfPresent, Save::Never},
    {"Network/serverUdp", &K::serverUdp, Read::IfPresent, Save::Never},
    {"Network/serverUdpPort", &K::serverPort, Read::IfPresent, Save::Never},
};

// Render-engine install paths (group "PathOptions").
const Binding kEnginePaths[] = {
    {"PathOptions/indigoPath", &K::indigoPath, Read::Always, Save::Always},
    {"PathOptions/maxwellPath", &K::maxwellPath, Read::Always, Save::Always},
    {"PathOptions/mentalrayPath", &K::mentalrayPath, Read::Always, Save::Always},
    {"PathOptions/vrayPath", &K::vrayPath, Read::Always, Save::Always},
    {"PathOptions/arnoldPath", &K::arnoldPath, Read::Always, Save::Always},
    {"PathOptions/octanePath", &K::octanePath, Read::Always, Save::Always},
    {"PathOptions/keyshotPath", &K::keyshotPath, Read::Always, Save::Always},
    {"PathOptions/rendermanPath", &K::rendermanPath, Read::Always, Save::Always},
};

// Installed plug-in versions (group "plugins"); the update check refreshes them.
const Binding kPluginVersions[] = {
    {"plugins/version3ds", &K::version3ds, Read::Always, Save::Never},
    {"plugins/version3dsPlugins", &K::version3dsPlugins, Read::Always, Save::Never},
    {"plugins/versionBlender", &K::versionBlender, Read::Always, Save::Never},
    {"plugins/versionBlender28", &K::versionBlender28, Read::Always, Save::Never},
    {"plugins/versionBlender30", &K::versionBlender30, Read::Always, Save::Never},
    {"plugins/versionCinema4d", &K::versionCinema4d, Read::Always, Save::Never},
    {"plugins/versionCinema4d14", &K::versionCinema4d14, Read::Always, Save::Never},
    {"plugins/versionCinema4dPlugins", &K::versionCinema4dPlugins, Read::Always, Save::Never},
    {"plugins/versionLightwave", &K::versionLightwave, Read::Always, Save::Never},
    {"plugins/versionMaxwell", &K::versionMaxwell, Read::Always, Save::Never},
    {"plugins/versionMaya", &K::versionMaya, Read::Always, Save::Never},
    {"plugins/versionModo", &K::versionModo, Read::Always, Save::Never},
    {"plugins/versionXSI", &K::versionXSI, Read::Always, Save::Never},
    {"plugins/versionMentalray", &K::versionMentalray, Read::Always, Save::Never},
    {"plugins/versionVray", &K::versionVray, Read::Always, Save::Never},
    {"plugins/versionArnold", &K::versionArnold, Read::Always, Save::Never},
    {"plugins/versionRenderman", &K::versionRenderman, Read::Always, Save::Never},
    {"plugins/versionRhino", &K::versionRhino, Read::Always, Save::Never},
    {"plugins/versionRevit", &K::versionRevit, Read::Always, Save::Never},
    {"plugins/versionHoudini", &K::versionHoudini, Read::Always, Save::Never},
    {"plugins/versionSketchup", &K::versionSketchup, Read::Always, Save::Never},
    {"plugins/versionClarisse", &K::versionClarisse, Read::Always, Save::Never},
    {"plugins/versionRedshift", &K::versionRedshift, Read::Always, Save::Never},
    {"plugins/versionPluginCopy", &K::versionPluginCopy, Read::IfPresent, Save::Never},
    {"plugins/versionPlugsCfg3ds", &K::versionPlugsCfg3ds, Read::Always, Save::Never},
    {"plugins/versionPlugsCfgC4d", &K::versionPlugsCfgC4d, Read::Always, Save::Never},
    {"plugins/useBeta3dsPlugin", &K::useBeta3dsPlugin, Read::IfPresent, Save::Never},
    {"plugins/useBetaMayaPlugin", &K::useBetaMayaPlugin, Read::IfPresent, Save::Never},
    {"plugins/useBetaCinema4dPlugin", &K::useBetaCinema4dPlugin, Read::IfPresent, Save::Never},
};

// Library file names of the sibling plug-ins, in the order they are saved.
struct PluginLibrary {
    const char* key;
    QString K::*field;
    const char* defaultName;
};

const PluginLibrary kPluginLibraries[] = {
    {"plugins/pluginDownloader", &K::pluginDownloader, "PluginDownloader.dll"},
    {"plugins/pluginImporter", &K::pluginImporter, "PluginImporter.dll"},
    {"plugins/pluginNetConnection", &K::pluginNetConnection, "PluginNetConnection.dll"},
    {"plugins/pluginSettings", &K::pluginSettings, "PluginSettings.dll"},
    {"plugins/pluginStarter", &K::pluginStarter, "PluginStarter.dll"},
    {"plugins/pluginTrayMenu", &K::pluginTrayMenu, "PluginTrayMenu.dll"},
    {"plugins/pluginUploader", &K::pluginUploader, "PluginUploader.dll"},
};

// Keys whose spelling on save differs from the one load() uses.
const char* const kLicensePortKeys[] = {"Settings/LicensePort1", "Settings/LicensePort2",
                                        "Settings/LicensePort3"};
const char* const kLicenseLocalPortKeys[] = {"Settings/LicensePort1local", "Settings/LicensePort2local",
                                             "Settings/LicensePort3local"};

void assign(bool& field, const QVariant& value) { field = value.toBool(); }
void assign(int& field, const QVariant& value) { field = value.toInt(); }
void assign(float& field, const QVariant& value) { field = value.toFloat(); }
void assign(QString& field, const QVariant& value) { field = value.toString(); }

// Applies the read rule of binding; true when the field took a stored value.
bool readKey(const SettingsStore& store, KiteSettings& settings, const Binding& binding)
{
    const QVariant value = store.value(QLatin1String(binding.key));
    if (binding.read == Read::IfPresent && value.isNull())
        return false;
    std::visit([&](auto member) { assign(settings.*member, value); }, binding.field);
    return !value.isNull();
}

template <std::size_t N>
void readKeys(const SettingsStore& store, KiteSettings& settings, const Binding (&bindings)[N])
{
    for (const Binding& binding : bindings)
        readKey(store, settings, binding);
}

QVariant fieldValue(const KiteSettings& settings, const Field& field)
{
    return std::visit([&](auto member) { return QVariant(settings.*member); }, field);
}

template <std::size_t N>
void saveKeys(SettingsStore& store, const KiteSettings& settings, const Binding (&bindings)[N])
{
    for (const Binding& binding : bindings) {
        if (binding.save == Save::Always)
            store.setValue(QLatin1String(binding.key), fieldValue(settings, binding.field));
    }
}

// The name after the group, as used in the debug output of endpoint keys.
QString keyName(const char* key)
{
    const QString text = QLatin1String(key);
    return text.mid(text.indexOf(QLatin1Char('/')) + 1);
}

QString translatedLink(const QString& url)
{
    return QCoreApplication::translate("KiteSettings", url.toUtf8().constData());
}

} // namespace

KiteSettings::KiteSettings(QObject* parent)
    : QObject(parent)
{
    // The records and the job travel through signals between the plug-ins,
    // also queued and by name (the host connects by signatures).
    qRegisterMetaType<KiteProject*>("KiteProject*");
    qRegisterMetaType<UploadFile>("UploadFile");
    qRegisterMetaType<DownloadFile>("DownloadFile");
    setServerHttpsHost(KiteConstants::DefaultServerHttpsHost);
    setServerHttpsHost2(KiteConstants::DefaultServerHttpsHost2);
    applyBetaSwitch();
    setPortalLinks();
}

KiteSettings::~KiteSettings() = default;

JobIndex& KiteSettings::jobIndex()
{
    if (!m_jobIndex)
        m_jobIndex = std::make_unique<JobIndex>(jobList);
    return *m_jobIndex;
}

void KiteSettings::setApplicationDirectory(const QString& dir)
{
    m_applicationDirectory = dir;
}

QString KiteSettings::applicationDirectory() const
{
    return m_applicationDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : m_applicationDirectory;
}

SettingsStore& KiteSettings::settingsStore()
{
    const QString fileName = QDir(applicationDirectory()).filePath(KiteConstants::SettingsFileName);
    if (!m_store || m_store->fileName() != fileName)
        m_store = std::make_unique<SettingsStore>(fileName);
    return *m_store;
}

void KiteSettings::load()
{
    SettingsStore& store = settingsStore();
    store.sync();

    // 1-2: identity and account.
    readKey(store, *this, {"Settings/kiteId", &K::kiteId, Read::IfPresent, Save::Always});
    ensureKiteId();
    kiteHostname = QHostInfo::localHostName();
    readKey(store, *this, {"UserData/username", &K::username, Read::Always, Save::Always});
    emit loadPasswordSignal();

    // 3-6: start-up flags and the beta switch.
    readKey(store, *this, {"Settings/showDebugWindow", &K::showDebugWindow, Read::Always, Save::Never});
    readKey(store, *this, {"UserData/firstRunDone", &K::firstRunDone, Read::Always, Save::Always});
    readKey(store, *this, {"Settings/installMessageShown", &K::installMessageShown, Read::Always, Save::Always});
    oldPluginsRemoved = true;
    readKey(store, *this, {"Settings/oldMenu", &K::oldMenu, Read::IfPresent, Save::Never});
    readKey(store, *this, {"Settings/useTestEnvironment", &K::useTestEnvironment, Read::IfPresent, Save::Never});
    readKey(store, *this, {"Settings/isBeta", &K::isBeta, Read::IfPresent, Save::Custom});
    readKey(store, *this, {"Settings/use30plugins", &K::isBeta, Read::IfPresent, Save::Custom});
    applyBetaSwitch();

    // 7: the projects folder.
    readKey(store, *this, {"PathOptions/localProjectsFolder", &K::localProjectsFolder, Read::Always, Save::Always});
    if (!QFileInfo::exists(localProjectsFolder)) {
        writeToLog(QStringLiteral("299 localProjectsFolder does not exist, use default") + localProjectsFolder, 0);
        localProjectsFolder = QDir::homePath() + KiteConstants::DefaultProjectsFolderSuffix;
    }

    // 8: machine, options, debug overrides, proxies and transfer options.
    readKeys(store, *this, kSystem);
    readKeys(store, *this, kSettingsOptions);
    readKey(store, *this, {"Debug/serverFtp", &K::serverFtp, Read::IfPresent, Save::Never});
    if (readKey(store, *this, {"Debug/serverSftp", &K::serverSftp, Read::IfPresent, Save::Never}))
        qCDebug(lcSettings).noquote() << QStringLiteral("288 settings serverSftp to ") + serverSftp;
    readKey(store, *this, {"Debug/errorTest", &K::errorTest, Read::IfPresent, Save::Never});
    readKeys(store, *this, kNetworkOptions);

    // 9: server endpoints.
    loadServerEndpoints(store);

    // 10-11: transfer limits and the proxy.
    if (bandwidthLimitDownload)
        maxRunningDownloads = 1;
    if (bandwidthLimitUpload)
        maxRunningUploads = 1;
    applyProxySettings();

    // 12: plug-ins and render-engine paths.
    loadPlugins(store);

    // 13-15: test environment and the portal links.
    if (useTestEnvironment)
        applyTestEnvironment();
    qCDebug(lcSettings).noquote() << QStringLiteral("245 serverHttps: ") + serverHttps;
    qCDebug(lcSettings).noquote() << QStringLiteral("245 serverHttps2: ") + serverHttps2;
    loadLanguageSlot(QString());
}

void KiteSettings::loadServerEndpoints(SettingsStore& store)
{
    // The URL pattern comes first so that a stored subdomain is filled into it.
    if (readKey(store, *this, {"Network/serverWssTemplate", &K::serverWssTemplate, Read::IfPresent, Save::Never})) {
        qCDebug(lcSettings).noquote() << QStringLiteral("serverWssTemplate from settings: ") + serverWssTemplate;
        updateServerWss();
    }

    for (const Binding& binding : kServerEndpoints) {
        if (readKey(store, *this, binding)) {
            qCDebug(lcSettings).noquote() << keyName(binding.key) + QLatin1String(" from settings: ")
                    + fieldValue(*this, binding.field).toString();
        }
    }

    const QVariant httpsHost = store.value(QStringLiteral("Network/serverHttpsHost"));
    if (!httpsHost.isNull()) {
        setServerHttpsHost(httpsHost.toString());
        qCDebug(lcSettings).noquote() << QStringLiteral("serverHttpsHost from settings: ") + serverHttpsHost;
    }
    const QVariant httpsHost2 = store.value(QStringLiteral("Network/serverHttpsHost2"));
    if (!httpsHost2.isNull()) {
        setServerHttpsHost2(httpsHost2.toString());
        qCDebug(lcSettings).noquote() << QStringLiteral("serverHttpsHost2 from settings: ") + serverHttpsHost2;
    }

    if (readKey(store, *this, {"Network/serverSshTunnel", &K::serverSshTunnel, Read::IfPresent, Save::Never}))
        qCDebug(lcSettings).noquote() << QStringLiteral("serverSshTunnel from settings: ") + serverSshTunnel;

    const QVariant ping = store.value(QStringLiteral("Network/pingInterval"));
    if (!ping.isNull() && ping.toInt() > 0) {
        pingInterval = ping.toInt();
        qCDebug(lcSettings).noquote() << QStringLiteral("pingInterval from settings: ") + QString::number(pingInterval);
    }

    if (readKey(store, *this, {"Network/subdomainWss", &K::subdomainWss, Read::IfPresent, Save::Custom})) {
        updateServerWss();
        qCDebug(lcSettings).noquote() << QStringLiteral("subdomainWss from settings: ") + subdomainWss;
    }
}

void KiteSettings::loadPlugins(SettingsStore& store)
{
    readKeys(store, *this, kPluginVersions);
    qCDebug(lcSettings).noquote() << QStringLiteral("525 useBeta3dsPlugin: ")
                                         + QVariant(useBeta3dsPlugin).toString();

    pluginDir = store.value(QStringLiteral("plugins/pluginDir")).toString();
    if (pluginDir.isEmpty() || pluginDir == QLatin1String("plugins"))
        pluginDir = applicationDirectory() + KiteConstants::DefaultPluginDirSuffix;

    for (const PluginLibrary& library : kPluginLibraries)
        this->*library.field = store.value(QLatin1String(library.key)).toString();

    readKeys(store, *this, kEnginePaths);

    for (const PluginLibrary& library : kPluginLibraries) {
        if ((this->*library.field).isEmpty())
            this->*library.field = QLatin1String(library.defaultName);
    }
}

void KiteSettings::applyTestEnvironment()
{
    qCDebug(lcSettings) << "227 useTestEnvironment";
    serverWss = KiteConstants::TestServerWss;
    setServerHttpsHost(KiteConstants::TestServerHttpsHost);
    setServerHttpsHost2(KiteConstants::TestServerHttpsHost2);
}

void KiteSettings::ensureKiteId()
{
    if (kiteId.isEmpty())
        kiteId = QUuid::createUuid().toString(QUuid::WithoutBraces);
}

void KiteSettings::applyBetaSwitch()
{
    useBeta3dsPlugin = isBeta;
    useBetaMayaPlugin = isBeta;
    useBetaCinema4dPlugin = isBeta;
    if (isBeta) {
        versionPrefix = QStringLiteral("1.4.");
        winUpdateKey = QStringLiteral("win15beta");
        macUpdateKey = QStringLiteral("mac15beta");
        linuxUpdateKey = QStringLiteral("linux15beta");
        versionInstallerUpdateKey = QStringLiteral("versionInstallerUpdate15beta");
        installerUpdateUntilKey = QStringLiteral("installerUpdateUntil15beta");
        versionInstallerUpdateMacKey = QStringLiteral("versionInstallerUpdateMac15beta");
        installerUpdateUntilMacKey = QStringLiteral("installerUpdateUntilMac15beta");
    } else {
        versionPrefix = QStringLiteral("1.2.");
        winUpdateKey = QStringLiteral("win1");
        macUpdateKey = QStringLiteral("mac1");
        linuxUpdateKey = QStringLiteral("linux1");
        versionInstallerUpdateKey = QStringLiteral("versionInstallerUpdate1");
        installerUpdateUntilKey = QStringLiteral("installerUpdateUntil1");
        versionInstallerUpdateMacKey = QStringLiteral("versionInstallerUpdateMac1");
        installerUpdateUntilMacKey = QStringLiteral("installerUpdateUntilMac1");
    }
}

void KiteSettings::saveToIni()
{
    qCDebug(lcSettings) << "410 saveToIni";
    ensureKiteId();
    SettingsStore& store = settingsStore();

    store.setValue(QStringLiteral("Settings/kiteId"), kiteId);
    store.setValue(QStringLiteral("UserData/username"), username);
    // The password itself lives outside this file (savePasswordSignal); an
    // empty one clears what the file holds, a real one leaves the entry alone.
    if (password.isEmpty())
        store.setValue(QStringLiteral("UserData/password"), QString(QLatin1String("")));
    saveKeys(store, *this, kEnginePaths);
    store.setValue(QStringLiteral("PathOptions/localProjectsFolder"), localProjectsFolder);
    for (const PluginLibrary& library : kPluginLibraries)
        store.setValue(QLatin1String(library.key), this->*library.field);
    store.setValue(QStringLiteral("UserData/firstRunDone"), firstRunDone);
    store.setValue(QStringLiteral("Settings/installMessageShown"), installMessageShown);
    store.setValue(QStringLiteral("UserData/oldPluginsRemoved"), oldPluginsRemoved);
    saveKeys(store, *this, kSettingsOptions);
    store.setValue(QStringLiteral("Settings/use30plugins"), isBeta);
    if (!isBeta)
        store.setValue(QStringLiteral("Settings/isBeta"), false);
    store.setValue(QStringLiteral("Settings/useBeta3dsPlugin"), useBeta3dsPlugin);
    store.setValue(QStringLiteral("Settings/useBetaMayaPlugin"), useBetaMayaPlugin);
    store.setValue(QStringLiteral("Settings/useBetaCinema4dPlugin"), useBetaCinema4dPlugin);
    if (logLevel != KiteConstants::DefaultLogLevel)
        store.setValue(QStringLiteral("Settings/logLevel"), logLevel);

    // Other plug-ins change these two in the file; take their values back.
    qCDebug(lcSettings) << "453 saveToIni";
    store.sync();
    readKey(store, *this, {"Settings/showDebugWindow", &K::showDebugWindow, Read::Always, Save::Never});
    readKey(store, *this, {"UserData/firstRunDone", &K::firstRunDone, Read::Always, Save::Always});

    saveKeys(store, *this, kNetworkOptions);
    store.setValue(QStringLiteral("Network/subdomainWss"), subdomainWss);

    const int ports[] = {licensePort1, licensePort2, licensePort3};
    if (licensePort1 != KiteConstants::NoLicensePort) {
        for (int i = 0; i < 3; ++i)
            store.setValue(QLatin1String(kLicensePortKeys[i]), ports[i]);
    }
    const int localPorts[] = {licensePort1local, licensePort2local, licensePort3local};
    if (licensePort1local != KiteConstants::NoLicensePort) {
        for (int i = 0; i < 3; ++i)
            store.setValue(QLatin1String(kLicenseLocalPortKeys[i]), localPorts[i]);
    }
    if (licenseServerArnold != KiteConstants::DefaultLicenseServerArnold)
        store.setValue(QStringLiteral("Settings/licenseServerArnold"), licenseServerArnold);
    if (licenseCountArnold != 0)
        store.setValue(QStringLiteral("Settings/licenseCountArnold"), licenseCountArnold);
    if (licenseLimitArnold != 0)
        store.setValue(QStringLiteral("Settings/licenseLimitArnold"), licenseLimitArnold);

    store.sync();
    applyProxySettings();
}

void KiteSettings::applyProxySettings()
{
    const bool useStoredProxy = proxySettingHTTP == 2 || (proxySettingHTTP == 0 && proxySettingHTTPAutoDetected);
    if (!useStoredProxy) {
        applicationProxy = QNetworkProxy(QNetworkProxy::NoProxy);
        QNetworkProxy::setApplicationProxy(applicationProxy);
        qCDebug(lcSettings) << "applyProxySettings: no proxy";
        return;
    }

    switch (proxyHttpMethod) {
    case 0:
        applicationProxy.setType(QNetworkProxy::HttpProxy);
        break;
    case 1:
        applicationProxy.setType(QNetworkProxy::Socks5Proxy);
        break;
    case 2:
        applicationProxy.setType(QNetworkProxy::HttpCachingProxy);
        break;
    default:
        break;
    }
    applicationProxy.setHostName(proxyHttpAddress);
    applicationProxy.setPort(static_cast<quint16>(proxyHttpPort));
    applicationProxy.setUser(proxyHttpUsername);
    applicationProxy.setPassword(proxyHttpPassword);
    QNetworkProxy::setApplicationProxy(applicationProxy);
    qCDebug(lcSettings).noquote() << QStringLiteral("applyProxySettings: %1:%2 type %3")
                                         .arg(proxyHttpAddress)
                                         .arg(applicationProxy.port())
                                         .arg(static_cast<int>(applicationProxy.type()));
}

void KiteSettings::setServerHttpsHost(QString host)
{
    serverHttpsHost = std::move(host);
    serverHttpsPath = KiteConstants::ServerHttpsPath;
    serverHttps = QLatin1String("https://") + serverHttpsHost + serverHttpsPath;
}

void KiteSettings::setServerHttpsHost2(QString host)
{
    serverHttpsHost2 = std::move(host);
    serverHttpsPath2 = KiteConstants::ServerHttpsPath;
    serverHttps2 = QLatin1String("https://") + serverHttpsHost2 + serverHttpsPath2;
}

void KiteSettings::updateServerWss()
{
    // An empty subdomain would name the bare domain ("wss://.orvelfarm.net");
    // keep the URL the client already has.
    if (subdomainWss.isEmpty()) {
        qCDebug(lcSettings).noquote() << QStringLiteral("updateServerWss: empty subdomain, keep ") + serverWss;
        return;
    }
    serverWss = serverWssTemplate.contains(QLatin1String("%1")) ? serverWssTemplate.arg(subdomainWss)
                                                                 : serverWssTemplate;
}

void KiteSettings::setMaxRunningDownloads(int n)
{
    maxRunningDownloads = bandwidthLimitDownload ? 1 : n;
}

void KiteSettings::setMaxRunningUploads(int n)
{
    maxRunningUploads = bandwidthLimitUpload ? 1 : n;
}

void KiteSettings::setUploadToDc2Programs(QString list)
{
    qCDebug(lcSettings).noquote() << "setUploadToDc2Programs" << list;
    uploadToDc2Programs = list.split(QLatin1Char(';'));
}

void KiteSettings::setUploadToDc2Renderers(QString list)
{
    qCDebug(lcSettings).noquote() << "setUploadToDc2Renderers" << list;
    uploadToDc2Renderers = list.split(QLatin1Char(';'));
}

void KiteSettings::sendSyncSignal()
{
    qCDebug(lcSettings) << "sendSyncSignal funktion";
    if (firstRunDone)
        emit syncSignal();
}

void KiteSettings::loginSlot(QString user, QString pass)
{
    username = user;
    password = pass;
    qCDebug(lcSettings).noquote() << QStringLiteral("username: ") + username + QLatin1String(", password: xxxxx");
    emit loginSignal(user, pass);
}

void KiteSettings::writeToLog(QString message, int level)
{
    if (!LogWriter::accepts(level, logLevel, exitingApplication))
        return;
    LogWriter::instance().append(applicationDirectory(), message);
}

bool KiteSettings::logs(int level) const
{
    return LogWriter::accepts(level, logLevel, exitingApplication);
}

void KiteSettings::writeToLog(QString message)
{
    writeToLog(std::move(message), 0);
}

void KiteSettings::openNetworkSettingsSlot()
{
    emit openNetworkSettingsSignal();
}

void KiteSettings::openLinkWithTokenSlot(QString linkUrl)
{
    emit openLinkWithTokenSignal(linkUrl);
}

void KiteSettings::loadLanguageSlot(QString language)
{
    qCDebug(lcSettings).noquote() << "settings loadlanguageSlot" << language;
    setPortalLinks();
}

void KiteSettings::setPortalLinks()
{
    // Each link passes through the translation of this class, so a translation
    // can point a language at its own pages.
    const QString portal = KiteConstants::PortalHost;
    const QString accountPortal = useTestEnvironment ? QString(KiteConstants::TestPortalHost) : portal;
    controlCenterUrl = translatedLink(accountPortal + QLatin1String("/my-orvel/control-center/"));
    supportTicketUrl = translatedLink(portal + QLatin1String("/my-orvel/support-ticket/new-ticket"));
    paymentsUrl = translatedLink(accountPortal + QLatin1String("/my-orvel/payments"));
    calculatorUrl = translatedLink(QString(KiteConstants::WebSiteHost) + QLatin1String("/en/lets-go/calculator"));
    teamManagerUrl = translatedLink(accountPortal + QLatin1String("/my-orvel/#/team-manager/overview"));
}
