#pragma once

#include "pluginnetconnectioninterface.h"
#include "net/floodlimiter.h"
#include "transfers/downloadfile.h"
#include "transfers/uploadfile.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QTimer>

class AccountHandlers;
class CfgReader;
class DownloadCompletion;
class DownloadListGenerator;
class DownloadListUpdater;
class InboundQueue;
class LocalProjectsScanner;
class ProjectsFolderWatch;
class ProjectStates;
class KiteWebSocketConnection;
class MessageDispatcher;
class PendingAnswers;
class QAbstractButton;
class RequestQueue;
class QFileSystemWatcher;
class LicenseTunnel;
class LogUpload;
class ReverseTunnelProcess;
class UpdateCheck;
class UploadOrchestrator;

// The plug-in object the host obtains from the library. It owns the working
// objects of each subsystem and wires them together; the work itself lives in
// those classes.
class PluginNetConnection : public QObject, public PluginNetConnectionInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.orvelfarm.Qt.Kite.PluginNetConnectionInterface" FILE "pluginnetconnection.json")
    Q_INTERFACES(PluginNetConnectionInterface)

public:
    static constexpr int pluginVersion = 18;

    PluginNetConnection();
    ~PluginNetConnection() override;

    QObject* getObject() override;
    int getPluginVersion() override;

    // The job a message names: by id when given, else by name; deleted jobs
    // never match.
    KiteProject* findJobByName(KiteProject* fallback, const QString& name, const QString& id);
    KiteProject* findJobById(KiteProject* fallback, const QString& id);

    // The server deleted a project: the local job goes the same way.
    void projectDeleted(const QJsonObject& message);

    KiteSettings* kiteSettings = nullptr;
    KiteWebSocketConnection* webSocketConnection = nullptr;
    AccountHandlers* accountHandlers = nullptr;
    MessageDispatcher* messageDispatcher = nullptr;
    InboundQueue* inboundQueue = nullptr;
    CfgReader* cfgReader = nullptr;
    LocalProjectsScanner* localProjectsScanner = nullptr;
    ProjectsFolderWatch* projectsFolderWatch = nullptr;
    ProjectStates* projectStates = nullptr;
    PendingAnswers* pendingAnswers = nullptr;
    RequestQueue* requestQueue = nullptr;
    UploadOrchestrator* uploadOrchestrator = nullptr;
    DownloadListGenerator* downloadListGenerator = nullptr;
    DownloadListUpdater* downloadListUpdater = nullptr;
    DownloadCompletion* downloadCompletion = nullptr;
    LicenseTunnel* licenseTunnel = nullptr;
    UpdateCheck* updateCheck = nullptr;
    LogUpload* logUpload = nullptr;
    // The licence tunnel: no parent, made on first use, stopped and deleted
    // with the plug-in.
    ReverseTunnelProcess* reverseTunnelProcess = nullptr;
    QFileSystemWatcher* fileSystemWatcher = nullptr;
    QTimer* getProjectStatesTimer = nullptr;
    QTimer* pingTimer = nullptr;
    QTimer updateTimer;
    QTimer* exitTimer = nullptr;

    bool getProjectStatesRunning = false;
    bool getProjectsStatesRequestWhileRunning = false;
    bool updateTimerRunning = false;
    bool updateTimerStartedOnce = false;
    bool rescanAfterLogin = false;
    // The connection was lost: the next login polls the projects list.
    bool pollAfterLogin = false;
    // State of the projects-folder passes: one is running, a change arrived
    // during it, the live-upload job exists, and a relevant change arrived
    // while no user was logged in.
    bool directoryScanRunning = false;
    bool directoryChangedAgain = false;
    bool liveUploadRunning = false;
    bool loginRequiredForChange = false;

    FloodLimiter floodLimiter; // counts the requests the request queue takes in
    QSslConfiguration sslConfiguration;

signals:
    void readyForExitSignal(QString senderName) override;
    void addListToQueueSignal(QStringList);
    void UploadJobSignal() override;
    void texRequestDataSignal(QString);
    void updateDataSignal(QJsonObject updateData) override;
    void loginSuccessSignal(int status) override;
    void showMessageSignal(QString title, QString message, QString messageType, KiteProject* jobObject) override;
    void downloadJobSignal() override;
    void exitingSignal() override;
    void buildRenderJobSubmenuSignal() override;
    void generateDownloadFileListSignal();
    void updateDownloadFinishedSignal() override;
    void statusUpdate(QString);
    void fileListUpdateSignal(QJsonArray fileNames, QJsonArray dirListServer, KiteProject* jobObject);
    void disconnectWebSocketSignal();
    void reconnectWebSocketSignal();
    void disconnectLicenseTunnelSignal() override;
    void webSocketMessageSignal(QString message);
    void scanProjectsSignal(QJsonArray filesOnServer, int scanProjectsSignal);
    void websocketLoginStatusSignal(bool loginStatus);
    void websocketTimeoutSignal() override;
    void setSyncStateSignal() override;
    void websocketPingSignal();
    void overlayGeneratedSignal(QString fileName, KiteProject* jobObject) override;
    void websocketFailedSignal() override;
    void writeToLog(QString message, int level = 0);
    void texDbResultSignal(QString onlinePath, QString checksum, QString result) override;
    void testFilePreparedSignal(bool result);
    void updateStatusInfoSignal() override;
    void tunnelConnectedSignal(bool connected) override;

public slots:
    void reconnectWebsocketSlot() override;
    void setKiteSettings(KiteSettings* settings) override;
    void exitApplicationSlot() override;
    void loginSlot(QString pUsername, QString pPassword) override;
    void jobBaseFilesForUploadSlot(KiteProject* jobForUpload);
    void checkFilesSlot(KiteProject* jobObject) override;
    void appRefreshSlot() override;
    void downloadJobFinishedSlot(KiteProject* jobObject, int error) override;
    void exitUpdate();
    void generateDownloadFileListSlot();
    void createDirsOnServerSlot(QSet<QString> dirsToCreateOnServer, KiteProject* jobObject);
    void ignoreSslErrors(QList<QSslError> errors);
    void downloadUpdateFiles(QStringList updateFileListe) override;
    void checkforUpdates() override;
    void disconnectSlot() override;
    void loginSuccessSlot(int status);
    void parseJsonMessageSlot(QString message);
    void getProjectStatesSlot();
    void directoryChangedSlot(QString path);
    void websocketTimeoutSlot();
    void syncSlot() override;
    void settingsSavedSlot() override;
    void openLinkWithTokenSlot(QString linkUrl) override;
    void getProjectFolderContentsSlot(int serverNumberUpload);
    void updateTimerSlot();
    void getProjectStatesTimerSlot();
    void pingTimerSlot();
    void deleteLocalJobSlot(KiteProject* jobObject);
    void generateOverlayRequestSlot(DownloadFile downloadFile, KiteProject* jobObject) override;
    void zipRequestSlot(DownloadFile downloadFile, KiteProject* jobObject);
    void unzipRequestSlot(UploadFile uploadFile, KiteProject* jobObject);
    void makeRequest(QString action, QJsonObject jsonData, KiteProject* requestKiteProject = nullptr,
                     QString custom = QString(), QString customAction = QString()) override;
    void uploadLogFilesSlot() override;
    void disconnectLicenseTunnelSlot();
    void connectLicenseTunnel() override;

private slots:
    void sendSshInfo();
    void licenseRetrySlot(QAbstractButton* button);

private:
    void touchRefreshMarker();
    bool admitProjectStatesRequest();
};
