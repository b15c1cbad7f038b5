#pragma once

#include "dialogs/errormessagequeue.h"
#include "kiteshared_export.h"
#include "transfers/downloadfile.h"
#include "transfers/uploadfile.h"

#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

class ErrorMessage;
class ErrorMessageDialog;
class KiteProject;
class KiteSettings;
class QAction;
class QMenu;
class QTimer;

// A file the transfer plug-ins are working on: two strings and a number.
struct KITESHARED_EXPORT TransferFileRecord
{
    QString path;
    QString localPath;
    int number = 0;
};

// One render job as the client sees it: a job that exists as a cfg file in the
// local projects folder, one the server reports, or both. The object lives for
// the whole run in KiteSettings::jobList; deleted jobs stay there with their
// deletion flags set. Its jobAction is the job's entry in the tray menu.
class KITESHARED_EXPORT KiteProject : public QObject
{
    Q_OBJECT
public:
    static constexpr int uploadRateIntervalMs = 5000;
    static constexpr int downloadRateIntervalMs = 2000;
    static constexpr int downloadErrorRetryMs = 60000;
    // Lines the cfg could not take are tried again this often.
    static constexpr int configRetryMs = 5000;

    KiteProject(KiteSettings* kiteSettings, QString name, QString jobId, QObject* parent = nullptr);
    ~KiteProject() override;

    // Writers of the job's cfg file. Text the file cannot take (a read-only
    // folder, a full disk) is kept and written, in order, before the next
    // text or by a retry every few seconds; false while it is kept.
    bool appendToConfig(QString line);
    bool appendTextToConfig(const QString& text);
    // Whether the cfg, with what is still kept for it, holds `line`.
    bool configHolds(const QString& line) const;
    // The folder the job's output goes to: the custom one, else the default.
    QString effectiveDownloadDir() const;
    QString createJobLocalId();
    void setRestartDownloadCount(int count);
    void setDirsCreated(bool created);
    // Chooses, creates and records the job's default output folder.
    void createLocalDownloadDir(bool restart = false);
    // Sets the job's output folders; look-ups of the folders in use follow.
    void setDownloadFolders(const QString& folder, const QString& customFolder);
    static QString rateString(double bytesPerSec);

    // Changes the job's id or name; look-ups by id and name follow.
    void setJobId(const QString& id);
    void rename(const QString& newName);

    // Tells KiteSettings::uploadStoppingSignal that the job's upload stops
    // while its uploader still sends files; called before the uploader is
    // told (pauseUploadSignal), so that the files it leaves are known.
    void announceUploadStop();

    // The job's sub-menu with its actions (jobAction's menu). Hosts call this
    // before they show or search the sub-menu: it may be made on first use.
    QMenu* subMenu();

    // The job's cfg file: <localProjectsFolder>/<username>/<name>.cfg. Empty
    // when the name cannot be used as a file name.
    QString cfgPath() const;

