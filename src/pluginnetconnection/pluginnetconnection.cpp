#include "pluginnetconnection/pluginnetconnection.h"

#include "jobs/cfgreader.h"
#include "jobs/jobdeleter.h"
#include "jobs/kiteproject.h"
#include "jobs/localprojectsscanner.h"
#include "jobs/projectsfolderwatch.h"
#include "net/accounthandlers.h"
#include "net/inboundqueue.h"
#include "net/kitewebsocketconnection.h"
#include "net/logindata.h"
#include "net/messagedispatcher.h"
#include "net/pendinganswers.h"
#include "net/requestenvelope.h"
#include "net/requestqueue.h"
#include "pluginnetconnection/pluginlogging.h"
#include "transfers/downloadcompletion.h"
#include "transfers/downloadlistgenerator.h"
#include "transfers/downloadlistupdater.h"
#include "transfers/projectstates.h"
#include "transfers/uploadorchestrator.h"
#include "settings/kitesettings.h"
#include "maintenance/logupload.h"
#include "maintenance/updatecheck.h"
#include "tunnel/licensetunnel.h"
#include "tunnel/reversetunnelprocess.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QJsonDocument>
#include <QSslConfiguration>
#include <QTime>

#include <cstdlib>

namespace {
constexpr int projectStatesGuardMs = 120000;
constexpr int exitDelayMs = 1000;

QString boolDigit(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}
} // namespace

PluginNetConnection::PluginNetConnection()
    : floodLimiter(QDateTime::currentDateTimeUtc())
{
    // Every TLS connection of the process (the job-queue socket and the HTTPS
    // transfers of the sibling plug-ins) uses TLS 1.2.
    sslConfiguration = QSslConfiguration::defaultConfiguration();
    sslConfiguration.setProtocol(QSsl::TlsV1_2);
    QSslConfiguration::setDefaultConfiguration(sslConfiguration);

    getProjectStatesTimer = new QTimer(this);
    getProjectStatesTimer->setSingleShot(true);
    connect(getProjectStatesTimer, &QTimer::timeout, this, &PluginNetConnection::getProjectStatesTimerSlot);

    fileSystemWatcher = new QFileSystemWatcher(this);
    connect(fileSystemWatcher, &QFileSystemWatcher::directoryChanged, this,
            &PluginNetConnection::directoryChangedSlot);

    std::srand(static_cast<unsigned>(QTime::currentTime().msec()));

    connect(&updateTimer, &QTimer::timeout, this, &PluginNetConnection::updateTimerSlot);
}

PluginNetConnection::~PluginNetConnection()
{
    // The tunnel has no parent: its SSH client is ended here, before the
    // settings it reports to may go.
    if (reverseTunnelProcess) {
        qCDebug(lcPlugin) << "stop reverse tunnel";
        reverseTunnelProcess->disconnectTunnel();
        delete reverseTunnelProcess;
        reverseTunnelProcess = nullptr;
    }
}

QObject* PluginNetConnection::getObject()
{
    return this;
}

int PluginNetConnection::getPluginVersion()
{
    return pluginVersion;
}

KiteProject* PluginNetConnection::findJobByName(KiteProject* fallback, const QString& name, const QString& id)
{
    return projectStates->findJobByName(fallback, name, id);
}

KiteProject* PluginNetConnection::findJobById(KiteProject* fallback, const QString& id)
{
    return projectStates->findJobById(fallback, id);
}

