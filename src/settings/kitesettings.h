#pragma once

#include "kiteshared_export.h"
#include "settings/kiteconstants.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class JobIndex;
class KiteProject;
class SettingsStore;

// The client's one settings object, created by the host and shared by every
// plug-in: the persisted settings of "settings.ini", values derived from them,
// run-time state that several plug-ins read and change, and a hub of signals
// between the plug-ins and the host. All members are public data on purpose;
// everything runs on the host's GUI thread.
class KITESHARED_EXPORT KiteSettings : public QObject
{
    Q_OBJECT
public:
    explicit KiteSettings(QObject* parent = nullptr);
    ~KiteSettings() override;

    // The directory of "settings.ini" and "logFile.log". It is the
    // application's directory unless the host sets another one before load().
    void setApplicationDirectory(const QString& dir);
    QString applicationDirectory() const;

    // The settings file behind load() and saveToIni().
    SettingsStore& settingsStore();

    void setServerHttpsHost(QString host);
    void setServerHttpsHost2(QString host);
    // serverWss = serverWssTemplate with "%1" replaced by subdomainWss.
    void updateServerWss();
    void setMaxRunningDownloads(int n);
    void setMaxRunningUploads(int n);
    void setUploadToDc2Programs(QString list);
    void setUploadToDc2Renderers(QString list);
    void sendSyncSignal();
    // Installs the HTTP proxy settings as the application-wide proxy.
    void applyProxySettings();

    // --- Persisted: group "Settings" ---------------------------------------
    QString kiteId;
    bool showDebugWindow = false;
    bool installMessageShown = false;
    bool oldMenu = false;
    bool useTestEnvironment = false;
    bool isBeta = false;
    bool autoPluginUpdate = true;
    bool autoProgramUpdate = true;
    bool debugMode = false;
    bool NotificationJoblistOnStartup = true;
    bool NotificationOutOfRenderPoints = true;
    bool NotificationRenderingEnd = true;
    bool NotificationRenderingStart = true;
    bool NotificationSupportTickets = true;
    bool NotificationUploadEnd = true;
    bool NotificationUploadStart = true;
    bool NotificationWarnings = true;
    QString ProgramLanguage = KiteConstants::DefaultProgramLanguage;
    bool NotificationProgressEnabled = false;
    int NotificationProgress = KiteConstants::DefaultNotificationProgress;
    int NotificationDuration = KiteConstants::DefaultNotificationDuration;
    bool standardClickActionControlCenter = false;
    bool zipDownEnabled = false;
    bool zipUpEnabled = false;
    int logLevel = KiteConstants::DefaultLogLevel;
    bool copyTexFiles = false;
    bool createShortcuts = true;
    bool enableAutostart = true;
    int licensePort1 = KiteConstants::NoLicensePort;
    int licensePort2 = KiteConstants::NoLicensePort;
    int licensePort3 = KiteConstants::NoLicensePort;
    int licensePort1local = KiteConstants::NoLicensePort;
    int licensePort2local = KiteConstants::NoLicensePort;
    int licensePort3local = KiteConstants::NoLicensePort;
    QString licenseServerArnold = KiteConstants::DefaultLicenseServerArnold;
    int licenseCountArnold = 0;
    int licenseLimitArnold = 0;
    bool connectLicenseServer = false;
    bool adminMode = false;
    bool useTrayMenu = true;
    bool useBeta3dsPlugin = false;
    bool useBetaMayaPlugin = false;
    bool useBetaCinema4dPlugin = false;

    // --- Persisted: group "UserData" ---------------------------------------
    QString username;
    bool firstRunDone = false;
    bool oldPluginsRemoved = false;

    // --- Persisted: group "PathOptions" ------------------------------------
    QString localProjectsFolder;
    QString indigoPath;
    QString maxwellPath;
    QString mentalrayPath;
    QString vrayPath;
    QString arnoldPath;
    QString octanePath;
    QString keyshotPath;
    QString rendermanPath;

    // --- Group "System" (read only): the machine's processor ---------------
    bool CPUAutoDetect = false;
    QString CPUBrand;
    QString CPUModel;
    QString CPUType;
    float CPUFrequency = 0.0f;
    int CPUCores = 0;
    int CPUCount = 0;

