#include "transfers/uploadorchestrator.h"

#include "jobs/cfgreader.h"
#include "jobs/jobdeleter.h"
#include "jobs/kiteproject.h"
#include "net/jsonread.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "transfers/sharedfileguard.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

Q_LOGGING_CATEGORY(lcUploads, "kite.uploads")

namespace {

constexpr int LogImportant = 0;
constexpr int LogVerbose = 3;

QString flag(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

// A size from the server: a JSON number (or a decimal text) as a 64-bit
// integer; -1 for a number beyond that range; anything else is 0.
qint64 sizeOf(const QJsonValue& value)
{
    if (value.isDouble())
        return JsonRead::wholeInteger64(value.toDouble());
    if (value.isString()) {
        bool ok = false;
        const qint64 size = value.toString().trimmed().toLongLong(&ok);
        return ok ? size : 0;
    }
    return 0;
}

QJsonObject dataOf(const QJsonObject& message)
{
    return message.value(QStringLiteral("data")).toObject();
}

} // namespace

UploadOrchestrator::UploadOrchestrator(PluginNetConnection* plugin, KiteSettings* kiteSettings, CfgReader* cfgReader)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
    , m_cfgReader(cfgReader)
    , m_sharedFiles(new SharedFileGuard(kiteSettings, this))
{
    connect(m_sharedFiles, &SharedFileGuard::released, this, &UploadOrchestrator::checkWhenSafe);
    connect(kiteSettings, &KiteSettings::uploadStoppingSignal, m_sharedFiles, &SharedFileGuard::uploadStopping);
}

void UploadOrchestrator::log(const QString& message, int level)
{
    m_settings->writeToLog(message, level);
}

// --- upload server and method ----------------------------------------------

int UploadOrchestrator::serverNumberForUpload(const QString& jobName) const
{
    return m_cfgReader->serverNumberForUpload(jobName);
}

int UploadOrchestrator::storeServerNumberUpload(KiteProject* job)
{
    job->serverNumberUpload = serverNumberForUpload(job->name);
    return job->serverNumberUpload;
}

QString UploadOrchestrator::uploadMethod(const KiteSettings* kiteSettings)
{
    // Each later rule overrides the earlier ones.
    QString method = QStringLiteral("FTP");
    if (kiteSettings->ftpEncryptionUp)
        method = QStringLiteral("FTPS");
    if (kiteSettings->ftpEncryptionUp && kiteSettings->ftpCCC)
        method = QStringLiteral("FTPSCCC");
    if (kiteSettings->useSftpUp)
        method = QStringLiteral("SFTP");
    if (kiteSettings->useHttpsUp)
        method = QStringLiteral("HTTPS");
    if (kiteSettings->useExpedatUp)
        method = QStringLiteral("RAPID");
    return method;
}

QString UploadOrchestrator::ftpContentsLine(const QString& serverPath, qint64 size)
{
    return serverPath.mid(4) + QLatin1Char(':') + QString::number(size) + QStringLiteral("\r\n");
}

// --- starting a job -----------------------------------------------------------

void UploadOrchestrator::startJob(KiteProject* job)
{
    if (!job)
        return;
    m_settings->uploadRequested = true;

    // Reading the cfg may ask for the job's folders on the server.
    QList<UploadFile> files = m_cfgReader->readJobConfig(job, false, false);

    if (job->isUploaded && !job->uploadRestartPending) {
        // Nothing to send: the list is not kept (thousands of uploaded jobs
        // are looked at on every start).
        log(job->name + QStringLiteral(": 383 return?"), LogVerbose);
        return;
    }
    job->uploadList = std::move(files);
    if (job->jobLocalId.isEmpty())
        job->createJobLocalId();
    m_checkPassed.remove(job);
    if (job->waitingForCheckFiles) {
        log(job->name + QStringLiteral(": waiting for checkFiles, upload not started again"), LogVerbose);
        return;
    }

    log(job->name + QStringLiteral(": 1309 serverNumberUpload:") + QString::number(job->serverNumberUpload),
        LogVerbose);
    storeServerNumberUpload(job);
    log(job->name + QStringLiteral(": 1311 serverNumberUpload:") + QString::number(job->serverNumberUpload),
        LogVerbose);

    if (!job->isLiveUpload) {
        job->isReadyForUpload = false;
        log(job->name + QStringLiteral(": 414 isReadyForUpload = false"), LogVerbose);
    }

    m_sharedFiles->listingAsked(job);
    requestListing(job);
}

void UploadOrchestrator::requestListing(KiteProject* job)
{
    const QJsonObject data{
        {QStringLiteral("size"), true},
        {QStringLiteral("serverNumberUpload"), job->serverNumberUpload},
    };
    m_plugin->makeRequest(QStringLiteral("getTexFolderContents"), data, job);
}

// --- the folder listing -------------------------------------------------------

KiteProject* UploadOrchestrator::jobUploading(const QStringList& paths) const
{
    for (KiteProject* other : qAsConst(m_settings->jobList)) {
        if (!other || other->isDeleted || other->isDeletedLocal)
            continue;
        for (const QString& path : paths) {
            if (!path.isEmpty() && other->uploadingFilesHash.contains(path))
                return other;
        }
    }
    return nullptr;
}

void UploadOrchestrator::classifyFile(KiteProject* job, UploadFile& file, const QHash<QString, qint64>& serverSizes,
                                      bool listedOnServer)
{
    // The flags come from this listing only.
    file.alreadyOnServer = false;
    file.resume = false;
    file.resumeOffset = 0;
    file.serverCopyLarger = false;
    file.uploadingElsewhere = false;

    const qint64 serverSize = serverSizes.value(file.path, 0);
    // An empty file counts as on the server only when the listing names it:
    // otherwise it would never be created there.
    if (serverSize == file.size && (listedOnServer || file.size > 0)) {
        file.alreadyOnServer = true;
        job->bytesSentTotal += serverSize;
        return;
    }
    if (serverSize > 0 && serverSize < file.size) {
        log(job->name + QStringLiteral(": 1977 resume ") + file.path, LogVerbose);
        KiteProject* other = jobUploading({file.path, file.path.mid(1)});
        file.resume = true;
        file.resumeOffset = serverSize;
        job->bytesSentTotal += serverSize;
        if (other) {
            file.uploadingElsewhere = true;
            job->alreadyUploadingFilesHash.insert(file.path, file.size);
            job->waitsForOtherUpload = true;
            log(job->name + QStringLiteral(": 1841alreadyUploadingFilesHash.insert:") + file.path, LogVerbose);
            log(job->name + QStringLiteral(": 1962 add bytesSentTotal:") + QString::number(serverSize), LogVerbose);
            log(job->name + QStringLiteral(": file already uploading ") + file.path, LogVerbose);
        } else {
            log(job->name + QStringLiteral(": 1938 add bytesSentTotal:") + QString::number(serverSize), LogVerbose);
        }
        return;
    }
    if (serverSize > file.size) {
        file.serverCopyLarger = true;
        log(job->name + QStringLiteral(": 1850 ++ ") + file.path, LogVerbose);
        return;
    }
    // Not on the server (yet): another job may be sending it right now.
    if (KiteProject* other = jobUploading({file.path})) {
        file.uploadingElsewhere = true;
        job->alreadyUploadingFilesHash.insert(file.path, file.size);
        job->waitsForOtherUpload = true;
        log(job->name + QStringLiteral(": ") + file.path + QStringLiteral(" from job:") + other->name, LogVerbose);
    }
}

void UploadOrchestrator::texFolderContentsReply(const QJsonObject& message, KiteProject* job)
{
    if (!job || !job->texFolderRequestRunning) {
        log((job ? job->name : QString()) + QStringLiteral(": 1753 getTexFolderContents return"), LogVerbose);
        return;
    }
    job->texFolderRequestRunning = false;

    QHash<QString, qint64> serverSizes;
    const QJsonArray files = dataOf(message).value(QStringLiteral("files")).toArray();
    for (const QJsonValue& value : files) {
        const QJsonObject entry = value.toObject();
        const QString path = QStringLiteral("tex/") + JsonRead::text(entry.value(QStringLiteral("file")));
        const qint64 size = sizeOf(entry.value(QStringLiteral("size")));
        serverSizes.insert(path, size);
        qCDebug(lcUploads).noquote() << "dataHash.insert:" << path << size;
    }
    if (m_sharedFiles->isVerifying(job)) {
        verifyReply(job, serverSizes);
        return;
    }
    // What the farm received since the listing was asked for counts too.
    serverSizes = m_sharedFiles->sizesToGoBy(job, serverSizes);

    if (job->isUploaded || job->isRendering || job->isDownloading || job->renderComplete) {
        log(job->name + QStringLiteral(": already uploaded, do not upload again 1855"), LogVerbose);
        return;
    }

    job->bytesSentTotal = 0;
    job->uploadBytesSentFinished = 0;
    job->waitsForOtherUpload = false;
    for (int i = 0; i < job->uploadList.size() && !job->isUploading; ++i) {
        UploadFile& file = job->uploadList[i];
        classifyFile(job, file, serverSizes, serverSizes.contains(file.path));
    }

    if (!m_settings->syncActive) {
        log(job->name + QStringLiteral(": 1837 setUploadPaused()"), LogVerbose);
        job->uploadPausedSwitchSlot();
        job->isUploadPausedByStopSync = true;
        return;
    }
    if (job->waitingForCheckFiles)
        return;

    if (!job->isUploading && !job->waitsForOtherUpload)
        emit m_plugin->showMessageSignal(tr("Upload started"), job->name, QStringLiteral("UploadStart"), job);

    if (!job->isLiveUpload && !job->isUploaded) {
        storeServerNumberUpload(job);
        const QJsonObject data{
            {QStringLiteral("scene"), job->name},
            {QStringLiteral("serverNumberUpload"), job->serverNumberUpload},
            {QStringLiteral("teamid"), job->teamid},
        };
        m_plugin->makeRequest(QStringLiteral("setuploadstarted"), data, job);
    }

    log(job->name + QStringLiteral(": 1871 uploadJobSignal()"), LogVerbose);
    log(job->name + QStringLiteral(": 1911 isReadyForUpload = true"), LogVerbose);
    job->isReadyForUpload = true;
    job->setUploadIdle();
    m_sharedFiles->classified(job);
    emit m_plugin->UploadJobSignal();
}

// --- folders on the server ------------------------------------------------------

void UploadOrchestrator::createDirsOnServer(const QSet<QString>& dirs, KiteProject* job)
{
    if (!job)
        return;
    QJsonArray dirArray;
    for (const QString& dir : dirs)
        dirArray.append(dir);
    if (job->serverNumberUpload != 2)
        storeServerNumberUpload(job);
    const QJsonObject data{
        {QStringLiteral("dirs"), dirArray},
        {QStringLiteral("serverNumberUpload"), job->serverNumberUpload},
    };
    m_plugin->makeRequest(QStringLiteral("createDirs"), data, job);
}

void UploadOrchestrator::createDirsReply(const QJsonObject& message, KiteProject* job)
{
    if (dataOf(message).value(QStringLiteral("result")).toBool()) {
        if (job) {
            log(job->name + QStringLiteral(": 1526 createDirs true"), LogVerbose);
            job->setDirsCreated(true);
        } else {
            log(QStringLiteral("1532 jobObject null"), LogVerbose);
        }
    } else {
        log((job ? job->name : QString()) + QStringLiteral(": 1536 createDirs error"), LogImportant);
    }
}

// --- the check ------------------------------------------------------------------

void UploadOrchestrator::checkFiles(KiteProject* job)
{
    if (!job)
        return;
    if (job->isUploadTest) {
        job->setUploaded();
        job->alreadyUploadingFilesHash.clear();
        job->uploadFileQueue.clear();
        return;
    }
    // The uploader's run of the job is over; the check reply counts it down.
    m_uploaderRuns.insert(job);
    m_sharedFiles->uploaderFinished(job);
    checkWhenSafe(job);
}

bool UploadOrchestrator::hasPassedCheck(const KiteProject* job) const
{
    const auto passed = m_checkPassed.constFind(job);
    return passed != m_checkPassed.constEnd() && passed.value() == job;
}

void UploadOrchestrator::checkWhenSafe(KiteProject* job)
{
    // A job counted as uploaded through the farm's check mark while it waited
    // still gets its own check: that is what submits it.
    if (!job || job->isDeleted || job->isDeletedLocal || hasPassedCheck(job))
        return;
    if (job->isUploadPaused) {
        // Resuming starts the upload over, listing first.
        log(job->name + QStringLiteral(": paused while its check waited, not checked"), LogVerbose);
        return;
    }
    switch (m_sharedFiles->beforeCheck(job)) {
    case SharedFileGuard::Gate::Check:
        job->isReadyForUpload = true;
        sendCheck(job);
        break;
    case SharedFileGuard::Gate::Hold:
        // Out of the uploader's reach until the other job lets go.
        job->isReadyForUpload = false;
        job->setUploadWaiting();
        break;
    case SharedFileGuard::Gate::Verify:
        job->isReadyForUpload = false;
        m_sharedFiles->verifyAsked(job);
        requestListing(job);
        break;
    }
}

void UploadOrchestrator::verifyReply(KiteProject* job, const QHash<QString, qint64>& listed)
{
    if (job->isDeleted || job->isDeletedLocal || hasPassedCheck(job))
        return;
    if (m_sharedFiles->verified(job, listed)) {
        checkWhenSafe(job);
        return;
    }
    // The upload goes on from what the farm holds; the uploader's run ended
    // without a check.
    decrementRunningUploads(job, job->name + QStringLiteral(": upload goes on, runningJobUploads--"));
    job->isUploading = false;
    job->retryUploadSlot(job->errorCount);
}

void UploadOrchestrator::sendCheck(KiteProject* job)
{
    log(QStringLiteral("417") + job->name + QStringLiteral(": send checkFiles"), LogVerbose);
    const QJsonObject data{
        {QStringLiteral("scene"), job->name},
        {QStringLiteral("uploadMethod"), uploadMethod(m_settings)},
        {QStringLiteral("error"), job->hasUploadError},
        {QStringLiteral("serverNumberUpload"), job->serverNumberUpload},
    };
    m_plugin->makeRequest(QStringLiteral("checkFiles"), data, job);
}

void UploadOrchestrator::decrementRunningUploads(KiteProject* job, const QString& logText)
{
    // The uploader counts a job up when it starts; a reply without a counted
    // run (a repeated answer, a second check of the same run) leaves the
    // counter alone.
    if (m_uploaderRuns.remove(job) && m_settings->runningJobUploads > 0)
        --m_settings->runningJobUploads;
    log(logText + QString::number(m_settings->runningJobUploads), LogVerbose);
}

void UploadOrchestrator::checkFilesReply(const QJsonObject& message, KiteProject* job)
{
    if (!job)
        return;
    log(job->name + QStringLiteral(": checkFiles received"), LogVerbose);
    job->waitingForCheckFiles = false;

    const QJsonObject data = dataOf(message);
    const bool passed = data.value(QStringLiteral("result")).toBool() || job->isLiveUpload;
    if (passed && !hasPassedCheck(job) && !job->isLiveUpload && m_sharedFiles->holdIfRewritten(job)) {
        // Another job began to write one of the files after the check: the
        // job is submitted only once the file is looked at again.
        decrementRunningUploads(job, job->name + QStringLiteral(": check passed while a file is rewritten, runningJobUploads--"));
        job->isReadyForUpload = false;
        job->setUploadWaiting();
    } else if (passed) {
        passedCheck(job);
    } else {
        failedCheck(job, JsonRead::text(data.value(QStringLiteral("errors"))));
    }

    emit m_plugin->UploadJobSignal();
}

void UploadOrchestrator::passedCheck(KiteProject* job)
{
    log(job->name + QStringLiteral(": checkFiles true"), LogVerbose);
    const QJsonObject data{
        {QStringLiteral("scene"), job->name},
        {QStringLiteral("custom"), QStringLiteral("VK")},
        {QStringLiteral("serverNumberUpload"), job->serverNumberUpload},
    };
    m_plugin->makeRequest(QStringLiteral("setuploadchecked"), data, job);

    if (job->isLiveUpload) {
        QFile mark(m_settings->localProjectsFolder + QLatin1Char('/') + m_settings->username + QLatin1Char('/')
                   + preUploadCompleteFileName());
        if (mark.open(QIODevice::WriteOnly | QIODevice::Truncate))
            mark.close();
        else
            log(QStringLiteral("Could not open preuploadcomplete file"), LogImportant);
    }

    decrementRunningUploads(job, job->name + QStringLiteral(": setuploadchecked request, (353) runningJobUploads--"));

    job->setUploaded();
    m_sharedFiles->checkPassed(job);
    // A check answered twice (asked again after a lost connection) finishes
    // the upload once; the cfg holds its mark once even when the upload was
    // started over.
    if (hasPassedCheck(job)) {
        log(job->name + QStringLiteral(": check passed already"), LogVerbose);
    } else {
        m_checkPassed.insert(job, job);
        log(job->name + QStringLiteral(": Upload finished, show message"), LogVerbose);
        emit m_plugin->showMessageSignal(tr("Upload finished"),
                                         job->name + tr("100%... \nClick to open Control Center"),
                                         QStringLiteral("UploadEnd"), job);
    }
    if (!job->configHolds(QStringLiteral("uploadfinished=true"))) {
        log(job->name + QStringLiteral(" 1562 writing uploadfinished info to config"), LogVerbose);
        if (!appendRawToConfig(job, QStringLiteral("\r\nuploadfinished=true")))
            log(job->name + QStringLiteral(": Could not open file for appending autostart info"), LogImportant);
    }

    if (job->autostart) {
        // Disarm through the slot, so that the menu's check mark follows;
        // the cfg gets its "autostart=2" from the registration reply.
        job->setAutostartSlot(false);
        job->autostart = false;
        const QJsonObject addJob{
            {QStringLiteral("prio"), job->renderPriority},
            {QStringLiteral("pack"), QStringLiteral("metered")},
        };
        m_plugin->makeRequest(QStringLiteral("addjob"), addJob, job);
    }

    if (job->isLiveUpload) {
        auto* deleter = new JobDeleter(m_settings, job, m_plugin);
        connect(deleter, &QObject::destroyed, m_plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
        deleter->run();
        m_plugin->liveUploadRunning = false;
        m_plugin->directoryChangedSlot(m_settings->localProjectsFolder);
    }
}

void UploadOrchestrator::failedCheck(KiteProject* job, const QString& errors)
{
    decrementRunningUploads(job, job->name + QStringLiteral(": (1655) runningJobUploads--"));
    ++job->errorCount;
    job->isUploading = false;
    job->uploadErrorText = errors;
    log(job->name + QStringLiteral("ERROR, check nok.") + QStringLiteral(" error count:")
            + QString::number(job->errorCount),
        LogImportant);

    // A job the farm already renders (or has rendered) keeps its state; one
    // that only counts as uploaded (a check passed earlier, its answer lost)
    // is not complete on the server after all and goes up again.
    const bool pastUpload = job->isRendering || job->isQueued || job->isPaused || job->renderComplete
        || job->isDownloading || job->isDownloaded;
    if (!job->isReadyForUpload || (job->isUploaded && pastUpload))
        return;
    if (job->errorCount < maxUploadErrors) {
        log(job->name + QStringLiteral(": 1701 retryUploadSlot"), LogVerbose);
        job->retryUploadSlot(job->errorCount);
    } else {
        log(job->name + QStringLiteral(": 1653 setErrorUploadSignal"), LogImportant);
        job->setErrorUpload(true);
    }
}

// --- the registration -------------------------------------------------------------

bool UploadOrchestrator::appendRawToConfig(KiteProject* job, const QString& text)
{
    if (job->cfgPath().isEmpty() || job->isDeleted || job->isDeletedLocal) {
        qCDebug(lcUploads).noquote() << "no usable cfg for" << job->name << "- not written:" << text.trimmed();
        return false;
    }
    return job->appendTextToConfig(text);
}

void UploadOrchestrator::addJobReply(const QJsonObject& message, KiteProject* job)
{
    if (!job)
        return;
    log(job->name + QStringLiteral(": ADDJOB"), LogVerbose);
    log(job->name + QStringLiteral(" 1626 writing autostart info to config"), LogVerbose);
    if (!appendRawToConfig(job, QStringLiteral("\r\nautostart=2")))
        log(job->name + QStringLiteral(": Could not open file for appending autostart info"), LogImportant);

    const QJsonObject data = dataOf(message);
    const QString id = JsonRead::text(data.value(QStringLiteral("id")));
    log(QStringLiteral("assign id") + id + QStringLiteral(" to job") + job->name, LogVerbose);
    // A reply without a usable id (absent, null or of another type) leaves
    // the job the id it has: a job that lost its id could no longer be told
    // apart from a new one of the same name.
    if (!id.isEmpty())
        job->setJobId(id);
    else
        log(job->name + QStringLiteral(": submission reply without an id, the job keeps its id"), LogImportant);
    if (JsonRead::present(data.value(QStringLiteral("server_download"))))
        job->serverNumber = JsonRead::integer(data.value(QStringLiteral("server_download")));
    if (JsonRead::present(data.value(QStringLiteral("server_upload"))))
        job->serverNumberUpload = JsonRead::integer(data.value(QStringLiteral("server_upload")));
}

// --- the exporter's requests ---------------------------------------------------------

void UploadOrchestrator::appRefresh()
{
    const QString folder = m_settings->localProjectsFolder + QLatin1Char('/');
    if (QFileInfo::exists(folder + refreshFileName())) {
        const bool removed = QFile::remove(folder + refreshFileName());
        log(QStringLiteral("531 remove ") + refreshFileName() + QLatin1Char(' ') + flag(removed), LogVerbose);
    }
    if (QFileInfo::exists(folder + refreshFtpFileName())) {
        log(QStringLiteral("542 appTexRequest"), LogVerbose);
        // A carrier without a name; makeRequest disposes of it.
        auto* carrier = new KiteProject(m_settings, QString(), QString(), m_plugin);
        const QJsonObject data{
            {QStringLiteral("size"), true},
            {QStringLiteral("serverNumberUpload"), serverNumberForUpload(QString())},
        };
        m_plugin->makeRequest(QStringLiteral("getTexFiles"), data, carrier, QStringLiteral("appTexRequest"));
    }
}

void UploadOrchestrator::texFilesReply(const QJsonObject& message)
{
    log(QStringLiteral("write ftp file"), LogVerbose);
    const QString folder = m_settings->localProjectsFolder + QLatin1Char('/');
    QFile file(folder + ftpContentsFileName());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        log(QStringLiteral("Could not open file ") + file.fileName(), LogImportant);
        log(tr("Could not open file..."), LogImportant);
        return;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");

    const QJsonObject files = dataOf(message).value(QStringLiteral("files")).toObject();
    QStringList keys = files.keys();
    std::sort(keys.begin(), keys.end());
    for (const QString& key : qAsConst(keys))
        out << ftpContentsLine(key, sizeOf(files.value(key)));

    // The textures of the local jobs, as their cfgs list them.
    const QList<KiteProject*> jobs = m_settings->jobList;
    for (KiteProject* job : jobs) {
        if (!job || job->isDeleted || job->isDeletedLocal)
            continue;
        const QList<UploadFile> jobFiles = m_cfgReader->readJobConfig(job, true, false);
        for (const UploadFile& jobFile : jobFiles) {
            if (jobFile.path.startsWith(QLatin1String("tex/")))
                out << ftpContentsLine(jobFile.path, jobFile.size);
        }
    }
    out.flush();
    if (out.status() != QTextStream::Ok || file.error() != QFileDevice::NoError)
        log(QStringLiteral("Could not write file ") + file.fileName(), LogImportant);
    file.close();
    QFile::remove(folder + refreshFtpFileName());
}

void UploadOrchestrator::textureCacheReply(const QJsonObject& message)
{
    const QJsonObject data = dataOf(message);
    emit m_plugin->texDbResultSignal(JsonRead::text(data.value(QStringLiteral("onlinePath"))),
                                     JsonRead::text(data.value(QStringLiteral("checksum"))),
                                     JsonRead::text(data.value(QStringLiteral("result"))));
}

void UploadOrchestrator::unzipRequest(const UploadFile& uploadFile, KiteProject* job)
{
    if (!job)
        return;
    log(QStringLiteral("unzipRequestSlot:") + job->name + QStringLiteral(" file:") + uploadFile.path, LogVerbose);
    const QJsonObject data{
        {QStringLiteral("scene"), job->name},
        {QStringLiteral("picture"), uploadFile.path},
    };
    m_plugin->makeRequest(QStringLiteral("unpack"), data, job);
}

void UploadOrchestrator::packReply(const QJsonObject& message, KiteProject* job)
{
    // Accepted; nothing follows from the answer.
    qCDebug(lcUploads).noquote() << message.value(QStringLiteral("action")).toString() << "answer for"
                                 << (job ? job->name : QString()) << "result:"
                                 << dataOf(message).value(QStringLiteral("result")).toVariant().toString();
}
