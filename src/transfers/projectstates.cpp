#include "transfers/projectstates.h"

#include "transfers/downloadlistgenerator.h"

#include "jobs/cfgreader.h"
#include "jobs/jobindex.h"
#include "jobs/kiteproject.h"
#include "net/inboundqueue.h"
#include "net/jsonread.h"
#include "net/pendinganswers.h"
#include "net/requestqueue.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"

#include <QDir>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

#include <memory>

Q_LOGGING_CATEGORY(lcProjects, "kite.projects")

namespace {
constexpr int maxUploadRetries = 30;

} // namespace

ProjectStates::ProjectStates(PluginNetConnection* plugin, KiteSettings* kiteSettings)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
{
}

void ProjectStates::log(const QString& message, int level)
{
    m_settings->writeToLog(message, level);
}

KiteProject* ProjectStates::findJobByName(KiteProject* fallback, const QString& name, const QString& id)
{
    qCDebug(lcProjects) << "findJobByName: " << name << id;
    KiteProject* job = m_settings->jobIndex().byNameOrId(name, id);
    if (!job)
        return fallback;
    if (!id.isEmpty()) {
        job->isUnknown = false;
        job->isNotInDb = false;
    } else {
        job->isNotInDb = true;
    }
    return job;
}

KiteProject* ProjectStates::findJobById(KiteProject* fallback, const QString& id)
{
    KiteProject* job = m_settings->jobIndex().byId(id);
    if (!job)
        return fallback;
    job->isUnknown = false;
    job->isNotInDb = false;
    return job;
}

KiteProject* ProjectStates::resolveJob(const QJsonObject& message)
{
    const QJsonObject data = message.value(QStringLiteral("data")).toObject();
    const QJsonObject custom = message.value(QStringLiteral("custom")).toObject();
    KiteProject* job = nullptr;

    if (JsonRead::present(data.value(QStringLiteral("scene")))) {
        log(QStringLiteral("scene is not null"), 3);
        const QString name = JsonRead::text(data.value(QStringLiteral("scene")));
        const QString id = JsonRead::present(data.value(QStringLiteral("id")))
            ? JsonRead::text(data.value(QStringLiteral("id")))
            : JsonRead::text(custom.value(QStringLiteral("jobId")));
        log(QStringLiteral("1495 findJobByName"), 3);
        job = findJobByName(nullptr, name, id);
    } else if (JsonRead::present(message.value(QStringLiteral("scene")))) {
        job = findJobById(nullptr, JsonRead::text(custom.value(QStringLiteral("id"))));
    }

    if (JsonRead::present(custom.value(QStringLiteral("scene")))) {
        log(QStringLiteral("custom scene is not null"), 3);
        log(QStringLiteral("1581 findJobByName"), 3);
        KiteProject* named = findJobByName(job, JsonRead::text(custom.value(QStringLiteral("scene"))),
                                           JsonRead::text(custom.value(QStringLiteral("jobId"))));
        if (named && named != job)
            log(QStringLiteral("jobname found:") + named->name, 3);
        job = named;
    }
    return job;
}

void ProjectStates::requestProjectStates(const QString& info)
{
    m_plugin->makeRequest(QStringLiteral("getProjectStates"),
                          QJsonObject{{QStringLiteral("custom"), QJsonObject{{QStringLiteral("info"), info}}}});
}

void ProjectStates::requestProgress(KiteProject* job, bool asRequestJob)
{
    QJsonObject data;
    if (job) {
        data.insert(QStringLiteral("id"), job->jobId);
        data.insert(QStringLiteral("scene"), job->name);
    }
    m_plugin->makeRequest(QStringLiteral("getProgressInfos"), data, asRequestJob ? job : nullptr);
}

void ProjectStates::requestRenderPoints()
{
    // Asked after every state event: while one is on its way, no request is
    // even made.
    const QString action = QStringLiteral("getRenderpoints");
    if (m_plugin->requestQueue->alreadyOnItsWay({action, QString(), QString(), QString(), QJsonObject()}))
        return;
    m_plugin->makeRequest(action, QJsonObject{{QStringLiteral("virtual"), true}});
}