    KiteSettings* kiteSettings = nullptr;
    QString name;
    QString jobId;
    QString jobLocalId;
    bool hasJobLocalId = false;
    TransferFileRecord currentFile;
    QList<UploadFile> uploadFileQueue;       // bookkeeping of the uploader
    QList<DownloadFile> downloadFileQueue;   // bookkeeping of the downloader
    int currentTransferIndex = -1;
    QString downloadPath;
    qint64 uploadBytesSentFinished = 0;      // the upload's second sent-bytes counter
    qint64 downloadBytesReceivedFinished = 0;
    QString localDownloadDir;
    QString localDownloadDirCustom;
    int errorCount = 0;
    int downloadJobErrorCount = 0;
    int downloadJobErrorRestartCount = 0;
    int uploadPriority = 0;
    int downloadPriority = 0;
    int runningDownloadsOfJob = 0;
    int activeUploads = 0;
    bool isTrial = false;
    bool isPaid = false;
    bool downloadEnabled = true;
    bool cfgRead = false;
    bool isUnknown = true;
    bool isNotInDb = true;
    bool isLocal = false;
    bool isMarkedForUpload = false;
    bool isUploading = false;
    bool isUploaded = false;
    bool isQueued = false;
    bool isRendering = false;
    bool isRenderable = false;
    bool stateAssigned = false;
    bool renderComplete = false;
    bool isDownloading = false;
    bool isDownloaded = false;
    bool downloadedMark = false;
    bool lastDownloadCheck = false;
    bool lastDownloadCheckReceived = false;
    bool isPaused = false;
    bool dirsCreated = false;
    bool isDeleted = false;
    bool isDeletedLocal = false;
    bool uploadRestartPending = false;
    bool isDownloadPaused = false;
    bool outOfRenderPoints = false;
    bool isUploadPaused = false;
    bool isReadyForUpload = false;
    bool isUploadPausedByStopSync = false;
    bool uploadPausedForTest = false;
    bool downloadPausedForTest = false;
    bool linkCreated = false;
    bool isGpuJob = false;
    bool hasDownloadError = false;
    bool downloadErrorMessageShown = false;
    bool hasUploadError = false;
    bool renderErrorShown = false;
    QString uploadErrorText;
    int renderProgress = 0;
    int progressNotified = 0;
    QList<UploadFile> uploadList;
    QHash<QString, qint64> uploadingFilesHash;   // server path -> size, kept by the uploader
    QList<DownloadFile> downloadList;            // files still to download, appended at the end
    QStringList pendingOverwriteList;
    QSet<QString> overwriteYesList;
    QHash<QString, qint64> downloadingFilesHash; // kept by the downloader
    QStringList failedDownloadFiles;             // the downloader's failed files of the last pass
    double downloadProgressBase = 0.0;
    qint64 uploadBytesTotal = 0;
    qint64 downloadBytesTotal = 0;
    QAction* jobAction = nullptr;
    bool isUpdateJob = false;
    bool isLiveUpload = false;
    bool isUploadTest = false;
    bool isDownloadTest = false;
    bool checkForFilesToDownload = true;
    bool autostart = false;
    int renderPriority = 50;
    bool dirSelectOpen = false;
    bool overwriteAll = false;
    bool ignoreAll = false;
    ErrorMessageQueue errorMessageQueue;
    bool outputDirRequested = false;
    bool outputDirReceived = false;
    bool getOutputDirRunning = false;
    bool texFolderRequestRunning = false;
    qint64 bytesReceivedTotal = 0;
    qint64 bytesSentTotal = 0;
    bool waitingForCheckFiles = false;
    QHash<QString, qint64> alreadyUploadingFilesHash; // server path -> size uploaded by another job
    bool createDirsSent = false;
    bool downloadFinishedSent = false;
    bool overwriteQuestionOpen = false;
    bool waitsForOtherUpload = false;
    int restartDownloadCount = 0;
    QString testType;
    int serverNumber = 1;
    int teamid = 0;
    int serverNumberUpload = 1;
    QMenu* jobMenu = nullptr;
    QAction* restartUploadAction = nullptr;
    QAction* restartDownloadAction = nullptr;
    QAction* pauseUploadAction = nullptr;
    QAction* pauseDownloadAction = nullptr;
    QAction* openDownloadFolderAction = nullptr;
    QAction* changeDownloadDestinationAction = nullptr;
    QAction* autostartAction = nullptr;
    QAction* highDownloadPriorityAction = nullptr;
    QAction* highUploadPriorityAction = nullptr;
    QAction* supportTicketAction = nullptr;
    QTimer* uploadRateTimer = nullptr;
    QTimer* downloadSpeedTimer = nullptr;
    QTimer* downloadErrorRetryTimer = nullptr;
    int lastReportedUploadPercent = 0;
    int lastReportedDownloadPercent = 0;
    qint64 bytesReceivedSinceTick = 0;
    qint64 bytesSentSinceTick = 0;
    qint64 lastDownloadTick = 0;
    qint64 lastUploadTick = 0;
    QElapsedTimer downloadClock;
    QElapsedTimer uploadClock;
    QAction* errorAction = nullptr;
    QAction* deleteAction = nullptr;
    QIcon iconUploading;
    QIcon iconUploadingGrey;
    int preparingUpload = 0;
    QPointer<ErrorMessageDialog> errorDialog;

signals:
    void OpenNetworkSettingsSignal();
    void deleteLocalJobSignal(KiteProject* jobObject);
    void openLinkWithTokenSignal(QString linkUrl);
    void showMessageSignal(QString title, QString message, QString messageType, KiteProject* jobObject);
    void uploadPercentSignal(KiteProject* jobObject, int percentUploaded);
    void pauseUploadSignal();
    void pauseDownloadSignal();
    void downloadProgressSignal(float percentDownloaded);
    void uploadRateSignal(unsigned long BytesPerSec, qint64 ByteCount);
    void downloadRateSignal(unsigned long BytesPerSec, qint64 ByteCount);
    void testFinishedSignal(QString testType, bool hasUploadError);

public slots:
    void assignState(QString newState);
    void createSupportTicketSlot();
    void confirmOverwriteSlot(bool confirm = false, bool all = false, bool ignore = false);
    void confirmOverwriteClickedSlot(bool confirm = false, bool all = false, bool ignore = false);
    void deleteClickedSlot();
    void dirSelectSlot(bool restartAfterSelect = false);
    void downloadPausedSwitchSlot(bool resume = false);
    void downloadRateSlot(int currentDownloadNumber, unsigned long BytesPerSec, qint64 ByteCount);
    void downloadRateTimerSlot();
    void messageClickedSlot(QString messageType);
    void openJobDir();
    void restartDownloadSlot(bool resetConfirmations = true, bool resetDownloadErrors = true);
    void restartDownloadSlotMenuClick();
    void retryUploadSlot(int errorCount = 0);
    void resetStateAfterReconnect();
    void setAutostartSlot(bool writeConfig = true);
    void setDownloadStarted();
    void setDownloadFinished();
    void setDownloadPaused(bool forTest = false);
    void setPaused();
    void setQueued();
    void setRendering();
    void setRendered(bool showMessage = true);
    void setUploadIdle();
    void setUploadWaiting();
    void setUploadStarted();
    void setUploadPaused(bool forTest = false);
    void setUploading();
    void setUploadingOnOtherMachine();
    void setUploaded();
    void setErrorResume();
    void setErrorUpload(bool showMessage = true);
    void setErrorRendering();
    void setDeleted();
    void setDownloadError();
    void showDownloadErrorMessageSlot();
    void showErrorText(QString title, QString message, QString ticketUrl, bool retryButton = false);
    void showErrorReadme();
    void setDownloadPriorityUp(bool setHigh = false);
    void setUploadPriorityUp(bool setHigh = false);
    void setOutOfRenderPoints();
    void uploadRateTimerSlot();
    void uploadPausedSwitchSlot();
    void uploadRateSlot(int currentDownloadNumber, unsigned long BytesPerSec, qint64 ByteCount);
    void writeZipBeginSlot();
    void writeZipEndSlot();

private:
    using JobSlot = void (KiteProject::*)();
    // What the entry of the menu's "Error" section opens.
    enum class ErrorEntry { RenderError, UploadError, DownloadError };

