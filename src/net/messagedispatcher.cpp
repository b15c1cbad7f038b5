#include "net/messagedispatcher.h"

#include "jobs/kiteproject.h"
#include "maintenance/updatecheck.h"
#include "net/accounthandlers.h"
#include "net/jsonguard.h"
#include "net/messagesplitter.h"
#include "net/netlogging.h"
#include "net/pendinganswers.h"
#include "net/projectslistreader.h"
#include "net/requestqueue.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "transfers/downloadcompletion.h"
#include "transfers/downloadlistgenerator.h"
#include "transfers/projectstates.h"
#include "transfers/uploadorchestrator.h"
#include "tunnel/licensetunnel.h"

#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

MessageDispatcher::MessageDispatcher(PluginNetConnection* plugin, KiteSettings* kiteSettings,
                                     AccountHandlers* accounts, ProjectStates* projectStates)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
    , m_accounts(accounts)
    , m_projectStates(projectStates)
{
}

void MessageDispatcher::log(const QString& message, int level)
{
    m_settings->writeToLog(message, level);
}

bool MessageDispatcher::isApplicationRequest(const QString& action)
{
    static const QStringList requests{
        QStringLiteral("resumeDownload"),         QStringLiteral("pauseDownload"),
        QStringLiteral("pauseUpload"),            QStringLiteral("selectDownloadFolder"),
        QStringLiteral("setNormalDownloadPriority"), QStringLiteral("setHighDownloadPriority"),
        QStringLiteral("setNormalUploadPriority"), QStringLiteral("setHighUploadPriority"),
        QStringLiteral("openDownloadFolder"),
    };
    return requests.contains(action);
}

bool MessageDispatcher::projectsListRead(const QByteArray& text)
{
    QVector<ProjectEntry> projects;
    if (!text.contains("\"getProjectStates\"") || !ProjectsListReader::read(text, &projects))
        return false;
    const QString action = QStringLiteral("getProjectStates");
    if (m_settings->logs(3))
        log(QStringLiteral("2653 action: ") + action, 3);
    m_plugin->requestQueue->answered(action);
    m_projectStates->projectsReply(std::move(projects));
    return true;
}

void MessageDispatcher::dispatch(const QString& message)
{
    if (m_settings->exitingApplication) {
        log(QStringLiteral("kiteSettings->exitingApplication return"), 3);
        return;
    }

    // The projects list, the largest message by far, is read in one pass
    // when it has its plain form. That form is one object, so the search for
    // the last of several objects is left to the other messages.
    QByteArray text = message.toUtf8();
    if (projectsListRead(text))
        return;
    const QString last = MessageSplitter::lastObject(message);
    if (last.size() != message.size()) {
        text = last.toUtf8();
        if (projectsListRead(text))
            return;
    }
    // Qt's parser would leak the first value of a repeated member name.
    if (JsonGuard::hasRepeatedMemberName(text)) {
        log(QStringLiteral("jsonerror: repeated member name"), 3);
        return;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        log(QStringLiteral("jsonerror: ") + error.errorString(), 3);
        return;
    }
    const QJsonObject object = document.object();
    const QString action = object.value(QStringLiteral("action")).toString();
    const QJsonObject data = object.value(QStringLiteral("data")).toObject();
    if (m_settings->logs(3))
        log(QStringLiteral("2653 action: ") + action, 3);
    // An account read may be asked again once its answer is here.
    m_plugin->requestQueue->answered(action);

    auto is = [&action](const char* name) { return action == QLatin1String(name); };

    if (is("login"))
        m_accounts->loginAnswer(object);
    if (is("getUserInfo"))
        m_accounts->userInfoAnswer(object);
    if (is("jobOutOfPoints"))
        m_projectStates->jobOutOfPoints();
    if (is("renderpointsBought"))
        m_accounts->renderPointsBought();
    if (is("getRenderpoints"))
        m_accounts->renderPointsAnswer(object);
    if (is("jobStateChange"))
        m_projectStates->jobStateChange(object);
    if (is("projectDeleted"))
        m_plugin->projectDeleted(object);
    if (is("autoupdate")) {
        if (m_settings->autoupdateRequested) {
            m_settings->autoupdateRequested = false;
            emit m_plugin->updateDataSignal(data.value(QStringLiteral("content")).toObject());
        } else {
            log(QStringLiteral("autoupdate received without sending before"), 0);
        }
    }
    if (is("getPluginConfig"))
        m_plugin->updateCheck->pluginConfigAnswer(object);
    if (is("getProjectFolderContents")) {
        m_plugin->pendingAnswers->answered(action, nullptr);
        const QJsonArray files = object.value(QStringLiteral("data")).toArray();
        const int serverNumberUpload = object.value(QStringLiteral("serverNumberUpload")).toInt();
        log(QStringLiteral("send scanProjectsSignal"), 3);
        emit m_plugin->scanProjectsSignal(files, serverNumberUpload);
    }
    if (is("autoupdatesignal"))
        m_plugin->updateCheck->autoupdateSignal(object);
    if (is("getProjectStates"))
        m_projectStates->projectsReply(object);
    if (is("prepareTestFile") || is("prepareTestFileLink"))
        emit m_plugin->testFilePreparedSignal(data.value(QStringLiteral("result")).toBool());
    if (is("textureCacheLookup"))
        m_plugin->uploadOrchestrator->textureCacheReply(object);
    if (is("getUserToken"))
        openLinkWithToken(object);
    if (is("getTexFiles"))
        m_plugin->uploadOrchestrator->texFilesReply(object);
    if (is("getTeams"))
        m_accounts->teamList(object);
    if (is("sshInfo"))
        m_plugin->licenseTunnel->sshInfoAnswer(object);

    KiteProject* job = m_projectStates->resolveJob(object);
    if (job)
        m_plugin->pendingAnswers->answered(action, job);

    if (is("projectUploaded")) {
        m_projectStates->projectUploaded(job);
        return;
    }
    if (is("projectUploading")) {
        m_projectStates->projectUploading(object, job);
        return;
    }
    if (is("frameStateChange"))
        m_projectStates->frameStateChange(object, job);
    if (is("getProgressInfos"))
        m_projectStates->progressInfos(object, job);

    if (!job) {
        qCDebug(lcNet) << "2750 jobObject null" << action;
        if (isApplicationRequest(action)) {
            // The requester waits for an answer even when this client does
            // not know the job.
            qCDebug(lcNet) << "2736 sendResult for unknown job";
            KiteProject carrier(m_settings, data.value(QStringLiteral("scene")).toString(), QString());
            sendResult(&carrier, data, action, false);
        }
        return;
    }

    UploadOrchestrator* uploads = m_plugin->uploadOrchestrator;
    if (is("createDirs"))
        uploads->createDirsReply(object, job);
    if (is("checkFiles"))
        uploads->checkFilesReply(object, job);
    if (is("addjob"))
        uploads->addJobReply(object, job);
    if (is("getOutputDir"))
        m_plugin->downloadListGenerator->outputDirReply(object, job);
    if (is("getTexFolderContents"))
        uploads->texFolderContentsReply(object, job);
    if (is("generateOverlay"))
        m_plugin->downloadCompletion->overlayReply(data, job);
    if (is("pack") || is("unpack"))
        uploads->packReply(object, job);
    applicationRequest(action, data, job);
}