void ProjectStates::projectsReply(const QJsonObject& message)
{
    mergeList(message.value(QStringLiteral("data")).toObject().value(QStringLiteral("projects")).toArray(), {});
}

void ProjectStates::projectsReply(QVector<ProjectEntry> entries)
{
    mergeList(QJsonArray(), std::move(entries));
}

void ProjectStates::mergeList(QJsonArray projects, QVector<ProjectEntry> entries)
{
    // A long list is merged over several turns of the event loop; the
    // messages behind it wait for its end. The list comes read already, or
    // as JSON elements read one by one.
    struct Merge
    {
        QJsonArray projects;
        QVector<ProjectEntry> entries;
        int size = 0;
        int next = 0;
        bool anyCheck = false;
        KiteProject* last = nullptr;
    };
    auto merge = std::make_shared<Merge>();
    merge->size = entries.isEmpty() ? projects.size() : entries.size();
    merge->projects = std::move(projects);
    merge->entries = std::move(entries);
    m_cfgFiles.reset();
    InboundQueue* queue = m_plugin->inboundQueue;
    queue->continueWith([this, merge, queue] {
        while (merge->next < merge->size) {
            const int i = merge->next++;
            if (merge->entries.isEmpty())
                mergeProject(ProjectEntry::fromJson(merge->projects.at(i).toObject()), merge->anyCheck, merge->last);
            else
                mergeProject(merge->entries.at(i), merge->anyCheck, merge->last);
            if (!queue->timeLeft() && merge->next < merge->size)
                return false;
        }
        m_cfgFiles.reset();
        projectsMerged(merge->anyCheck, merge->last);
        return true;
    });
}

void ProjectStates::projectsMerged(bool anyCheck, KiteProject* last)
{
    if (m_plugin->rescanAfterLogin) {
        m_plugin->rescanAfterLogin = false;
        m_plugin->directoryChangedSlot(QDir(m_settings->localProjectsFolder).absolutePath());
        m_plugin->appRefreshSlot();
    }

    if (anyCheck && last) {
        log(last->name + QStringLiteral(" 1468 generateDownloadFileListSignal()"), 3);
        if (m_settings->transfersOnHold)
            last->setDownloadPaused(true);
        else
            emit m_plugin->generateDownloadFileListSignal();
    }
    emit m_plugin->buildRenderJobSubmenuSignal();
    emit m_plugin->updateStatusInfoSignal();
    m_plugin->pendingAnswers->projectsListed();

    m_plugin->getProjectStatesTimer->stop();
    m_plugin->getProjectStatesRunning = false;
    log(QStringLiteral("1383 getProjectStatesTimer->stop();"), 3);

    if (m_plugin->getProjectsStatesRequestWhileRunning) {
        m_plugin->getProjectsStatesRequestWhileRunning = false;
        log(QStringLiteral("1481 getProjectStates request"), 3);
        requestProjectStates(QStringLiteral("whilerunning"));
    }
}