    // Log lines of the job start with its name.
    void log(const QString& text, int level = 3) const;
    // Whether a line of `level` is written: a line built from parts is
    // built only then.
    bool logs(int level) const;

    // The entries of the sub-menu, in menu order.
    enum class MenuEntry : quint8 {
        OpenDownloadFolder,
        ChangeDownloadDestination,
        HighUploadPriority,
        HighDownloadPriority,
        PauseUpload,
        Autostart,
        PauseDownload,
        Delete,
        SupportTicket,
        RestartUpload,
        RestartDownload,
    };

    // Tray entry: menu, status line, icon, notifications.
    void buildMenu();
    QAction* addMenuAction(MenuEntry entry, const QString& text, bool checkable);
    QAction* entryAction(MenuEntry entry) const;
    // Shows or checks an entry of the sub-menu, made or not.
    void showEntry(MenuEntry entry, bool visible);
    void checkEntry(MenuEntry entry, bool checked);
    bool entryVisible(MenuEntry entry) const;
    bool entryChecked(MenuEntry entry) const;
    void addErrorSection();
    void setStatusText(const QString& suffix);
    void setStatusIcon(const QString& iconName);
    static QIcon statusIcon(const QString& iconName);
    void notify(const QString& title, const QString& message, const QString& messageType);
    void setTrayActivity(bool active);
    void showRenderStateActions();
    void showUploadRunningActions();
    void ensureErrorAction(const QString& text, ErrorEntry entry);
    void errorActionTriggered();
    void showRenderErrorText();
    void openErrorDialog(const QString& title, const QString& message, const QString& ticketUrl,
                         bool retryButton, bool hideLogCheckbox);
    void openRetryDirDialog();
    QString supportInformation() const;
    QString supportTicketLink() const;
    QString uploadTicketLink() const;
    void askNextOverwriteQuestion();

    // Transfers.
    void startRateTimer(QTimer*& timer, int intervalMs, JobSlot target);
    double uploadPercent() const;
    double downloadPercent() const;
    static QString percentText(double percent);

    // Files of the job.
    QString userFolder() const;
    QString defaultDownloadDir() const;
    QString downloadShortcutPath() const;
    bool writesFiles() const;
    bool writeKeptConfig();
    void ensureDownloadShortcut(bool finished);

    QString m_lastDownloadRateText;
    QAction* m_errorSection = nullptr;
    QString m_errorText;          // the error entry's text, once there was an error
    QString m_iconName;           // the status icon shown
    QString m_shortcutTarget;     // output folder of the shortcut made last
    bool m_shortcutFinished = false; // and its phase
    qint64 m_renderText = -1;     // which state text the status line shows (rendering, downloaded)
    bool m_clickOpensFolder = false; // a click on the entry opens the output folder
    bool m_queuedNotified = false;   // "Rendering queued" shown for this stay in the queue
    QString m_destinationToolTip; // the output folder the user chose
    // Entries shown at first: change destination, high download priority,
    // autostart, delete, support ticket, restart upload.
    quint16 m_visibleEntries = (1u << 1) | (1u << 3) | (1u << 5) | (1u << 7) | (1u << 8) | (1u << 9);
    quint16 m_checkedEntries = 0;
    ErrorEntry m_errorEntry = ErrorEntry::RenderError;
    QPointer<ErrorMessage> m_overwriteQuestion;
    QString m_overwriteQuestionPath;
    QSet<QString> m_overwriteSkipList;
    QString m_keptConfig;                 // cfg text not written yet
    QTimer* m_configRetryTimer = nullptr;
};