void PluginNetConnection::setKiteSettings(KiteSettings* settings)
{
    kiteSettings = settings;

    cfgReader = new CfgReader(kiteSettings, this);
    connect(cfgReader, &CfgReader::createDirsOnServerSignal, this, &PluginNetConnection::createDirsOnServerSlot);
    uploadOrchestrator = new UploadOrchestrator(this, kiteSettings, cfgReader);

    localProjectsScanner = new LocalProjectsScanner(kiteSettings, this);
    connect(localProjectsScanner, &LocalProjectsScanner::jobForUploadSignal, this,
            &PluginNetConnection::jobBaseFilesForUploadSlot);
    connect(this, &PluginNetConnection::scanProjectsSignal, localProjectsScanner,
            &LocalProjectsScanner::scanProjectsSlot);
    connect(localProjectsScanner, &LocalProjectsScanner::getProjectStatesSignal, this,
            &PluginNetConnection::getProjectStatesSlot);
    // Passes asked for by events run after them, coalesced (the slot itself
    // runs a pass at once).
    connect(this, &PluginNetConnection::generateDownloadFileListSignal, this, [this] {
        if (downloadListGenerator)
            downloadListGenerator->requestPass();
    });
    connect(localProjectsScanner, &LocalProjectsScanner::buildRenderJobSubmenuSignal, this,
            &PluginNetConnection::buildRenderJobSubmenuSignal);

    downloadListUpdater = new DownloadListUpdater(kiteSettings, this);
    connect(downloadListUpdater, &DownloadListUpdater::generateDownloadFileListSignal, this, [this] {
        if (downloadListGenerator)
            downloadListGenerator->requestPass();
    });
    connect(downloadListUpdater, &DownloadListUpdater::jobDueSignal, this, [this](KiteProject* job) {
        if (downloadListGenerator) {
            downloadListGenerator->dueJob(job);
            downloadListGenerator->requestPass();
        }
    });
    connect(downloadListUpdater, &DownloadListUpdater::downloadJobSignal, this,
            &PluginNetConnection::downloadJobSignal);
    connect(this, &PluginNetConnection::fileListUpdateSignal, downloadListUpdater,
            &DownloadListUpdater::fileListUpdateSlot);
    connect(downloadListUpdater, &DownloadListUpdater::jobDownloadFinishedSignal, this,
            &PluginNetConnection::downloadJobFinishedSlot);
    downloadListGenerator = new DownloadListGenerator(this, kiteSettings);
    downloadCompletion = new DownloadCompletion(this, kiteSettings);
    projectsFolderWatch = new ProjectsFolderWatch(this, kiteSettings);

    webSocketConnection = new KiteWebSocketConnection(kiteSettings, this);
    connect(this, &PluginNetConnection::loginSuccessSignal, this, &PluginNetConnection::loginSuccessSlot);
    connect(this, &PluginNetConnection::disconnectWebSocketSignal, webSocketConnection,
            &KiteWebSocketConnection::disconnectWebSocketSlot);
    connect(this, &PluginNetConnection::reconnectWebSocketSignal, webSocketConnection,
            &KiteWebSocketConnection::reconnectWebSocketSlot);
    connect(this, &PluginNetConnection::webSocketMessageSignal, webSocketConnection,
            &KiteWebSocketConnection::webSocketMessageSlot);
    connect(webSocketConnection, &KiteWebSocketConnection::parseJsonMessageSignal, this,
            &PluginNetConnection::parseJsonMessageSlot);
    connect(webSocketConnection, &KiteWebSocketConnection::websocketTimeoutSignal, this,
            &PluginNetConnection::websocketTimeoutSlot);
    connect(webSocketConnection, &KiteWebSocketConnection::websocketFailedSignal, this,
            &PluginNetConnection::websocketFailedSignal);
    connect(this, &PluginNetConnection::websocketLoginStatusSignal, webSocketConnection,
            &KiteWebSocketConnection::websocketLoginStatusSlot);
    connect(this, &PluginNetConnection::websocketPingSignal, webSocketConnection,
            &KiteWebSocketConnection::websocketPingSlot);

    accountHandlers = new AccountHandlers(this, kiteSettings);
    projectStates = new ProjectStates(this, kiteSettings);
    licenseTunnel = new LicenseTunnel(this, kiteSettings);
    updateCheck = new UpdateCheck(this, kiteSettings);
    logUpload = new LogUpload(this, kiteSettings);
    messageDispatcher = new MessageDispatcher(this, kiteSettings, accountHandlers, projectStates);
    inboundQueue = new InboundQueue([this](const QString& message) { messageDispatcher->dispatch(message); }, this);
    localProjectsScanner->setInboundQueue(inboundQueue);
    pendingAnswers = new PendingAnswers(
        [this](const QString& action, const QJsonObject& data, KiteProject* job, const QString& custom,
               const QString& customAction) { makeRequest(action, data, job, custom, customAction); },
        this);
    requestQueue = new RequestQueue(this);
    connect(requestQueue, &RequestQueue::requestReady, this, [this](const QueuedRequest& request) {
        pendingAnswers->sent(request);
        emit webSocketMessageSignal(request.text);
    });
    connect(webSocketConnection, &KiteWebSocketConnection::websocketTimeoutSignal, requestQueue,
            &RequestQueue::connectionLost);
    connect(webSocketConnection, &KiteWebSocketConnection::websocketFailedSignal, requestQueue,
            &RequestQueue::connectionLost);

    connect(kiteSettings, &KiteSettings::syncSignal, this, &PluginNetConnection::syncSlot);
    connect(kiteSettings, &KiteSettings::getProjectFolderContentsSignal, this,
            &PluginNetConnection::getProjectFolderContentsSlot);
    connect(kiteSettings, &KiteSettings::openLinkWithTokenSignal, this, &PluginNetConnection::openLinkWithTokenSlot);
    connect(kiteSettings, &KiteSettings::deleteLocalJobSignal, this, &PluginNetConnection::deleteLocalJobSlot);
    connect(this, &PluginNetConnection::writeToLog, kiteSettings,
            QOverload<QString, int>::of(&KiteSettings::writeToLog));
    connect(kiteSettings, &KiteSettings::uploadLogFilesSignal, this, &PluginNetConnection::uploadLogFilesSlot);

    pingTimer = new QTimer(this);
    connect(pingTimer, &QTimer::timeout, this, &PluginNetConnection::pingTimerSlot);
    pingTimer->start(kiteSettings->pingInterval * 1000);

    touchRefreshMarker();
}