void MessageDispatcher::applicationRequest(const QString& action, const QJsonObject& data, KiteProject* job)
{
    auto is = [&action](const char* name) { return action == QLatin1String(name); };

    if (is("restartDownload")) {
        job->restartDownloadCount = data.value(QStringLiteral("restartDownloadCount")).toInt();
        job->restartDownloadSlotMenuClick();
        sendResult(job, data, action, false);
        m_plugin->syncSlot();
    }
    if (is("openDownloadFolder")) {
        job->openJobDir();
        sendResult(job, data, action, false);
    }
    if (is("setHighUploadPriority")) {
        job->setUploadPriorityUp(true);
        sendResult(job, data, action, false);
    }
    if (is("setNormalUploadPriority")) {
        job->setUploadPriorityUp(false);
        sendResult(job, data, action, false);
    }
    if (is("setHighDownloadPriority")) {
        job->setDownloadPriorityUp(true);
        sendResult(job, data, action, false);
    }
    if (is("setNormalDownloadPriority")) {
        job->setDownloadPriorityUp(false);
        sendResult(job, data, action, false);
    }
    if (is("selectDownloadFolder")) {
        // The answer goes out before the folder dialog opens.
        sendResult(job, data, action, false);
        job->dirSelectSlot(true);
    }
    if (is("pauseUpload")) {
        job->setUploadPaused(false);
        sendResult(job, data, action, false);
    }
    if (is("pauseDownload")) {
        job->setDownloadPaused(false);
        sendResult(job, data, action, false);
    }
    if (is("resumeDownload")) {
        job->downloadPausedSwitchSlot(true);
        sendResult(job, data, action, false);
    }
}

void MessageDispatcher::sendResult(KiteProject* job, const QJsonObject& request, const QString& action, bool error)
{
    QJsonObject result;
    const QJsonValue controlCenter = request.value(QStringLiteral("controlcenter_id"));
    if (!controlCenter.isUndefined() && !controlCenter.isNull()) {
        const QString id = controlCenter.toString();
        result.insert(QStringLiteral("controlcenter_id"), id);
        result.insert(QStringLiteral("clientId"), id);
        result.insert(QStringLiteral("clientType"), QStringLiteral("controlcenter"));
    } else {
        result.insert(QStringLiteral("clientType"), QStringLiteral("deadline"));
    }
    result.insert(QStringLiteral("result"), QStringLiteral("Received"));
    result.insert(QStringLiteral("error"), error);
    m_plugin->makeRequest(QStringLiteral("sendResult"), result, job, QString(), action);
}

void MessageDispatcher::openLinkWithToken(const QJsonObject& message)
{
    const QString token =
        message.value(QStringLiteral("data")).toObject().value(QStringLiteral("token")).toString();
    QString url = message.value(QStringLiteral("custom")).toObject().value(QStringLiteral("linkUrl")).toString();
    url += url.contains(QLatin1Char('?')) ? QStringLiteral("&rl_token=") : QStringLiteral("?rl_token=");
    url += token;
    url += QStringLiteral("&kiteId=") + m_settings->kiteId;
    url += QStringLiteral("&vkversion=") + m_settings->versionPrefix + QString::number(m_settings->versionBuild);

    const QUrl link(url, QUrl::TolerantMode);
    // The link comes back from the server: only web links are handed to the
    // desktop, never files or other programs' schemes.
    const QString scheme = link.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        log(QStringLiteral("link with token not opened, scheme not allowed: ") + link.scheme(), 0);
        return;
    }
    QDesktopServices::openUrl(link);
}