void ProjectStates::mergeProject(const ProjectEntry& element, bool& anyCheck, KiteProject*& last)
{
    const bool downloadEnabled = element.downloadEnabled;
    if (!downloadEnabled)
        log(QStringLiteral("1902 (continue), download_enabled == false"), 3);

    QString status = element.status;
    const int teamid = element.teamid;
    qCDebug(lcProjects) << "1933 teamid1:" << teamid;
    const bool isTrial = element.isTrial;
    const bool isPaid = element.isPaid;
    const int restartCount = element.restartCount;
    const int serverDownload = element.serverDownload;
    qCDebug(lcProjects) << "1831 set download server" << serverDownload;
    const bool queued = element.queued;
    qCDebug(lcProjects) << "1492 queued:" << queued;
    const QString& name = element.name;
    const QString& id = element.id;
    const QString& errorText = element.errorText;

    log(QStringLiteral("1397 findJobByName"), 3);
    KiteProject* job = findJobByName(nullptr, name, id);
    if (!job) {
        job = new KiteProject(m_settings, name, id, m_settings);
        job->downloadEnabled = downloadEnabled;
        job->isQueued = queued;
        if (status == QLatin1String("ERROR_REND"))
            job->uploadErrorText = errorText;
        // Most jobs of a long list were never exported here: their cfg is
        // looked for in one listing of the folder, not file by file.
        if (!m_cfgFiles) {
            const QStringList cfgs = QDir(m_settings->localProjectsFolder + QLatin1Char('/') + m_settings->username)
                                         .entryList({QStringLiteral("*.cfg")}, QDir::Files, QDir::Unsorted);
            m_cfgFiles = std::make_unique<QSet<QString>>(cfgs.cbegin(), cfgs.cend());
        }
        if (m_cfgFiles->contains(name + QStringLiteral(".cfg")))
            m_plugin->cfgReader->readJobConfig(job, true, true);
        else
            job->isLocal = false;
        log(QStringLiteral("1504 job info read from cfg, uuid:") + job->jobLocalId, 3);
        job->assignState(status);
        m_settings->jobList.append(job);
    } else {
        job->setJobId(id);
        if (status == QLatin1String("ERROR_REND"))
            job->uploadErrorText = errorText;
    }
    job->teamid = teamid;
    job->isTrial = isTrial;
    job->isPaid = isPaid;
    job->downloadEnabled = downloadEnabled;

    if (status == QLatin1String("ERROR_UPL")) {
        job->uploadErrorText = QString(errorText).remove(QStringLiteral("/home/ftphomes"));
        // While retries are left, a failed upload is retried rather than shown.
        if (!job->texFolderRequestRunning && !job->waitingForCheckFiles && !job->isReadyForUpload
            && job->errorCount < maxUploadRetries)
            status = QStringLiteral("UPLOADING");
    }
    if (status == QLatin1String("UPLOADING") && !job->isUploadPaused && !job->uploadRestartPending
        && !job->isUploaded && !job->isUploading) {
        log(QStringLiteral("1432 ->retryUpload"), 3);
        if (job->errorCount < maxUploadRetries)
            job->retryUploadSlot(job->errorCount);
    }

    job->serverNumber = serverDownload;
    job->isQueued = queued;
    job->assignState(status);

    if (job->isUnknown && job->isNotInDb) {
        log(QStringLiteral("1448 ISUNKNOWN"), 3);
        requestProgress(job, false);
    }

    if (restartCount > job->restartDownloadCount) {
        job->checkForFilesToDownload = true;
        job->setRestartDownloadCount(restartCount);
        job->restartDownloadSlot(true, true);
        QPointer<KiteProject> guarded(job);
        QTimer::singleShot(restartRepeatMs, job, [guarded] {
            if (guarded)
                guarded->restartDownloadSlot();
        });
    }
    if (job->checkForFilesToDownload)
        anyCheck = true;
    last = job;
}

void ProjectStates::projectUploaded(KiteProject* job)
{
    if (!job) {
        requestProjectStates(QStringLiteral("uploaded"));
        return;
    }
    if (!job->isLocal && !job->hasUploadError)
        requestProjectStates(QStringLiteral("uploaded2"));
}

void ProjectStates::jobStateChange(const QJsonObject& message)
{
    const QJsonObject data = message.value(QStringLiteral("data")).toObject();
    const QString id = JsonRead::text(data.value(QStringLiteral("jobid")));
    KiteProject* job = findJobById(nullptr, id);
    if (job) {
        const QString state = data.value(QStringLiteral("state")).toString();
        if (m_settings->logs(3))
            log(QStringLiteral("1130 assign state ") + state, 3);
        job->assignState(state);
        m_plugin->makeRequest(QStringLiteral("getProgressInfos"),
                              QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("scene"), job->name}});
    } else {
        requestProjectStates(QStringLiteral("jobstatechange"));
        log(QStringLiteral("1123 job not found!"), 3);
    }
    requestRenderPoints();
}