void PluginNetConnection::touchRefreshMarker()
{
    // A new marker file wakes the folder watcher, which then rescans the
    // projects folder. Errors (folder missing, read-only) are of no concern.
    QFile marker(kiteSettings->localProjectsFolder + QStringLiteral("/di2_orv_refresh.txt"));
    marker.remove();
    if (marker.open(QIODevice::WriteOnly))
        marker.close();
}

void PluginNetConnection::reconnectWebsocketSlot()
{
    qCDebug(lcPlugin) << "3719 reconnectWebsocketSlot";
    emit reconnectWebSocketSignal();
}

void PluginNetConnection::exitApplicationSlot()
{
    emit writeToLog(QStringLiteral("exitApplicationSlot"), 0);
    emit exitingSignal();
    if (kiteSettings && kiteSettings->syncActive) {
        emit writeToLog(QStringLiteral("Sync true"), 0);
        kiteSettings->syncActive = false;
        exitTimer = new QTimer(this);
        connect(exitTimer, &QTimer::timeout, this, &PluginNetConnection::exitUpdate);
        exitTimer->start(exitDelayMs);
    }
}

void PluginNetConnection::exitUpdate()
{
    if (exitTimer)
        exitTimer->deleteLater();
    emit writeToLog(QStringLiteral("exitUpdate, delete this"), 0);
    QObject::disconnect(this, nullptr, nullptr, nullptr);
    deleteLater();
}

void PluginNetConnection::loginSlot(QString pUsername, QString pPassword)
{
    kiteSettings->username = pUsername;
    kiteSettings->password = pPassword;

    // The username and password were just stored, so the request carries them.
    makeRequest(QStringLiteral("login"), loginData(kiteSettings));
}

void PluginNetConnection::ignoreSslErrors(QList<QSslError> errors)
{
    for (const QSslError& error : qAsConst(errors))
        emit writeToLog(QStringLiteral("sslerror: ") + error.errorString(), 0);
}

void PluginNetConnection::disconnectSlot()
{
    qCDebug(lcPlugin) << "disconnectSlot() in pluginnetconnection";
    emit disconnectWebSocketSignal();
    emit disconnectLicenseTunnelSignal();
}

void PluginNetConnection::websocketTimeoutSlot()
{
    emit writeToLog(QStringLiteral("relaying timeout signal to traymenu..."), 3);
    getProjectStatesRunning = false;
    pollAfterLogin = true;
    emit websocketTimeoutSignal();
}