    // --- Group "Debug" (read only) -----------------------------------------
    bool errorTest = false;

    // --- Persisted: group "Network", proxy and transfer options ------------
    QString proxyHttpAddress;
    int proxyHttpPort = 0;
    QString proxyHttpUsername;
    QString proxyHttpPassword;
    QString proxyFtpAddress;
    int proxyFtpPort = 0;
    bool proxyHttpLogin = false;
    bool proxyFtpLogin = false;
    QString proxyFtpUsername;
    QString proxyFtpPassword;
    int proxyFtpMethod = 0;
    bool ftpCCC = false;
    bool ftpEncryptionUp = false;
    bool ftpEncryptionDown = false;
    int proxySettingFTP = 0;
    int proxySettingHTTP = 0;
    bool proxySettingFTPAutoDetected = false;
    bool proxySettingHTTPAutoDetected = false;
    int proxyHttpMethod = 0;
    bool bandwidthLimitUpload = false;
    int bandwidthLimitUploadvalue = 0;
    bool bandwidthLimitDownload = false;
    int bandwidthLimitDownloadvalue = 0;
    bool useSftpUp = false;
    bool useHttpsUp = true;
    bool useExpedatUp = false;
    bool useHttpsDown = true;
    bool useExpedatDown = false;
    bool useSftpDown = false;
    bool useProxyForSftp = false;
    int sftpSendBuffer = 0;
    int sftpReceiveBuffer = 0;

    // --- Group "Network", server endpoints ----------------------------------
    QString serverWss = KiteConstants::DefaultServerWss;
    // "%1" stands for subdomainWss; read from "Network/serverWssTemplate",
    // never saved.
    QString serverWssTemplate = KiteConstants::DefaultServerWssTemplate;
    QString subdomainWss = KiteConstants::DefaultSubdomainWss;
    QString serverFtp = KiteConstants::DefaultServerFtp;
    QString serverSftp = KiteConstants::DefaultServerSftp;
    int serverPort = KiteConstants::DefaultServerPort;
    QString serverUdp = KiteConstants::DefaultServerUdp;
    QString serverHttpsHost;
    QString serverHttpsHost2;
    QString serverSshTunnel = KiteConstants::DefaultServerSshTunnel;
    int pingInterval = KiteConstants::DefaultPingInterval;

    // --- Group "plugins": installed plug-in versions -----------------------
    int version3ds = 0;
    int version3dsPlugins = 0;
    int versionBlender = 0;
    int versionBlender28 = 0;
    int versionBlender30 = 0;
    int versionCinema4d = 0;
    int versionCinema4d14 = 0;
    int versionCinema4d21 = 0;
    int versionCinema4dPlugins = 0;
    int versionLightwave = 0;
    int versionMaxwell = 0;
    int versionMaya = 0;
    int versionModo = 0;
    int versionXSI = 0;
    int versionMentalray = 0;
    int versionVray = 0;
    int versionArnold = 0;
    int versionOctane = 0;
    int versionKeyshot = 0;
    int versionRenderman = 0;
    int versionRhino = 0;
    int versionRevit = 0;
    int versionHoudini = 0;
    int versionSketchup = 0;
    int versionClarisse = 0;
    int versionRedshift = 0;
    int versionPluginCopy = 0;
    int versionPlugsCfg3ds = 0;
    int versionPlugsCfgC4d = 0;
    QString pluginDir;
    QString pluginDownloader;
    QString pluginNetConnection;
    QString pluginSettings;
    QString pluginStarter;
    QString pluginTrayMenu;
    QString pluginUploader;
    QString pluginImporter;

    // --- Derived by load() ---------------------------------------------------
    QString kiteHostname;
    QString serverHttpsPath;
    QString serverHttpsPath2;
    QString serverHttps;
    QString serverHttps2;
    QString versionPrefix;
    QString winUpdateKey;
    QString macUpdateKey;
    QString linuxUpdateKey;
    QString versionInstallerUpdateKey;
    QString installerUpdateUntilKey;
    QString versionInstallerUpdateMacKey;
    QString installerUpdateUntilMacKey;
    QString controlCenterUrl;
    QString supportTicketUrl;
    QString paymentsUrl;
    QString calculatorUrl;
    QString teamManagerUrl;
    QNetworkProxy applicationProxy;

