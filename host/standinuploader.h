#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

#include <memory>
#include <vector>

class KiteProject;
class KiteSettings;
class PluginNetConnectionInterface;
class QFile;

// The reference host's stand-in for the uploader plug-in: instead of sending files to the farm's file servers it copies
// them into the farm simulator's storage folder, "<root>/upload/<user>/<path>",
// the folder the simulator's checks read.
//
// On UploadJobSignal() it takes every job of KiteSettings::jobList that is
// marked isReadyForUpload (and neither uploaded, paused, in upload error nor
// waiting for its check), runs at most KiteSettings::maxRunningUploads of them
// at once (the others wait, higher uploadPriority first) and for each job
// copies
//   - the files of its uploadList that are not alreadyOnServer, from
//     resumeOffset where resume is set, from the start where the server copy
//     is larger; a file another job is sending (uploadingElsewhere, or held
//     in another job's uploadingFilesHash) waits until that job lets go of it
//     and then continues from what the server holds;
//   - its base files from "<localProjectsFolder>/<username>/": the scene
//     package "<name>" and the preview "<name>.jpg" (continued when the
//     server holds a shorter copy, skipped when it holds one of the same
//     size) and "<name>.cfg" (always whole: the client appends to it).
// The copy runs in chunks on the event loop, one chunk per job and step, so
// the GUI thread stays responsive and a pause takes effect mid-file.
//
// Like a careful uploader, it writes into the farm's copy of a file only to
// continue it: when the farm holds the beginning of the file (the last 64 KiB
// before its end match), the copy goes on after it. Any copy from the first
// byte of a file the farm already holds goes to a side name and replaces the
// farm's copy only once it is whole; a copy stopped midway leaves the farm's
// copy as it was. So a file that jobs share is never cut short on the farm by
// a job that sends it again. (setInPlaceRestarts switches this off, to stand
// in for a plain uploader in tests of the plug-in's own rules.)
//
// Bookkeeping on the job: isUploading and activeUploads while it runs,
// setUploadStarted() when it starts, uploadingFilesHash (the paths it is
// sending now), waitsForOtherUpload, progress through uploadRateSlot; and
// KiteSettings::runningJobUploads, counted up when a job starts and down when
// it stops without a check (pause, reset, deletion) - the check reply counts a
// finished job down. When every file is there it calls the
// plug-in's checkFilesSlot(job).
//
// A copy that fails (unreadable source, unwritable target) is retried after
// the retry delay and never reported as done. Paths that could leave the
// user's upload folder ("..", absolute paths, backslashes, drive letters) are
// refused: the job goes into upload error with the reason as its text.
class StandInUploader : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 defaultChunkBytes = 256 * 1024;
    static constexpr int defaultRetryDelayMs = 5000;
    static constexpr int defaultWaitPollMs = 200;

    StandInUploader(PluginNetConnectionInterface* plugin, KiteSettings* settings, const QString& storageRoot,
                    QObject* parent = nullptr);
    ~StandInUploader() override;

    // Bytes copied per job and step (at least 1).
    void setChunkBytes(qint64 bytes);
    // Delay between two steps; 0 goes as fast as the event loop does.
    void setPaceMs(int ms);
    // Delay before a failed copy is tried again.
    void setRetryDelayMs(int ms);
    // How often a job that only has files another job is sending looks again.
    void setWaitPollMs(int ms);
    // On: a plain uploader - a copy from the first byte truncates the farm's
    // copy in place, and a resume starts at the listed offset, cutting off
    // what the farm holds beyond it.
    void setInPlaceRestarts(bool on) { m_inPlaceRestarts = on; }

    QString storageRoot() const { return m_storageRoot; }
    // "<root>/upload/<user>"; empty without a root or for a user name that
    // cannot be a folder name.
    QString uploadDir() const;
    // A "/"-separated relative path that stays inside the folder it is joined
    // to: not empty, not absolute, no "." or ".." component, no empty
    // component, no backslash, no ":" and no control character.
    static bool isSafeRelativePath(const QString& path);

    int runningJobCount() const;
    int queuedJobCount() const { return m_queue.size(); }
    bool isRunning(const KiteProject* job) const;
    bool isQueued(const KiteProject* job) const;

public slots:
    // Connected to the plug-in's UploadJobSignal().
    void uploadJobSlot();

signals:
    void jobStarted(KiteProject* job);
    // The copy of `path` begins at `offset` (bytes the server already holds).
    void fileStarted(KiteProject* job, const QString& path, qint64 offset);
    // After each chunk: `position` bytes of `size` are on the server.
    void bytesCopied(KiteProject* job, const QString& path, qint64 position, qint64 size);
    // The file is complete on the server (copied, or found complete there).
    void fileFinished(KiteProject* job, const QString& path);
    void copyFailed(KiteProject* job, const QString& path, const QString& reason);
    // Every file is there; checkFilesSlot(job) was called.
    void jobFinished(KiteProject* job);
    // The job stopped before its end (paused, reset, deleted).
    void jobStopped(KiteProject* job, const QString& reason);
    // The job cannot be uploaded (a refused path, no upload folder).
    void jobRefused(KiteProject* job, const QString& reason);

private:
    struct Item;
    struct Run;
    using RunPtr = std::shared_ptr<Run>;

    bool isEligible(const KiteProject* job) const;
    void watch(KiteProject* job);
    void startQueued();
    void startRun(KiteProject* job);
    bool buildItems(KiteProject* job, QVector<Item>& items, QString& refusal) const;
    void refuse(KiteProject* job, const QString& reason);
    RunPtr findRun(const KiteProject* job) const;
    // The other job whose uploader holds `path` now, or null.
    KiteProject* holderOf(const QString& path, const KiteProject* except) const;

    void step();
    void schedule();
    // One step of a run: opens the next file or copies one chunk.
    void stepRun(const RunPtr& run, qint64 now);
    bool openItem(const RunPtr& run, int index, QString& error);
    // Where the copy of the item begins; the file's size when it is complete
    // on the farm.
    qint64 continuationOffset(const Item& item, const QString& targetPath, qint64 onServer, qint64 localSize) const;
    qint64 inPlaceOffset(const Item& item, qint64 onServer, qint64 localSize) const;
    void copyChunk(const RunPtr& run);
    void finishItem(const RunPtr& run);
    void failItem(const RunPtr& run, const QString& error);
    void report(const RunPtr& run, Item& item, qint64 bytes);
    void finishRun(const RunPtr& run);
    void stopRun(const RunPtr& run, const QString& reason);
    void removeRun(const RunPtr& run);
    void stopJob(KiteProject* job, const QString& reason);
    QString stopReason(const KiteProject* job) const;

    PluginNetConnectionInterface* m_plugin;
    KiteSettings* m_settings;
    QString m_storageRoot;
    qint64 m_chunkBytes = defaultChunkBytes;
    int m_paceMs = 0;
    int m_retryDelayMs = defaultRetryDelayMs;
    int m_waitPollMs = defaultWaitPollMs;
    bool m_inPlaceRestarts = false;

    QList<QPointer<KiteProject>> m_queue;
    std::vector<RunPtr> m_runs;
    QSet<const KiteProject*> m_watched;
    QTimer m_timer;
    QElapsedTimer m_clock;
};
