#include "transfers/downloadlistgenerator.h"

#include "jobs/cfgreader.h"
#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "transfers/downloadslogging.h"

#include <QJsonArray>
#include <QSet>

namespace {
QString flag(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

bool hasNoFolder(const KiteProject* job)
{
    return job->localDownloadDir.isEmpty() && job->localDownloadDirCustom.isEmpty();
}
} // namespace

DownloadListGenerator::DownloadListGenerator(PluginNetConnection* plugin, KiteSettings* kiteSettings)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
{
    m_passTimer.setSingleShot(true);
    connect(&m_passTimer, &QTimer::timeout, this, &DownloadListGenerator::runRequestedPass);
}


void DownloadListGenerator::log(const QString& message, int level)
{
    m_settings->writeToLog(message, level);
}

bool DownloadListGenerator::isOutOfRenderPoints(const KiteProject* job, const KiteSettings* kiteSettings)
{
    if (job->teamid != 0)
        return !job->isPaid;
    return kiteSettings->accountOutOfRenderPoints();
}

void DownloadListGenerator::requestOutputDir(PluginNetConnection* plugin, KiteProject* job)
{
    const QJsonObject data{{QStringLiteral("scene"), job->name}, {QStringLiteral("size"), true}};
    plugin->makeRequest(QStringLiteral("getOutputDir"), data, job);
}

void DownloadListGenerator::dueJob(KiteProject* job)
{
    m_dueHint = job;
}

void DownloadListGenerator::requestPass()
{
    // A pass asked for on behalf of one job looks at that job; any other
    // request makes the next pass a whole one.
    if (m_dueHint)
        m_dueJobs.append(m_dueHint);
    else
        m_wholePass = true;
    m_dueHint = nullptr;
    if (m_passTimer.isActive())
        return;
    const qint64 since = m_sinceLastPass.isValid() ? m_sinceLastPass.elapsed() : qint64(passIntervalMs);
    m_passTimer.start(int(qBound<qint64>(0, passIntervalMs - since, passIntervalMs)));
}

void DownloadListGenerator::runRequestedPass()
{
    if (m_passNext >= m_passJobs.size()) {
        m_passJobs.clear();
        m_passNext = 0;
        if (!m_settings->syncActive || m_settings->transfersOnHold) {
            m_wholePass = false;
            m_dueJobs.clear();
            return;
        }
        m_sinceLastPass.start();
        if (m_wholePass) {
            logPassStart();
            for (KiteProject* job : qAsConst(m_settings->jobList))
                m_passJobs.append(job);
        } else {
            QSet<const KiteProject*> seen;
            for (const QPointer<KiteProject>& job : qAsConst(m_dueJobs)) {
                if (job && !seen.contains(job)) {
                    seen.insert(job);
                    m_passJobs.append(job);
                }
            }
        }
        m_wholePass = false;
        m_dueJobs.clear();
    }
    // The pass goes over the jobs in slices, a turn of the event loop each,
    // so that the tray and the socket are answered in between.
    QElapsedTimer slice;
    slice.start();
    const bool verbose = m_settings->logs(3);
    while (m_passNext < m_passJobs.size() && slice.elapsed() < sliceMs) {
        if (KiteProject* job = m_passJobs.at(m_passNext++))
            passOver(job, verbose);
    }
    if (m_passNext < m_passJobs.size()) {
        m_passTimer.start(0);
        return;
    }
    m_passJobs.clear();
    m_passNext = 0;
    // Asked for while this pass ran: the next one follows at the usual pace.
    if (m_wholePass || !m_dueJobs.isEmpty())
        m_passTimer.start(passIntervalMs);
}

void DownloadListGenerator::logPassStart()
{
    log(QStringLiteral("generateDownloadFileList, jobList.size:") + QString::number(m_settings->jobList.size())
        + QStringLiteral(" runningJobDownloads:") + QString::number(m_settings->runningJobDownloads));
}

void DownloadListGenerator::generateDownloadFileList()
{
    if (!m_settings->syncActive || m_settings->transfersOnHold) {
        qCDebug(lcDownloads) << "download pass skipped, syncActive:" << m_settings->syncActive
                             << "transfersOnHold:" << m_settings->transfersOnHold;
        return;
    }
    m_passTimer.stop();
    m_wholePass = false;
    m_dueJobs.clear();
    m_passJobs.clear();
    m_passNext = 0;
    m_sinceLastPass.start();
    logPassStart();
    const bool verbose = m_settings->logs(3);

    // Jobs are never removed from the list during a run, but a slot called
    // from here might append one: walk a copy.
    const QList<KiteProject*> jobs = m_settings->jobList;
    for (KiteProject* job : jobs)
        passOver(job, verbose);
}

void DownloadListGenerator::passOver(KiteProject* job, bool verbose)
{
    if (job->isUnknown || job->isDeletedLocal || job->isDeleted || !job->downloadEnabled)
        return;

    if (hasNoFolder(job) && !job->dirSelectOpen) {
        // The cfg may name the folder in a "downloadpath=" line.
        m_plugin->cfgReader->readJobConfig(job, true, true);
        if (job->localDownloadDir.isEmpty() && job->name != CfgReader::liveUploadJobName()) {
            log(job->name + QStringLiteral(": localDownloadDir not set, skip, then refresh"));
            log(job->name + QStringLiteral(": use default path, if exists, add number iteration 249"));
            job->createLocalDownloadDir(true);
            // With its folder the job is due: the next pass looks at it.
            dueJob(job);
            requestPass();
        }
        return;
    }

    if (job->isDownloaded || !job->checkForFilesToDownload) {
        if (verbose)
            log(job->name + QStringLiteral(" already downloaded, skip"));
        return;
    }
    if (!job->isRendering && !job->isPaused && !job->renderComplete) {
        if (verbose)
            log(job->name + QStringLiteral(": continue 232, not started or rendered"));
        return;
    }
    if (job->runningDownloadsOfJob > 0) {
        if (verbose)
            log(job->name + QStringLiteral(": continue 239, todo: should not be necessary"));
        return;
    }

    log(job->name + QStringLiteral(": getOutputDir - download job id:") + job->jobId);
    job->checkForFilesToDownload = false;
    log(job->name + QStringLiteral(": checkForFilesToDownloadOnNextUpdate = false (505)"));
    job->outputDirReceived = false;

    if (hasNoFolder(job)) {
        // Only while the folder dialog is open.
        log(job->name + QStringLiteral(": error, tried sending getOutputDir for job without localDownloadDir! 249"));
        log(job->name + QStringLiteral(": use default path, if exists, add number iteration 249"));
        job->createLocalDownloadDir(true);
        emit m_plugin->buildRenderJobSubmenuSignal();
        return;
    }

    if (isOutOfRenderPoints(job, m_settings)) {
        job->setOutOfRenderPoints();
        emit m_plugin->buildRenderJobSubmenuSignal();
        emit m_plugin->buildRenderJobSubmenuSignal();
        return;
    }

    // A look after the render has ended sees all of the output: it is the
    // final look, and none follows it for the same answer.
    if (job->renderComplete && !job->isRendering && !job->isPaused)
        job->lastDownloadCheck = true;
    job->outputDirRequested = true;
    job->getOutputDirRunning = false;
    log(job->name + QStringLiteral(": makeRequest(\"getOutputDir\" 301"));
    requestOutputDir(m_plugin, job);
    emit m_plugin->buildRenderJobSubmenuSignal();
}

void DownloadListGenerator::outputDirReply(const QJsonObject& message, KiteProject* job)
{
    if (!job)
        return;
    if (isOutOfRenderPoints(job, m_settings)) {
        emit m_plugin->showMessageSignal(tr("Out of render points"), tr("Out of render points"),
                                         QStringLiteral("OutOfRenderPoints"), job);
        return;
    }
    log(job->name + QStringLiteral(": jsonAction == \"getOutputDir\""));
    log(job->name + QStringLiteral(": 1654 jobObject->getOutputDirRunning:") + flag(job->getOutputDirRunning));
    if (job->getOutputDirRunning) {
        // A second answer to the same request.
        log(job->name + QStringLiteral(": return"));
        return;
    }

    job->getOutputDirRunning = true;
    if (job->lastDownloadCheck) {
        job->lastDownloadCheckReceived = true;
        log(job->name + QStringLiteral(": lastDownloadCheckReceived = true;"));
    }
    job->outputDirReceived = true;

    if (hasNoFolder(job)) {
        log(job->name + QStringLiteral(": getOutputDir received for job without localDowloadDir!"));
        return;
    }

    log(job->name + QStringLiteral(": build dirList"));
    const QJsonObject data = message.value(QStringLiteral("data")).toObject();
    const QJsonArray folders = data.value(QStringLiteral("folders")).toArray();
    const QJsonArray files = data.value(QStringLiteral("files")).toArray();
    log(job->name + QStringLiteral(": send fileListUpdateSignal for job"));
    emit m_plugin->fileListUpdateSignal(files, folders, job);
}
