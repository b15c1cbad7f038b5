#include "transfers/downloadcompletion.h"

#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "transfers/downloadlistgenerator.h"
#include "transfers/downloadslogging.h"

namespace {
QString flag(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}
} // namespace

DownloadCompletion::DownloadCompletion(PluginNetConnection* plugin, KiteSettings* kiteSettings)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
{
}

void DownloadCompletion::log(const QString& message, int level)
{
    m_settings->writeToLog(message, level);
}

void DownloadCompletion::downloadJobFinished(KiteProject* job, int error)
{
    if (!job)
        return;
    qCDebug(lcDownloads).noquote() << "download pass finished:" << job->name << "reported error" << error;

    // The errors of the pass as the downloader left them; the retry below
    // resets the counter.
    const bool hadErrors = job->downloadJobErrorCount > 0 || job->hasDownloadError;
    bool retrying = false;
    if (hadErrors) {
        log(QStringLiteral("601 ") + job->name + QStringLiteral(" downloadJobErrorCount:")
                + QString::number(job->downloadJobErrorCount) + QStringLiteral(" hasDownloadError:")
                + flag(job->hasDownloadError) + QStringLiteral(" downloadJobErrorRestartCount:")
                + QString::number(job->downloadJobErrorRestartCount)
                + QStringLiteral(": DOWNLOAD FILE ERROR NEEDS TO BE HANDLED"),
            1);
        if (job->downloadJobErrorRestartCount < maxErrorRestarts) {
            ++job->downloadJobErrorRestartCount;
            log(job->name + QStringLiteral(": downloadJobErrorRestartCount++"));
            job->checkForFilesToDownload = true;
            job->downloadJobErrorCount = 0;
            job->failedDownloadFiles.clear();
            job->isDownloading = true;
            job->isDownloaded = false;
            job->lastDownloadCheckReceived = false;
            retrying = true;
        } else {
            job->setDownloadError();
        }
    } else {
        log(QStringLiteral("583 isdownloaded ") + job->name);
        job->isDownloading = false;
        job->isDownloaded = true;
    }

    if (m_settings->runningJobDownloads > 0)
        --m_settings->runningJobDownloads;
    else
        qCDebug(lcDownloads) << "runningJobDownloads already 0, not decremented";
    log(job->name + QStringLiteral(": runningDownloadsOfJob:") + QString::number(job->runningDownloadsOfJob));
    log(job->name + QStringLiteral(": runningJobDownloads--") + QString::number(m_settings->runningJobDownloads));

    if (job->isUpdateJob)
        finishUpdateDownload(job, hadErrors);

    if (job->isUploadTest || job->isDownloadTest) {
        job->setDownloadFinished();
        return;
    }

    if (!job->isRendering && !job->isPaused) {
        log(job->name + QStringLiteral(": 606 is downloaded"));
        // The mark waits for the final look at the output: written before
        // it, a frame that was still being written when the pass began would
        // be lost for good once the cfg is read again (or the answer of the
        // final look is lost with the connection).
        const bool finalLookDone = job->lastDownloadCheckReceived || job->overwriteQuestionOpen;
        if (!job->isUpdateJob && !hadErrors && !job->hasDownloadError && job->downloadJobErrorCount == 0
            && !job->downloadedMark && finalLookDone) {
            job->appendToConfig(QStringLiteral("downloaded=true"));
            job->appendToConfig(QStringLiteral("restartDownload=false"));
            job->downloadedMark = true;
        }
    } else if (!job->isUpdateJob) {
        // The job still renders (or is paused): what the pass fetched is all
        // there is so far. The next progress event starts another pass; the
        // final look and the completion wait for the end of rendering.
        log(job->name + QStringLiteral(": still rendering, download continues with the next pass"));
        job->isDownloaded = false;
        job->isDownloading = false;
        job->checkForFilesToDownload = true;
        emit m_plugin->downloadJobSignal();
        return;
    }

    if (!job->lastDownloadCheckReceived && !job->isUpdateJob && !job->overwriteQuestionOpen && finalLook(job))
        return;

    log(job->name + QStringLiteral(": 702 jobObject->downloadJobErrorRestartCount:")
        + QString::number(job->downloadJobErrorRestartCount));
    if (retrying) {
        // A pass that failed is not a finished download: the retry comes
        // with the next pass.
        log(job->name + QStringLiteral(": download errors, not set finished, retry on the next pass"));
        emit m_plugin->downloadJobSignal();
        return;
    }
    complete(job);
}

