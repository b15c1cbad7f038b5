#pragma once

#include "transfers/downloadfile.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class KiteProject;
class KiteSettings;
class PluginNetConnectionInterface;
class QFile;

// The reference host's stand-in for the downloader plug-in (the downloader's
// side): instead of fetching a job's output from the farm's file
// servers it copies it from the farm simulator's storage folder,
// "<root>/output/<user>/<downloadPath><path>", into the job's local download
// folder (localDownloadDirCustom, else localDownloadDir).
//
// On downloadJobSignal() it takes the jobs of KiteSettings::jobList whose
// downloadList is not empty (and that are neither paused nor deleted),
// highest downloadPriority first, and runs at most
// KiteSettings::maxRunningDownloads of them at once. Each run consumes its
// job's downloadList from the front, one file after the other:
//   - a "<file>.dlstarted" marker is written beside the file before the first
//     byte and removed once the file is complete, so that a download that
//     was interrupted is found (and resumed) by the next look at the output;
//   - a file with localSize set and its marker in place is continued at
//     localSize; any other file is written from its start (a file the user
//     allowed to be overwritten is replaced, not appended to);
//   - the copy runs in chunks on the event loop, one chunk per job and step,
//     so that the job's pauseDownloadSignal() takes effect mid-file.
// Progress goes to the job's downloadRateSlot; a file that cannot be copied
// (missing source, refused path, unwritable target) is counted in the job's
// downloadJobErrorCount and failedDownloadFiles. When the list is worked
// through, the plug-in's downloadJobFinishedSlot(job, errors) is called.
//
// Paths are checked before use: the user name, the job's downloadPath and
// every file path must stay inside the folders they are joined to.
class StandInDownloader : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 defaultChunkBytes = 256 * 1024;

    StandInDownloader(PluginNetConnectionInterface* plugin, KiteSettings* settings, const QString& storageRoot,
                      QObject* parent = nullptr);
    ~StandInDownloader() override;

    // Bytes copied per job and step (at least 1).
    void setChunkBytes(qint64 bytes);
    // Delay between two steps; 0 goes as fast as the event loop does.
    void setPaceMs(int ms);

    QString storageRoot() const { return m_storageRoot; }
    // "<root>/output/<user>"; empty without a root or for a user name that
    // cannot be a folder name.
    QString outputDir() const;

    int runningJobCount() const { return int(m_runs.size()); }
    bool isRunning(const KiteProject* job) const;

public slots:
    // Connected to the plug-in's downloadJobSignal().
    void downloadJobSlot();

signals:
    void jobStarted(KiteProject* job);
    // The copy of `path` begins at `offset` (bytes already in the local file).
    void fileStarted(KiteProject* job, const QString& path, qint64 offset);
    // After each chunk: `position` bytes of `size` are in the local file.
    void bytesCopied(KiteProject* job, const QString& path, qint64 position, qint64 size);
    void fileFinished(KiteProject* job, const QString& path);
    void fileFailed(KiteProject* job, const QString& path, const QString& reason);
    // The list is worked through; downloadJobFinishedSlot(job, errors) follows.
    void jobFinished(KiteProject* job, int errors);
    // The job stopped before its end (paused or deleted).
    void jobStopped(KiteProject* job, const QString& reason);

private:
    struct Run;

    bool isEligible(const KiteProject* job) const;
    void startRun(KiteProject* job);
    Run* findRun(const KiteProject* job) const;
    void step();
    void stepRun(Run* run);
    bool openNextFile(Run* run, QString& error);
    QString sourcePath(const KiteProject* job, const QString& path, QString& error) const;
    void copyChunk(Run* run);
    void failFile(Run* run, const QString& reason);
    void finishRun(Run* run);
    void stopJob(KiteProject* job, const QString& reason);
    void removeRun(Run* run);

    PluginNetConnectionInterface* m_plugin;
    KiteSettings* m_settings;
    QString m_storageRoot;
    qint64 m_chunkBytes = defaultChunkBytes;
    std::vector<std::unique_ptr<Run>> m_runs;
    QTimer m_timer;
    int m_nextSlot = 0;
};
