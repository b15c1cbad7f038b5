#include "jobs/kiteproject.h"

#include "dialogs/errormessagedialog.h"
#include "jobs/jobindex.h"
#include "jobs/jobnames.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QMenu>
#include <QTimer>
#include <QUuid>

#include <algorithm>

// Construction, the cfg writers and the job's state machine. The tray entry
// (menu, texts, icons, notifications, dialogs) is in kiteprojectmenu.cpp, the
// rate ticks in kiteprojectrates.cpp, the job's folders and shortcut in
// kiteprojectfiles.cpp.

KiteProject::KiteProject(KiteSettings* settings, QString jobName, QString id, QObject* parent)
    : QObject(parent)
    , kiteSettings(settings)
    , name(std::move(jobName))
    , jobId(std::move(id))
    , iconUploading(statusIcon(QStringLiteral("uploadingorange")))
    , iconUploadingGrey(statusIcon(QStringLiteral("uploadinggrey")))
{
    downloadClock.start();
    uploadClock.start();
    lastDownloadTick = downloadClock.elapsed();
    lastUploadTick = uploadClock.elapsed();

    // The tray entry; its sub-menu is made when first needed (subMenu()).
    jobAction = new QAction(name, this);

    if (kiteSettings) {
        connect(this, &KiteProject::deleteLocalJobSignal, kiteSettings, &KiteSettings::deleteLocalJobSignal);
        connect(this, &KiteProject::openLinkWithTokenSignal, kiteSettings, &KiteSettings::openLinkWithTokenSlot);
        connect(this, &KiteProject::showMessageSignal, kiteSettings, &KiteSettings::showMessageSignal);
    }
}

KiteProject::~KiteProject()
{
    // The dialog has no parent; a job that goes away takes its dialog along.
    delete errorDialog.data();
    delete jobMenu;
}

bool KiteProject::logs(int level) const
{
    return kiteSettings && kiteSettings->logs(level);
}

void KiteProject::log(const QString& text, int level) const
{
    if (logs(level))
        kiteSettings->writeToLog(name + text, level);
}

// --- cfg writers -------------------------------------------------------------

QString KiteProject::userFolder() const
{
    if (!kiteSettings)
        return QString();
    return kiteSettings->localProjectsFolder + QLatin1Char('/') + kiteSettings->username;
}

QString KiteProject::cfgPath() const
{
    if (!kiteSettings || !JobNames::isUsableAsFileName(name))
        return QString();
    return userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg");
}

// A job whose name cannot be a file name, or whose files were deleted, never
// writes into the projects folder: an append would create a cfg the scanner
// then takes for a new job.
bool KiteProject::writesFiles() const
{
    return !cfgPath().isEmpty() && !isDeleted && !isDeletedLocal;
}

bool KiteProject::appendTextToConfig(const QString& text)
{
    if (!writesFiles()) {
        log(QStringLiteral(": cfg not written, no usable job file: ") + text.trimmed(), 1);
        return false;
    }
    // What could not be written before goes first: the lines keep their order.
    m_keptConfig += text;
    if (writeKeptConfig())
        return true;
    log(QStringLiteral(": Could not write to cfg, kept for a later try: ") + cfgPath(), 0);
    if (!m_configRetryTimer) {
        m_configRetryTimer = new QTimer(this);
        m_configRetryTimer->setSingleShot(true);
        m_configRetryTimer->setInterval(configRetryMs);
        connect(m_configRetryTimer, &QTimer::timeout, this, [this] {
            if (m_keptConfig.isEmpty())
                return;
            if (writeKeptConfig())
                log(QStringLiteral(": kept lines written to cfg"), 0);
            else if (writesFiles())
                m_configRetryTimer->start();
        });
    }
    if (!m_configRetryTimer->isActive())
        m_configRetryTimer->start();
    return false;
}