void ProjectStates::frameStateChange(const QJsonObject& message, KiteProject* job)
{
    if (!job) {
        const QString id = JsonRead::text(message.value(QStringLiteral("data")).toObject().value(QStringLiteral("jobid")));
        job = findJobByName(nullptr, QString(), id);
    }
    log(QStringLiteral("frameStateChange"), 3);
    // A frame is done: the job's output has grown.
    if (job && !job->isDownloaded && !job->isDownloading)
        job->checkForFilesToDownload = true;
    requestProgress(job, true);
    requestRenderPoints();
}

int ProjectStates::progressStep(int notificationProgress)
{
    switch (notificationProgress) {
    case 0:
        return 10;
    case 1:
        return 25;
    case 2:
        return 50;
    default:
        return 100;
    }
}

void ProjectStates::progressInfos(const QJsonObject& message, KiteProject* job)
{
    if (!job)
        return;
    const QJsonObject d = message.value(QStringLiteral("data")).toObject();
    const int started = JsonRead::integer(d.value(QStringLiteral("started")));
    const int engines = JsonRead::integer(d.value(QStringLiteral("engines")));
    const QString state = d.value(QStringLiteral("State")).toString();

    job->isQueued = state != QLatin1String("RENDERABLE") && state != QLatin1String("PAUSED")
        && (started == 0 || engines == 0);
    m_settings->isPaid = JsonRead::text(d.value(QStringLiteral("ispaid"))) == QLatin1String("1");
    m_settings->renderPointsUnknown = false;
    log(m_settings->isPaid ? QStringLiteral("1549 isPaid = true") : QStringLiteral("1553 isPaid = false"), 3);

    job->assignState(state);
    if (d.value(QStringLiteral("paused")) == QJsonValue(true))
        job->setPaused();
    const int progress = JsonRead::integer(d.value(QStringLiteral("progress")));
    // More of the job rendered: more output to look at.
    if (progress > job->renderProgress && !job->isDownloaded && !job->isDownloading)
        job->checkForFilesToDownload = true;
    job->renderProgress = progress;

    if (m_settings->NotificationProgressEnabled
        && job->renderProgress >= job->progressNotified + progressStep(m_settings->NotificationProgress)
        && (job->isRendering || job->isPaused)) {
        job->progressNotified = job->renderProgress;
        emit m_plugin->showMessageSignal(tr("Render Progress"),
                                         job->name + QLatin1Char(' ') + QStringLiteral("%1%").arg(job->renderProgress),
                                         QStringLiteral("Progress"), job);
    }
    job->assignState(state);

    if (!m_plugin->getProjectStatesRunning && job->checkForFilesToDownload) {
        log(job->name + QStringLiteral(" 1532 generateDownloadFileListSignal()"), 3);
        if (m_settings->transfersOnHold) {
            job->setDownloadPaused(true);
        } else {
            m_plugin->downloadListGenerator->dueJob(job);
            emit m_plugin->generateDownloadFileListSignal();
        }
    }
    emit m_plugin->buildRenderJobSubmenuSignal();
}

void ProjectStates::jobOutOfPoints()
{
    for (KiteProject* job : qAsConst(m_settings->jobList)) {
        if (!job->isDownloaded)
            job->setOutOfRenderPoints();
    }
}

void ProjectStates::projectUploading(const QJsonObject& message, KiteProject* job)
{
    if (job)
        return;
    const QJsonValue scene = message.value(QStringLiteral("data")).toObject().value(QStringLiteral("scene"));
    if (!JsonRead::present(scene))
        return;
    log(QStringLiteral("scene is not null 1485"), 3);
    auto* remote = new KiteProject(m_settings, JsonRead::text(scene), QString(), m_settings);
    remote->setUploadingOnOtherMachine();
    m_settings->jobList.append(remote);
    emit m_plugin->buildRenderJobSubmenuSignal();
}
