#include "jobs/localprojectsscanner.h"

#include "jobs/cfgreader.h"
#include "jobs/jobindex.h"
#include "jobs/jobnames.h"
#include "jobs/kiteproject.h"
#include "net/inboundqueue.h"
#include "net/jsonread.h"
#include "settings/kitesettings.h"
#include "transfers/uploadfile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace {
QString flag(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

LocalProjectsScanner::LocalProjectsScanner(KiteSettings* settings, QObject* parent)
    : QObject(parent)
    , kiteSettings(settings)
{
}

void LocalProjectsScanner::setInboundQueue(InboundQueue* queue)
{
    m_queue = queue;
}

void LocalProjectsScanner::log(const QString& message, int level)
{
    kiteSettings->writeToLog(message, level);
}

void LocalProjectsScanner::scanProjectsSlot(QJsonArray fileNames, int serverNumberUpload)
{
    if (kiteSettings->logs(3))
        log(QStringLiteral("LocalProjectsScanner::scanProjectsSlot(QJsonArray remoteFileNames) ")
            + QString::fromUtf8(QJsonDocument(fileNames).toJson(QJsonDocument::Compact)));
    auto scan = std::make_shared<Scan>();
    scan->reader = new CfgReader(kiteSettings, this);
    scan->userFolder = kiteSettings->localProjectsFolder + QLatin1Char('/') + kiteSettings->username;
    scan->serverNumberUpload = serverNumberUpload;

    // The server's files by name, with the sizes of every entry of that name.
    for (const QJsonValue& entry : qAsConst(fileNames)) {
        const QJsonObject remote = entry.toObject();
        scan->serverFiles[remote.value(QStringLiteral("file")).toString()].append(
            JsonRead::wholeInteger64(remote.value(QStringLiteral("size")).toDouble()));
    }
    scan->files = JobNames::filesByName(scan->userFolder);
    scan->present = QSet<QString>(scan->files.cbegin(), scan->files.cend());

    // Thousands of cfg files are read over several turns of the event loop;
    // the server's messages behind this one wait for the scan's end.
    const InboundQueue::Continuation work = [this, scan] {
        if (scan->nextCandidate < 0) {
            if (!scanLocalJobs(*scan))
                return false;
            markCheckedJobsUploaded(scan->serverFiles);
            emit getProjectStatesSignal();
            log(QStringLiteral("upload joblist size: ") + QString::number(kiteSettings->jobList.size()));
            scan->candidates.reserve(kiteSettings->jobList.size());
            for (KiteProject* job : qAsConst(kiteSettings->jobList))
                scan->candidates.append(job);
            scan->nextCandidate = 0;
            if (sliceEnded() && !scan->candidates.isEmpty())
                return false;
        }
        if (!uploadCandidatePass(*scan))
            return false;
        kiteSettings->uploadRequested = true;
        scan->reader->deleteLater();
        return true;
    };
    if (m_queue)
        m_queue->continueWith(work);
    else
        work();
}

bool LocalProjectsScanner::scanLocalJobs(Scan& scan)
{
    while (scan.next < scan.files.size()) {
        const QString& fileName = scan.files.at(scan.next++);
        if (!fileName.endsWith(QLatin1String("cfg")))
            continue;
        const QString name = fileName.left(fileName.size() - 4);
        log(QStringLiteral("local jobNameFromFile: ") + name);

        KiteProject* job = kiteSettings->jobIndex().byName(name, JobIndex::Skip::DeletedLocal);
        if (job) {
            log(QStringLiteral("local found jobNameFromFile: ") + name);
            if (!job->isUploading && !job->isUploadPaused && !job->waitingForCheckFiles)
                scan.reader->readJobConfig(job, true, false);
        } else {
            log(QStringLiteral(": local job not found, create job ") + name);
            job = new KiteProject(kiteSettings, name, QString(), kiteSettings);
            if (name == CfgReader::liveUploadJobName()) {
                job->isLiveUpload = true;
                log(QStringLiteral(" 66 is liveUploadJob"));
            }
            kiteSettings->jobList.append(job);
            log(QStringLiteral("70 lpc send buildRenderJobSubmenuSlot"));
            emit buildRenderJobSubmenuSignal();
        }

        // A job is local only with its scene package beside the cfg.
        const bool hasScene = JobNames::isUsableAsFileName(name) && scan.present.contains(name);
        if (hasScene) {
            job->isLocal = true;
        } else {
            job->isLocal = false;
            job->isMarkedForUpload = false;
        }
        if (sliceEnded() && scan.next < scan.files.size())
            return false;
    }
    return true;
}

void LocalProjectsScanner::markCheckedJobsUploaded(const ServerFiles& serverFiles)
{
    const bool verbose = kiteSettings->logs(3);
    for (KiteProject* job : qAsConst(kiteSettings->jobList)) {
        if (job->isDeleted || job->isDeletedLocal)
            continue;
        if (verbose)
            log(QStringLiteral("currentLocalProjectName") + job->name);
        if (!serverFiles.contains(job->name + QStringLiteral(".ischecked")))
            continue;
        log(QStringLiteral("is already uploaded"));
        if (!job->isUploaded && !job->uploadRestartPending)
            job->setUploaded();
    }
}

bool LocalProjectsScanner::sliceEnded() const
{
    return m_queue && !m_queue->timeLeft();
}

bool LocalProjectsScanner::uploadCandidatePass(Scan& scan)
{
    while (scan.nextCandidate < scan.candidates.size()) {
        KiteProject* job = scan.candidates.at(scan.nextCandidate++);
        if (job)
            uploadCandidate(job, scan);
        if (sliceEnded() && scan.nextCandidate < scan.candidates.size())
            return false;
    }
    return true;
}

void LocalProjectsScanner::uploadCandidate(KiteProject* job, const Scan& scan)
{
    const bool verbose = kiteSettings->logs(3);
    if (verbose)
        log(QStringLiteral("205 job: ") + job->name + QStringLiteral(" isUploaded:") + flag(job->isUploaded)
            + QStringLiteral(" isMarkedForUpload: ") + flag(job->isMarkedForUpload) + QStringLiteral(" isLocal: ")
            + flag(job->isLocal) + QStringLiteral(" isInknown: ") + flag(job->isUnknown)
            + QStringLiteral(" isUploading: ") + flag(job->isUploading) + QStringLiteral(" isDownloaded: ")
            + flag(job->isDownloaded) + QStringLiteral(" isUploadPaused: ") + flag(job->isUploadPaused)
            + QStringLiteral(" isUploadPausedByStopSync: ") + flag(job->isUploadPausedByStopSync)
            + QStringLiteral(" isUploading: ") + flag(job->isUploading) + QStringLiteral(" isDeleted: ")
            + flag(job->isDeleted) + QStringLiteral(" isDeletedLocal: ") + flag(job->isDeletedLocal)
            + QStringLiteral(" checkForFilesToDownload: ") + flag(job->checkForFilesToDownload));
    if (job->isUploadPaused || job->isUploading || job->isDeletedLocal)
        return;
    log(QStringLiteral(": while 149"));
    if (job->isUploaded || job->isMarkedForUpload || !job->isLocal || job->waitingForCheckFiles) {
        log(QStringLiteral("skip"));
        if (verbose)
            log(QStringLiteral("(*ij)->isMarkedForUpload") + flag(job->isMarkedForUpload));
        return;
    }

    job->uploadBytesTotal = 0;
    log(QStringLiteral(" set uploadBytesTotal = 0"));
    job->serverNumberUpload = scan.serverNumberUpload;

    // The base files: scene package, preview image and cfg.
    if (JobNames::isUsableAsFileName(job->name)) {
        for (const QString& baseName : {job->name, job->name + QStringLiteral(".jpg"), job->name + QStringLiteral(".cfg")}) {
            const QFileInfo local(scan.userFolder + QLatin1Char('/') + baseName);
            if (!local.isFile())
                continue;
            for (const qint64 serverSize : scan.serverFiles.value(baseName)) {
                if (serverSize == local.size()) {
                    continue; // already on the server
                }
                if (local.size() > serverSize)
                    job->uploadBytesTotal += local.size() - serverSize; // resumed
                else
                    job->uploadBytesTotal += local.size();
            }
        }
    }

    if (!job->isUploadPaused)
        job->isMarkedForUpload = true;
    if (!job->isUploading && !job->isUploadPaused && !job->isUploaded && !job->isRendering && !job->renderComplete
        && !job->isDownloading && !job->isDownloaded) {
        log(QStringLiteral("312 upload ") + job->name);
        job->isMarkedForUpload = true;
        emit jobForUploadSignal(job);
    } else {
        log(QStringLiteral("321 not upload ") + job->name);
    }
}