void PluginNetConnection::syncSlot()
{
    kiteSettings->writeToLog(QStringLiteral("syncsignal received"), 3);
    getProjectStatesRunning = false;
    getProjectsStatesRequestWhileRunning = false;

    emit writeToLog(QStringLiteral("2046 send getProjectStates request"), 3);
    QJsonObject data{{QStringLiteral("custom"), QJsonObject{{QStringLiteral("info"), QStringLiteral("syncslot")}}}};
    makeRequest(QStringLiteral("getProjectStates"), data);

    emit writeToLog(QStringLiteral("syncSlot 2102 getUserInfo"), 0);
    makeRequest(QStringLiteral("getUserInfo"), data);

    data.insert(QStringLiteral("virtual"), true);
    makeRequest(QStringLiteral("getRenderpoints"), data);
}

void PluginNetConnection::parseJsonMessageSlot(QString message)
{
    // The socket's messages are handled in slices of the event loop's turns;
    // a caller of its own gets its message handled before the call returns.
    if (sender() == webSocketConnection)
        inboundQueue->take(message);
    else
        inboundQueue->takeNow(message);
}

void PluginNetConnection::loginSuccessSlot(int status)
{
    getProjectsStatesRequestWhileRunning = false;
    qCDebug(lcPlugin) << "loginsuccessslot! " << status;
    if (status != 0)
        return;

    emit writeToLog(QStringLiteral("data == 0, logged in"), 3);
    rescanAfterLogin = true;
    if (kiteSettings->firstRunDone)
        settingsSavedSlot();

    loginRequiredForChange = false;
    // The marker made at start-up is usually still there: only a new file
    // changes the folder and so wakes the watcher for the rescan.
    touchRefreshMarker();

    if (kiteSettings->connectLicenseServer)
        sendSshInfo();

    // Pushes sent while the connection was down are lost: after a login that
    // follows a lost connection, once the host has taken it (and switched the
    // sync on), poll the projects list, whatever poll was outstanding on the
    // old connection.
    if (pollAfterLogin) {
        pollAfterLogin = false;
        QTimer::singleShot(0, this, [this] {
            getProjectStatesRunning = false;
            getProjectStatesTimer->stop();
            projectStates->requestProjectStates(QStringLiteral("login"));
        });
    }
}

void PluginNetConnection::deleteLocalJobSlot(KiteProject* jobObject)
{
    auto* deleter = new JobDeleter(kiteSettings, jobObject, this);
    connect(deleter, &QObject::destroyed, this, &PluginNetConnection::buildRenderJobSubmenuSignal);
    deleter->run();
}

void PluginNetConnection::projectDeleted(const QJsonObject& message)
{
    const QString name = message.value(QStringLiteral("data")).toObject().value(QStringLiteral("scene")).toString();
    emit writeToLog(QStringLiteral("delete jobname: ") + name, 3);
    emit writeToLog(QStringLiteral("1381 findJobByName"), 3);
    KiteProject* job = findJobByName(nullptr, name, QString());
    if (!job) {
        emit writeToLog(QStringLiteral("job for deletion not found!"), 3);
        return;
    }
    job->setDownloadPaused(false);
    emit writeToLog(QStringLiteral("2391 setUploadPaused()"), 3);
    job->setUploadPaused(false);
    deleteLocalJobSlot(job);
}

void PluginNetConnection::settingsSavedSlot()
{
    const QStringList watched = fileSystemWatcher->directories();
    if (!watched.isEmpty())
        fileSystemWatcher->removePaths(watched);
    fileSystemWatcher->addPath(kiteSettings->localProjectsFolder);
}

void PluginNetConnection::openLinkWithTokenSlot(QString linkUrl)
{
    // The carrier job only brings the link through the request; it deletes
    // itself there.
    auto* carrier = new KiteProject(kiteSettings, QString(), QString(), this);
    makeRequest(QStringLiteral("getUserToken"), QJsonObject(), carrier, linkUrl);
}

void PluginNetConnection::getProjectFolderContentsSlot(int serverNumberUpload)
{
    const QJsonObject data{
        {QStringLiteral("size"), true},
        {QStringLiteral("serverNumberUpload"), serverNumberUpload},
        {QStringLiteral("custom"), QJsonObject{{QStringLiteral("serverNumberUpload"), serverNumberUpload}}},
    };
    makeRequest(QStringLiteral("getProjectFolderContents"), data);
}