bool KiteProject::writeKeptConfig()
{
    if (!writesFiles()) {
        m_keptConfig.clear(); // the job and its cfg are gone
        return false;
    }
    QFile file(cfgPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const qint64 sizeBefore = file.size();
    const QByteArray bytes = m_keptConfig.toUtf8();
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    if (!written)
        file.resize(sizeBefore); // no half line stays behind to be doubled by the retry
    file.close();
    if (written)
        m_keptConfig.clear();
    return written;
}

bool KiteProject::configHolds(const QString& line) const
{
    auto holds = [&line](const QString& text) {
        const QStringList lines = text.split(QLatin1Char('\n'));
        return std::any_of(lines.cbegin(), lines.cend(), [&line](const QString& l) { return l.trimmed() == line; });
    };
    if (holds(m_keptConfig))
        return true;
    QFile file(cfgPath());
    return !cfgPath().isEmpty() && file.open(QIODevice::ReadOnly) && holds(QString::fromUtf8(file.readAll()));
}

bool KiteProject::appendToConfig(QString line)
{
    if (writesFiles())
        log(QStringLiteral(": appending line to cfg: ") + line);
    return appendTextToConfig(QStringLiteral("\r\n") + line + QStringLiteral("\r\n"));
}

QString KiteProject::createJobLocalId()
{
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    jobLocalId = id;
    appendToConfig(QStringLiteral("jobLocalId=") + id);
    return id;
}

void KiteProject::setRestartDownloadCount(int count)
{
    log(QStringLiteral(": 1899 setRestartDownloadCount: ") + QString::number(count));
    restartDownloadCount = count;
    appendToConfig(QStringLiteral("restartDownloadCount=") + QString::number(count));
}

void KiteProject::setDirsCreated(bool created)
{
    log(QStringLiteral(": setDirsCreated"));
    dirsCreated = created;
    createDirsSent = false;
}

// --- server states -------------------------------------------------------------

void KiteProject::assignState(QString newState)
{
    stateAssigned = true;
    if (logs(3))
        log(QStringLiteral(": 1077 assignState: ") + newState);

    if (newState == QLatin1String("UPLOADING")) {
        if (!isUploadPaused && !isUploading && !isReadyForUpload && isLocal) {
            log(QStringLiteral(": 885 setUploading"));
            setUploading();
        }
    } else if (newState == QLatin1String("RENDERABLE")) {
        isRenderable = true;
        stateAssigned = true;
        log(isLocal ? QStringLiteral(": 839 setUploaded") : QStringLiteral(": 929 not isLocal"));
        setUploaded();
    } else if (newState == QLatin1String("RENDERING")) {
        isRenderable = false;
        setRendering();
    }

    if (newState == QLatin1String("QUEUED")) {
        isRenderable = false;
        setQueued();
        return;
    }
    // Any other state ends the stay in the queue.
    isQueued = false;
    m_queuedNotified = false;

    if (newState == QLatin1String("RENDERED")) {
        isRenderable = false;
        setRendered(true);
    } else if (newState == QLatin1String("PAUSED")) {
        isRenderable = false;
        setPaused();
    } else if (newState == QLatin1String("ERROR_UPL")) {
        isRenderable = false;
        log(QStringLiteral(": 907 setErrorUpload deactivated"), 0);
    } else if (newState == QLatin1String("ERROR_REND")) {
        isRenderable = false;
        setErrorRendering();
    } else if (newState == QLatin1String("NONE")) {
        log(QStringLiteral(" jobStauts: NONE"));
    }
}

// --- upload --------------------------------------------------------------------

void KiteProject::setUploadIdle()
{
    log(QStringLiteral(": setUploadIdle"));
    setStatusText(tr(" UPLOAD IDLE"));
    setStatusIcon(QStringLiteral("uploadinggray"));
    showEntry(MenuEntry::HighUploadPriority, true);
}

void KiteProject::setUploadWaiting()
{
    log(QStringLiteral(": setUploadWaiting"));
    setStatusText(tr(" UPLOAD WAITING"));
    showEntry(MenuEntry::HighUploadPriority, true);
}

void KiteProject::setUploadStarted()
{
    log(QStringLiteral(": setUploadStarted"));
    isUnknown = false;
    lastReportedUploadPercent = 0;
    setTrayActivity(true);
    startRateTimer(uploadRateTimer, uploadRateIntervalMs, &KiteProject::uploadRateTimerSlot);
    showUploadRunningActions();
    showEntry(MenuEntry::HighUploadPriority, true);
}

void KiteProject::setUploading()
{
    log(QStringLiteral(": setUploading"));
    log(QStringLiteral(": 591 start timer"));
    startRateTimer(uploadRateTimer, uploadRateIntervalMs, &KiteProject::uploadRateTimerSlot);
    setStatusIcon(QStringLiteral("uploadingorange"));
    showUploadRunningActions();
}

void KiteProject::setUploadingOnOtherMachine()
{
    log(QStringLiteral(": setUploadingOnOtherMachine"));
    setStatusText(tr(" REMOTE UPLOAD "));
    setStatusIcon(QStringLiteral("uploadingorange"));
    showUploadRunningActions();
}

void KiteProject::setJobId(const QString& id)
{
    if (id == jobId)
        return;
    const QString old = jobId;
    jobId = id;
    if (kiteSettings)
        kiteSettings->jobIndex().idChanged(this, old);
}

void KiteProject::rename(const QString& newName)
{
    if (newName == name)
        return;
    const QString old = name;
    name = newName;
    if (kiteSettings)
        kiteSettings->jobIndex().renamed(this, old);
}

void KiteProject::announceUploadStop()
{
    if (kiteSettings && !uploadingFilesHash.isEmpty())
        emit kiteSettings->uploadStoppingSignal(this);
}

void KiteProject::setUploadPaused(bool forTest)
{
    log(QStringLiteral(": setUploadPaused"));
    announceUploadStop();
    isUploadPaused = true;
    uploadPausedForTest = forTest;
    isMarkedForUpload = false;
    isUploading = false;
    isUploaded = false;
    if (uploadRateTimer)
        uploadRateTimer->stop();
    emit pauseUploadSignal();
    setTrayActivity(false);
    setStatusText(tr(" UPLOAD PAUSED ") + percentText(uploadPercent()) + QLatin1Char('%'));
    checkEntry(MenuEntry::PauseUpload, true);
}

void KiteProject::setUploaded()
{
    log(QStringLiteral(": setUploaded"));
    isUploaded = true;
    isUploading = false;
    isMarkedForUpload = false;
    uploadPriority = -1;
    setTrayActivity(false);
    setStatusText(tr(" UPLOADED"));
    setStatusIcon(QStringLiteral("uploadedcloud"));
    showEntry(MenuEntry::RestartUpload, false);
    showEntry(MenuEntry::PauseUpload, false);
    showEntry(MenuEntry::OpenDownloadFolder, false);
    showEntry(MenuEntry::Autostart, false);
    showEntry(MenuEntry::Delete, false);
    showEntry(MenuEntry::HighUploadPriority, false);
    checkEntry(MenuEntry::HighUploadPriority, false);
    if (isUploadTest || isDownloadTest) {
        log(QStringLiteral(": testjob finished"));
        emit testFinishedSignal(testType, hasUploadError);
    }
}

void KiteProject::retryUploadSlot(int errorCount)
{
    log(QStringLiteral(": retryUploadSlot"));
    announceUploadStop();
    hasUploadError = false;
    uploadList.clear();
    uploadFileQueue.clear();
    isUploadPaused = false;
    isReadyForUpload = false;
    bytesSentTotal = 0;
    uploadBytesSentFinished = 0;
    log(QStringLiteral(": bytesSentTotal = 0"));
    uploadPriority = 0;
    checkEntry(MenuEntry::HighUploadPriority, false);
    waitingForCheckFiles = false;
    isLocal = true;
    isMarkedForUpload = false;
    isUploading = false;
    isUploaded = false;
    uploadRestartPending = true;
    this->errorCount = errorCount;
    if (kiteSettings)
        emit kiteSettings->getProjectFolderContentsSignal(serverNumberUpload);
}

void KiteProject::uploadPausedSwitchSlot()
{
    log(QStringLiteral(": uploadPausedSwitchSlot"));
    if (!isUploadPaused) {
        log(QStringLiteral(": 1670 setUploadPaused()"));
        setUploadPaused(false);
        return;
    }
    setStatusText(tr(" UPLOAD IDLE"));
    setStatusIcon(QStringLiteral("uploadinggray"));
    retryUploadSlot(0);
    checkEntry(MenuEntry::PauseUpload, false);
}

void KiteProject::setUploadPriorityUp(bool setHigh)
{
    log(QStringLiteral(": setUploadPriorityUp"));
    uploadPriority = (uploadPriority != 0 && !setHigh) ? 0 : 100;
    checkEntry(MenuEntry::HighUploadPriority, uploadPriority == 100);
}

void KiteProject::writeZipBeginSlot()
{
    log(QStringLiteral(": writeZipBeginSlot"));
    ++preparingUpload;
}

void KiteProject::writeZipEndSlot()
{
    log(QStringLiteral(": writeZipEndSlot"));
    --preparingUpload;
}

void KiteProject::setAutostartSlot(bool writeConfig)
{
    log(QStringLiteral(": setAutostartSlot"));
    autostart = !autostart;
    checkEntry(MenuEntry::Autostart, autostart);
    if (writeConfig)
        appendToConfig(autostart ? QStringLiteral("autostart=1") : QStringLiteral("autostart=0"));
}

void KiteProject::resetStateAfterReconnect()
{
    log(QStringLiteral(": resetStateAfterReconnect"));
    waitingForCheckFiles = false;
    createDirsSent = false;
}

// --- render --------------------------------------------------------------------

void KiteProject::setQueued()
{
    log(QStringLiteral(": setQueued"));
    // Once per stay in the queue: a projects list that says "QUEUED" again
    // (and clears isQueued before) shows nothing new.
    if (!isQueued && !m_queuedNotified)
        notify(tr("Rendering queued"), name + QLatin1Char('\n'), QStringLiteral("RenderingQueued"));
    m_queuedNotified = true;
    isUploaded = true;
    isQueued = true;
    isRendering = true;
    isUnknown = false;
    setStatusText(tr(" QUEUED"));
    showRenderStateActions();
}

void KiteProject::setRendering()
{
    log(QStringLiteral(": setRendering"));
    isRenderable = false;
    if (!isRendering) {
        if (!isQueued)
            notify(tr("Rendering started"), name + QLatin1Char('\n'), QStringLiteral("RenderingStart"));
        else if (!m_queuedNotified)
            notify(tr("Rendering queued"), name + QLatin1Char('\n'), QStringLiteral("RenderingQueued"));
        m_queuedNotified = m_queuedNotified || isQueued;
    }
    if (!kiteSettings || !kiteSettings->syncActive)
        return;

    if ((isPaused || isUnknown) && !isDownloading)
        checkForFilesToDownload = true;
    // The same state and progress reported again leave the line as it is.
    const qint64 renderText = (qint64(isQueued ? 1 : 2) << 40) + renderProgress;
    const bool textShown = renderText == m_renderText;
    if (isQueued) {
        if (!textShown)
            setStatusText(tr(" QUEUED (%1%)").arg(renderProgress));
        setStatusIcon(QStringLiteral("renderinggray"));
        m_renderText = renderText;
    } else if (!isDownloading) {
        if (!textShown)
            setStatusText(tr(" RENDERING (%1%)").arg(renderProgress));
        setStatusIcon(QStringLiteral("renderingorange"));
        m_renderText = renderText;
    }
    // A job that renders while its output downloads keeps the download text,
    // but it is rendering all the same: the started notification is shown once.
    isRendering = true;
    isPaused = false;
    isUnknown = false;
    isUploaded = true;
    showRenderStateActions();
    ensureDownloadShortcut(false);
}

void KiteProject::setRendered(bool showMessage)
{
    log(QStringLiteral(": setRendered"));
    if (!renderComplete) {
        if (showMessage && cfgRead)
            notify(tr("Render complete"), name + QLatin1Char('\n'), QStringLiteral("RenderingEnd"));
        appendToConfig(QStringLiteral("rendercomplete=true"));
        // The last frames are there: the output is looked at once more.
        if (!isDownloaded && !isDownloading)
            checkForFilesToDownload = true;
    }
    renderComplete = true;
    isUploaded = true;
    isQueued = false;
    isRendering = false;
    isPaused = false;
    isUnknown = false;
    // The download's own state (running, done, paused, failed) stays on the
    // status line: a render state reported again must not hide it.
    if (!isDownloaded && !isDownloading && !isDownloadPaused && !hasDownloadError) {
        setStatusText(tr(" RENDERED (100%)"));
        setStatusIcon(QStringLiteral("waitingorange"));
    }
    showRenderStateActions();
    if (isDownloaded)
        setDownloadFinished();
}

void KiteProject::setPaused()
{
    log(QStringLiteral(": setPaused"));
    if (!isPaused && cfgRead)
        notify(tr("Render paused"), name + QLatin1Char('\n'), QStringLiteral("RenderingPause"));
    isPaused = true;
    isUploaded = true;
    isRendering = false;
    isUnknown = false;
    setStatusText(tr(" PAUSED "));
    setStatusIcon(QStringLiteral("renderinggray"));
    showRenderStateActions();
    ensureDownloadShortcut(false);
}

void KiteProject::setOutOfRenderPoints()
{
    log(QStringLiteral(": setOutOfRenderPoints"));
    outOfRenderPoints = true;
    if (isRendering)
        setPaused();
    if (isDownloading)
        setDownloadPaused(false);
    setStatusText(tr(" PAUSED - Out of render points"));
    if (kiteSettings)
        emit kiteSettings->showMessageSignal(tr("Out of render points"), tr("Out of render points"),
                                             QStringLiteral("OutOfRenderPoints"), this);
}

// --- download ------------------------------------------------------------------

void KiteProject::setDownloadStarted()
{
    log(QStringLiteral(": setDownloadStarted"));
    if (!isDownloading) {
        setStatusText(tr(" DOWNLOADING ") + m_lastDownloadRateText);
        setStatusIcon(isDownloadPaused ? QStringLiteral("downloadinggrey") : QStringLiteral("downloadingorange"));
    }
    isDownloading = true;
    isUploaded = true;
    isUnknown = false;
    setTrayActivity(true);
    startRateTimer(downloadSpeedTimer, downloadRateIntervalMs, &KiteProject::downloadRateTimerSlot);
    showEntry(MenuEntry::RestartUpload, false);
    showEntry(MenuEntry::OpenDownloadFolder, true);
    showEntry(MenuEntry::Autostart, false);
    showEntry(MenuEntry::Delete, false);
    ensureDownloadShortcut(false);
}

void KiteProject::setDownloadPaused(bool forTest)
{
    log(QStringLiteral(": setDownloadPaused"));
    isDownloadPaused = true;
    checkForFilesToDownload = true;
    downloadPausedForTest = forTest;
    isDownloading = false;
    isDownloaded = false;
    downloadedMark = false;
    lastDownloadCheck = false;
    lastDownloadCheckReceived = false;
    if (downloadSpeedTimer) {
        log(QStringLiteral(": 1090 downloadSpeedTimer->stop();"));
        downloadSpeedTimer->stop();
    }
    emit pauseDownloadSignal();
    setTrayActivity(false);
    setStatusText(tr(" DOWNLOAD PAUSED ") + percentText(downloadPercent()) + QLatin1Char('%'));
    checkEntry(MenuEntry::PauseDownload, true);
}

void KiteProject::setDownloadError()
{
    log(QStringLiteral(": setDownloadError"));
    if (!hasDownloadError)
        log(QStringLiteral(": hasDownloadError = false 1604"));
    setStatusIcon(QStringLiteral("waitingred"));
    hasDownloadError = true;
    downloadErrorMessageShown = true;
    isDownloadPaused = true;
    isDownloading = false;
    isDownloaded = false;
    downloadedMark = false;
    notify(tr("Download Error"), tr("Download of job output failed several times"), QStringLiteral("DownloadError"));
    setStatusText(tr(" DOWNLOAD ERROR..."));
    ensureErrorAction(tr("Download Error"), ErrorEntry::DownloadError);

    // One retry per error: a restart clears the error, and a failed restart
    // reports the next error, which arms the retry again.
    if (!downloadErrorRetryTimer) {
        downloadErrorRetryTimer = new QTimer(this);
        downloadErrorRetryTimer->setSingleShot(true);
        // The retry also asks for the projects list: a rendered job gets no
        // other event that would make the client look at its output again.
        connect(downloadErrorRetryTimer, &QTimer::timeout, this, [this] {
            restartDownloadSlot();
            if (kiteSettings)
                emit kiteSettings->syncSignal();
        });
    }
    downloadErrorRetryTimer->start(downloadErrorRetryMs);
}

void KiteProject::setDownloadFinished()
{
    if (logs(3))
        log(QStringLiteral(": setDownloadFinished, testType: ") + testType
            + QStringLiteral(" isUploadTest: ") + QString::number(isUploadTest)
            + QStringLiteral(" isDownloadTest: ") + QString::number(isDownloadTest));

    if (!downloadFinishedSent && kiteSettings && !kiteSettings->adminMode) {
        downloadFinishedSent = true;
        if (isUpdateJob) {
            log(QStringLiteral(": 422 UPDATE"));
        } else if (isUploadTest || isDownloadTest) {
            log(QStringLiteral(": testjob finished"));
            emit testFinishedSignal(testType, hasUploadError);
        } else {
            const QJsonObject data{{QStringLiteral("scene"), name},
                                   {QStringLiteral("progress"), 100},
                                   {QStringLiteral("server_download"), serverNumber}};
            emit kiteSettings->makeRequest(QStringLiteral("setDownloadProgress"), data, this, QString());
            emit kiteSettings->makeRequest(QStringLiteral("setDownloadComplete"), data, this, QString());
            appendToConfig(QStringLiteral("downloadFinishedSent=true"));
        }
    }
    if (!isDownloaded)
        appendToConfig(QStringLiteral("restartDownload=false"));

    isDownloaded = true;
    downloadedMark = true;
    renderComplete = true;
    isUploaded = true;
    isDownloading = false;
    isUnknown = false;
    checkForFilesToDownload = false;
    if (downloadSpeedTimer)
        downloadSpeedTimer->stop();
    setTrayActivity(false);

    if (!effectiveDownloadDir().isEmpty() && !isDeletedLocal && !isUpdateJob && !linkCreated) {
        ensureDownloadShortcut(true);
        if (appendToConfig(QStringLiteral("linkCreated=true")))
            linkCreated = true;
    }

    // A finished job reported finished again (a render state, a listing)
    // keeps its line as it is.
    constexpr qint64 downloadedText = -2;
    if (m_renderText != downloadedText) {
        setStatusText(tr(" DOWNLOADED (100%)"));
        m_renderText = downloadedText;
    }
    setStatusIcon(QStringLiteral("completeorange"));
    showEntry(MenuEntry::RestartUpload, false);
    showEntry(MenuEntry::RestartDownload, true);
    showEntry(MenuEntry::PauseUpload, false);
    checkEntry(MenuEntry::PauseUpload, false);
    showEntry(MenuEntry::PauseDownload, false);
    showEntry(MenuEntry::OpenDownloadFolder, true);
    showEntry(MenuEntry::Autostart, false);
    showEntry(MenuEntry::Delete, false);
    if (!m_clickOpensFolder) {
        m_clickOpensFolder = true;
        connect(jobAction, &QAction::triggered, this, &KiteProject::openJobDir, Qt::UniqueConnection);
    }
}

void KiteProject::downloadPausedSwitchSlot(bool resume)
{
    log(QStringLiteral(": downloadPausedSwitchSlot, resume: ") + QString::number(resume));
    if (!isDownloadPaused) {
        setDownloadPaused(false);
    } else {
        isDownloadPaused = false;
        restartDownloadSlot();
        // As the download-error retry: a rendered job gets no other event
        // that would make the client look at its output again.
        if (kiteSettings)
            emit kiteSettings->syncSignal();
    }
    checkEntry(MenuEntry::PauseDownload, isDownloadPaused);
}

void KiteProject::restartDownloadSlot(bool resetConfirmations, bool resetDownloadErrors)
{
    log(QStringLiteral(": restartDownloadSlot"));
    if (resetConfirmations) {
        log(QStringLiteral(": overwriteyeslist: ") + QStringList(overwriteYesList.values()).join(QLatin1Char(',')));
        overwriteAll = false;
        ignoreAll = false;
        overwriteYesList.clear();
        m_overwriteSkipList.clear();
    }
    // A restart makes a pending automatic retry moot.
    if (downloadErrorRetryTimer)
        downloadErrorRetryTimer->stop();

    isDownloadPaused = false;
    checkEntry(MenuEntry::PauseDownload, false);
    appendToConfig(QStringLiteral("downloaded=false"));
    isDownloaded = false;
    downloadedMark = false;
    isDownloading = false;
    lastDownloadCheck = false;
    lastDownloadCheckReceived = false;
    downloadPriority = 0;
    checkEntry(MenuEntry::HighDownloadPriority, false);
    checkForFilesToDownload = true;
    bytesReceivedTotal = 0;
    lastReportedDownloadPercent = 0;
    // The next listing builds the list anew.
    downloadList.clear();

    if (resetDownloadErrors) {
        log(QStringLiteral(": resetDownloadErrors"));
        hasDownloadError = false;
        downloadErrorMessageShown = false;
        downloadJobErrorCount = 0;
        downloadJobErrorRestartCount = 0;
    } else {
        log(QStringLiteral(": not resetDownloadErrors"));
    }
    ensureDownloadShortcut(false);
}

void KiteProject::restartDownloadSlotMenuClick()
{
    log(QStringLiteral(": restartDownloadSlotMenuClick"));
    downloadList.clear();
    downloadFileQueue.clear();
    downloadingFilesHash.clear();
    failedDownloadFiles.clear();
    pendingOverwriteList.clear();
    downloadBytesReceivedFinished = 0;
    downloadProgressBase = 0.0;
    bytesReceivedSinceTick = 0;
    appendToConfig(QStringLiteral("restartDownload=true"));
    restartDownloadSlot(true, true);
}

void KiteProject::setDownloadPriorityUp(bool setHigh)
{
    log(QStringLiteral(": setDownloadPriorityUp"));
    downloadPriority = (downloadPriority != 0 && !setHigh) ? 0 : 100;
    checkEntry(MenuEntry::HighDownloadPriority, downloadPriority == 100);
}

// --- deletion ------------------------------------------------------------------

void KiteProject::setDeleted()
{
    log(QStringLiteral(": setDeleted"));
    // The shortcut path is taken before the flag is set; only that one link
    // file goes, never a folder.
    const QString shortcut = downloadShortcutPath();
    isDeleted = true;
    if (downloadErrorRetryTimer)
        downloadErrorRetryTimer->stop();
    if (shortcut.isEmpty())
        return;
    const QFileInfo info(shortcut);
    if (info.isSymLink() || info.isFile()) {
        const bool removed = QFile::remove(shortcut);
        log(QStringLiteral(": remove shortcut: ") + shortcut + QStringLiteral(" ") + QString::number(removed));
    }
}