    // --- Run-time state, never saved -----------------------------------------
    int versionBuild = 0;
    QString password; // never written to the file, never logged
    bool syncActive = false;
    bool exitingApplication = false;
    bool isPaid = false;
    // Set by each login answer until the account's render points are heard
    // again: while they are unknown no own job counts as out of points.
    bool renderPointsUnknown = false;
    bool accountOutOfRenderPoints() const { return !isPaid && !renderPointsUnknown; }
    int runningJobUploads = 0;
    int runningJobDownloads = 0;
    int maxRunningUploads = KiteConstants::DefaultMaxRunningUploads;
    int maxRunningDownloads = KiteConstants::DefaultMaxRunningDownloads;
    bool updateDownloadStarted = false;
    bool uploadAllToDc2 = false;
    QStringList uploadToDc2Programs;
    QStringList uploadToDc2Renderers;
    QList<KiteProject*> jobList;
    // Look-ups in jobList by name and id (first match in list order).
    JobIndex& jobIndex();
    // Whether a line of this level reaches the log file: hot paths ask first
    // and spare themselves building lines nobody reads.
    bool logs(int level) const;
    bool loggedIn = false;
    bool websocketLoggedIn = false;
    bool websocketPingEnabled = false;
    bool websocketTimeoutMuted = false;
    bool pingRequestsMuted = false;
    bool autoupdateRequested = false;
    QDateTime lastPluginConfigRequestMax;
    QDateTime lastPluginConfigRequestC4d;
    bool textureCacheEnabled = false;
    QString customFtpPass; // licence-tunnel password, never logged
    bool teamsEnabled = false;
    bool v40Enabled = false;
    bool logFilesSent = false;
    QString pluginFolder;
    bool isTrial = false;
    double renderPoints = 0.0;
    bool transfersOnHold = false;
    bool resumeOutOfPointsJobs = false;
    bool uploadRequested = false;
    bool licenseTunnelConnected = false;

public slots:
    void load();
    void loginSlot(QString user, QString pass);
    void saveToIni();
    void writeToLog(QString message, int level);
    void writeToLog(QString message);
    void openNetworkSettingsSlot();
    void openLinkWithTokenSlot(QString linkUrl);
    void loadLanguageSlot(QString language);

signals:
    void loginSignal(QString user, QString pass);
    void updateReadySignal(int error = 0);
    void startUpdateSignal();
    void syncSignal();
    void openNetworkSettingsSignal();
    void openLinkWithTokenSignal(QString linkUrl);
    void getProjectFolderContentsSignal(int serverNumberUpload);
    void setIconActivitySignal(bool active);
    void deleteLocalJobSignal(KiteProject* job);
    void showMessageSignal(QString title, QString message, QString messageType, KiteProject* job);
    void makeRequest(QString action, QJsonObject jsonData, KiteProject* requestKiteProject = nullptr,
                     QString custom = QString());
    void dirSelectDialogSignal();
    void updateDownloadProgressSignal(float progress);
    void savePasswordSignal(QString password);
    void loadPasswordSignal();
    void uploadLogFilesSignal();
    void uploadProgressSignal(float progress);
    void downloadProgressSignal(float progress);
    // A job's upload is about to stop (paused, deleted, restarted) while its
    // uploader still sends files (KiteProject::uploadingFilesHash); emitted
    // before the uploader is told.
    void uploadStoppingSignal(KiteProject* job);

private:
    void ensureKiteId();
    void applyBetaSwitch();
    void loadProjectsFolder();
    void loadServerEndpoints(SettingsStore& store);
    void loadPlugins(SettingsStore& store);
    void applyTestEnvironment();
    void setPortalLinks();
    void saveNetwork(SettingsStore& store);
    void saveLicense(SettingsStore& store);

    QString m_applicationDirectory;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<JobIndex> m_jobIndex;
};