void PluginNetConnection::updateTimerSlot()
{
    emit writeToLog(QStringLiteral("updateTimerSlot()"), 3);
    updateTimerRunning = false;
    if (kiteSettings->loggedIn)
        checkforUpdates();
}

void PluginNetConnection::directoryChangedSlot(QString path)
{
    projectsFolderWatch->directoryChanged(path);
}

void PluginNetConnection::getProjectStatesSlot()
{
    projectStates->requestProjectStates(QStringLiteral("slot"));
}

void PluginNetConnection::getProjectStatesTimerSlot()
{
    // The answer to the outstanding poll never came: ask again, through the
    // gate, which starts the guard anew.
    getProjectStatesTimer->stop();
    getProjectStatesRunning = false;
    getProjectsStatesRequestWhileRunning = false;
    emit writeToLog(
        QStringLiteral("+++++++++++++++++++++++++++++++++++++ getProjectStatesTimer TIMEOUT ++++++++++++++++++++++"), 3);
    emit writeToLog(QStringLiteral("2126 getProjectStates request"), 3);
    projectStates->requestProjectStates(QStringLiteral("timer"));
}

void PluginNetConnection::pingTimerSlot()
{
    if (!kiteSettings->loggedIn) {
        emit writeToLog(QStringLiteral("not logged in, do not send ping"), 1);
        return;
    }
    emit writeToLog(QStringLiteral("send ping"), 1);
    if (kiteSettings->websocketPingEnabled) {
        emit websocketPingSignal();
        makeRequest(QStringLiteral("ping"), QJsonObject());
    }
}

bool PluginNetConnection::admitProjectStatesRequest()
{
    if (!kiteSettings->syncActive) {
        getProjectStatesRunning = false;
        emit writeToLog(QStringLiteral("request while sync not active: getProjectStates"), 3);
        return false;
    }
    emit writeToLog(QStringLiteral("995 getProjectStatesRunning: ") + boolDigit(getProjectStatesRunning), 3);
    if (getProjectStatesRunning) {
        emit writeToLog(QStringLiteral("++++++++++++++++++++++++getProjectsStatesRequestWhileRunning = true;"), 3);
        getProjectsStatesRequestWhileRunning = true;
        if (!getProjectStatesTimer->isActive()) {
            getProjectStatesTimer->start(projectStatesGuardMs);
            emit writeToLog(QStringLiteral("1029 getProjectStatesTimer->start(120000);"), 3);
        }
        return false;
    }
    getProjectStatesRunning = true;
    getProjectStatesTimer->start(projectStatesGuardMs);
    emit writeToLog(QStringLiteral("1021 getProjectStatesTimer->start(120000);"), 3);
    return true;
}

void PluginNetConnection::makeRequest(QString action, QJsonObject jsonData, KiteProject* requestKiteProject,
                                      QString custom, QString customAction)
{
    if (!kiteSettings) {
        qCWarning(lcPlugin) << "request before the settings were handed over, dropped:" << action;
        return;
    }
    if (action == QLatin1String("ping") && kiteSettings->pingRequestsMuted)
        return;

    if (kiteSettings->logs(3)) {
        if (requestKiteProject)
            emit writeToLog(QStringLiteral("makeRequest: ") + action + QStringLiteral(" for job: ")
                                + requestKiteProject->name,
                            3);
        else
            emit writeToLog(QStringLiteral("makeRequest: ") + action, 3);
    }

    if (action == QLatin1String("getProjectStates") && !admitProjectStatesRequest())
        return;

    // A read whose answer is already on its way is dropped before its
    // envelope is made (a carrier job, which the envelope disposes of, is
    // never routed this way).
    const QString jobName = requestKiteProject ? requestKiteProject->name : QString();
    const bool carrier = custom == QLatin1String("appTexRequest") || custom.startsWith(QLatin1String("http"));
    const bool tracked = !carrier && RequestQueue::isMergeableRead(action);
    if (tracked && requestQueue->alreadyOnItsWay({action, jobName, custom, customAction, jsonData}))
        return;

    const QJsonObject envelope =
        RequestEnvelope::build(action, jsonData, requestKiteProject, custom, customAction, kiteSettings);
    const QByteArray text = QJsonDocument(envelope).toJson(QJsonDocument::Compact);
    if (RequestQueue::bypassesQueue(action)) {
        emit webSocketMessageSignal(QString::fromUtf8(text));
    } else if (requestQueue->submit({action, QString::fromUtf8(text), jsonData, requestKiteProject,
                                     requestKiteProject != nullptr, custom, customAction, jobName, tracked})
               && floodLimiter.count(QDateTime::currentDateTimeUtc(), requestQueue->waitingCount())) {
        // The limit counts what the queue takes in: what leaves is paced below
        // the server's limit anyway, and a read already on its way is no new
        // request. Only a sender that keeps asking faster than the queue can
        // drain, window after window, trips it.
        qCDebug(lcPlugin) << "more than 200 messages per second, disconnect";
        emit disconnectWebSocketSignal();
    }

    // The login carries the password: it never goes to the debug output, not
    // even encoded.
    if (!kiteSettings->websocketPingEnabled && action != QLatin1String("login"))
        qCDebug(lcPlugin).noquote() << QString::fromLatin1(text.toBase64());
}