void DownloadCompletion::finishUpdateDownload(KiteProject* job, bool hadErrors)
{
    if (!hadErrors) {
        log(job->name + QStringLiteral(": Updatedownloadjobfinished"), 0);
        m_settings->updateDownloadStarted = false;
        emit m_plugin->updateDownloadFinishedSignal();
        if (m_settings->firstRunDone) {
            log(QStringLiteral("syncActive = true 655"));
            m_settings->syncActive = true;
            m_plugin->checkforUpdates();
        } else {
            m_plugin->openLinkWithTokenSlot(m_settings->controlCenterUrl);
            m_plugin->checkforUpdates();
        }
    } else {
        log(QStringLiteral("error while downloading update files. try again"), 0);
        m_settings->updateDownloadStarted = false;
        m_plugin->checkforUpdates();
    }
}

bool DownloadCompletion::finalLook(KiteProject* job)
{
    log(job->name + QStringLiteral(": 665 !jobObject->lastDownloadCheckReceived"));
    log(job->name + QStringLiteral(": lastDownloadCheckReceived and set"));
    job->checkForFilesToDownload = true;
    job->lastDownloadCheck = true;
    job->lastDownloadCheckReceived = true;
    job->isDownloaded = false;

    if (job->localDownloadDir.isEmpty() && job->localDownloadDirCustom.isEmpty()) {
        log(job->name + QStringLiteral(": tried sending getOutputDir for job without localDownloadDir! 827"));
        return true;
    }
    const bool teamUnpaid = job->teamid != 0 && !job->isPaid;
    if (m_settings->accountOutOfRenderPoints() && (job->teamid == 0 || teamUnpaid)) {
        emit m_plugin->showMessageSignal(tr("Out of render points"), tr("Out of render points"),
                                         QStringLiteral("OutOfRenderPoints"), job);
        return true;
    }
    if (teamUnpaid) {
        emit m_plugin->showMessageSignal(tr("Team out of render points"), tr("Team out of render points"),
                                         QStringLiteral("OutOfRenderPoints"), job);
        return true;
    }
    job->getOutputDirRunning = false;
    log(job->name + QStringLiteral(": makeRequest(\"getOutputDir\" 651"));
    DownloadListGenerator::requestOutputDir(m_plugin, job);
    return true;
}

void DownloadCompletion::complete(KiteProject* job)
{
    if (job->downloadJobErrorRestartCount < restartsHoldingCompletion) {
        log(job->name + QStringLiteral(": after lastDownloadCheck - checkForFilesToDownloadOnNextUpdate = false 803"));
        job->lastDownloadCheck = false;
        job->checkForFilesToDownload = false;
        job->downloadPriority = -1;
        log(job->name + QStringLiteral(": setDownloadFinished 650"));
        if (!job->overwriteQuestionOpen) {
            job->setDownloadFinished();
            emit m_plugin->showMessageSignal(tr("Download finished"),
                                             job->name + QStringLiteral(" 100%... ") + QLatin1Char('\n')
                                                 + tr("Click here to open folder"),
                                             QStringLiteral("DownloadEnd"), job);
        }
        emit m_plugin->downloadJobSignal();
        return;
    }

    log(job->name + QStringLiteral(": 715 hasDownloadError, not set finished - jobObject->downloadJobErrorRestartCount:")
        + QString::number(job->downloadJobErrorRestartCount) + QStringLiteral(" priority:")
        + QString::number(job->downloadPriority) + QStringLiteral(" downloadList.empty:")
        + flag(job->downloadList.isEmpty()) + QStringLiteral(" downloadErrorMessageShown:")
        + flag(job->downloadErrorMessageShown));
    if (job->downloadList.isEmpty() && !job->downloadErrorMessageShown) {
        log(job->name + QStringLiteral(": 718:"));
        job->restartDownloadSlot(false, false);
    }
    emit m_plugin->downloadJobSignal();
}

void DownloadCompletion::zipRequest(const DownloadFile& file, KiteProject* job)
{
    if (!job)
        return;
    log(QStringLiteral("zipRequestSlot:") + job->name + QStringLiteral(" file:") + file.path);
    m_plugin->makeRequest(QStringLiteral("pack"),
                          QJsonObject{{QStringLiteral("scene"), job->name}, {QStringLiteral("picture"), file.path}},
                          job);
}

void DownloadCompletion::generateOverlayRequest(const DownloadFile& file, KiteProject* job)
{
    if (!job)
        return;
    log(QStringLiteral("generateOverlayRequestSlot:") + job->name + QStringLiteral(" file:") + file.path);
    m_plugin->makeRequest(QStringLiteral("generateOverlay"),
                          QJsonObject{{QStringLiteral("scene"), job->name}, {QStringLiteral("picture"), file.path}},
                          job);
}

void DownloadCompletion::overlayReply(const QJsonObject& data, KiteProject* job)
{
    if (!job || !data.value(QStringLiteral("result")).toBool())
        return;
    emit m_plugin->overlayGeneratedSignal(data.value(QStringLiteral("filename")).toString(), job);
}