// Upload orchestration lives in UploadOrchestrator.

void PluginNetConnection::jobBaseFilesForUploadSlot(KiteProject* jobForUpload)
{
    if (uploadOrchestrator)
        uploadOrchestrator->startJob(jobForUpload);
}

void PluginNetConnection::checkFilesSlot(KiteProject* jobObject)
{
    if (uploadOrchestrator)
        uploadOrchestrator->checkFiles(jobObject);
}

void PluginNetConnection::appRefreshSlot()
{
    if (uploadOrchestrator)
        uploadOrchestrator->appRefresh();
}

void PluginNetConnection::createDirsOnServerSlot(QSet<QString> dirsToCreateOnServer, KiteProject* jobObject)
{
    if (uploadOrchestrator)
        uploadOrchestrator->createDirsOnServer(dirsToCreateOnServer, jobObject);
}

void PluginNetConnection::unzipRequestSlot(UploadFile uploadFile, KiteProject* jobObject)
{
    if (uploadOrchestrator)
        uploadOrchestrator->unzipRequest(uploadFile, jobObject);
}

// Downloads live in DownloadListGenerator, DownloadListUpdater and
// DownloadCompletion.

void PluginNetConnection::generateDownloadFileListSlot()
{
    if (downloadListGenerator)
        downloadListGenerator->generateDownloadFileList();
}

void PluginNetConnection::downloadJobFinishedSlot(KiteProject* jobObject, int error)
{
    if (downloadCompletion)
        downloadCompletion->downloadJobFinished(jobObject, error);
}

void PluginNetConnection::zipRequestSlot(DownloadFile downloadFile, KiteProject* jobObject)
{
    if (downloadCompletion)
        downloadCompletion->zipRequest(downloadFile, jobObject);
}

void PluginNetConnection::generateOverlayRequestSlot(DownloadFile downloadFile, KiteProject* jobObject)
{
    if (downloadCompletion)
        downloadCompletion->generateOverlayRequest(downloadFile, jobObject);
}

// Update checks live in UpdateCheck, the log upload in LogUpload and the
// licence tunnel in LicenseTunnel and ReverseTunnelProcess.

void PluginNetConnection::downloadUpdateFiles(QStringList updateFileListe)
{
    if (updateCheck)
        updateCheck->downloadUpdateFiles(updateFileListe);
}

void PluginNetConnection::checkforUpdates()
{
    if (updateCheck)
        updateCheck->checkforUpdates();
}

void PluginNetConnection::uploadLogFilesSlot()
{
    if (logUpload)
        logUpload->uploadLogFiles();
}

void PluginNetConnection::disconnectLicenseTunnelSlot()
{
    if (licenseTunnel)
        licenseTunnel->disconnectLicenseTunnel();
}

void PluginNetConnection::connectLicenseTunnel()
{
    if (licenseTunnel)
        licenseTunnel->connectLicenseTunnel();
}

void PluginNetConnection::sendSshInfo()
{
    if (licenseTunnel)
        licenseTunnel->sendSshInfo();
}

void PluginNetConnection::licenseRetrySlot(QAbstractButton* button)
{
    if (licenseTunnel)
        licenseTunnel->licenseRetry(button);
}
