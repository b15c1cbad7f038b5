#include "standindownloader.h"

#include "jobs/kiteproject.h"
#include "pluginnetconnectioninterface.h"
#include "settings/kitesettings.h"
#include "transfers/outputpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>

namespace {
Q_LOGGING_CATEGORY(lcStandInDownloader, "kite.host.downloader")

const QLatin1String markerSuffix(".dlstarted");
} // namespace

struct StandInDownloader::Run
{
    QPointer<KiteProject> job;
    int slot = 0;
    int errors = 0;
    QMetaObject::Connection pauseConnection;
    QElapsedTimer clock;
    qint64 bytesThisRun = 0;

    // The file being copied.
    bool fileOpen = false;
    DownloadFile file;
    std::unique_ptr<QFile> source;
    std::unique_ptr<QFile> target;
    QString markerPath;
    qint64 position = 0;
    qint64 sourceSize = 0;

    void closeFile()
    {
        if (source)
            source->close();
        if (target)
            target->close();
        source.reset();
        target.reset();
        fileOpen = false;
    }
};

StandInDownloader::StandInDownloader(PluginNetConnectionInterface* plugin, KiteSettings* settings,
                                     const QString& storageRoot, QObject* parent)
    : QObject(parent)
    , m_plugin(plugin)
    , m_settings(settings)
    , m_storageRoot(storageRoot)
{
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &StandInDownloader::step);
}

StandInDownloader::~StandInDownloader()
{
    for (const auto& run : m_runs) {
        disconnect(run->pauseConnection);
        run->closeFile();
    }
}

void StandInDownloader::setChunkBytes(qint64 bytes)
{
    m_chunkBytes = std::max<qint64>(1, bytes);
}

void StandInDownloader::setPaceMs(int ms)
{
    m_timer.setInterval(std::max(0, ms));
}

QString StandInDownloader::outputDir() const
{
    if (m_storageRoot.isEmpty() || !m_settings || !OutputPaths::isSafeName(m_settings->username))
        return QString();
    return QDir(m_storageRoot).filePath(QStringLiteral("output/") + m_settings->username);
}

bool StandInDownloader::isRunning(const KiteProject* job) const
{
    return findRun(job) != nullptr;
}

StandInDownloader::Run* StandInDownloader::findRun(const KiteProject* job) const
{
    for (const auto& run : m_runs) {
        if (run->job == job)
            return run.get();
    }
    return nullptr;
}

bool StandInDownloader::isEligible(const KiteProject* job) const
{
    return job && !job->downloadList.isEmpty() && !job->isDownloadPaused && !job->isDeleted && !job->isDeletedLocal
        && !findRun(job);
}

void StandInDownloader::downloadJobSlot()
{
    QList<KiteProject*> candidates;
    for (KiteProject* job : qAsConst(m_settings->jobList)) {
        if (isEligible(job))
            candidates << job;
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const KiteProject* a, const KiteProject* b) {
        return a->downloadPriority > b->downloadPriority;
    });
    const int limit = std::max(1, m_settings->maxRunningDownloads);
    for (KiteProject* job : qAsConst(candidates)) {
        if (int(m_runs.size()) >= limit)
            break;
        startRun(job);
    }
}

void StandInDownloader::startRun(KiteProject* job)
{
    auto run = std::make_unique<Run>();
    run->job = job;
    run->slot = m_nextSlot++;
    run->clock.start();
    // A pause ends the run where it stands; the marker of the file being
    // copied stays, so the next look at the output resumes it.
    run->pauseConnection = connect(job, &KiteProject::pauseDownloadSignal, this, [this, job] {
        stopJob(job, QStringLiteral("paused"));
    });
    m_runs.push_back(std::move(run));

    job->runningDownloadsOfJob = 1;
    job->setDownloadStarted();
    qCDebug(lcStandInDownloader).noquote() << "download of" << job->name << "started," << job->downloadList.size()
                                           << "files";
    emit jobStarted(job);
    if (!m_timer.isActive())
        m_timer.start();
}

void StandInDownloader::step()
{
    std::vector<Run*> runs;
    for (const auto& run : m_runs)
        runs.push_back(run.get());
    for (Run* run : runs) {
        // A run may have been removed by a slot called from an earlier one.
        const bool alive = std::any_of(m_runs.cbegin(), m_runs.cend(), [run](const auto& r) { return r.get() == run; });
        if (alive)
            stepRun(run);
    }
    if (m_runs.empty())
        m_timer.stop();
}

void StandInDownloader::stepRun(Run* run)
{
    KiteProject* job = run->job;
    if (!job) {
        removeRun(run);
        return;
    }
    if (job->isDeleted || job->isDeletedLocal) {
        stopJob(job, QStringLiteral("deleted"));
        return;
    }
    if (run->fileOpen) {
        copyChunk(run);
        return;
    }
    if (job->downloadList.isEmpty()) {
        finishRun(run);
        return;
    }
    QString error;
    if (!openNextFile(run, error))
        failFile(run, error);
}

QString StandInDownloader::sourcePath(const KiteProject* job, const QString& path, QString& error) const
{
    const QString root = outputDir();
    if (root.isEmpty()) {
        error = QStringLiteral("no farm output folder for this user");
        return QString();
    }
    QString folder = job->downloadPath;
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    if (!OutputPaths::isSafeFolder(folder)) {
        error = QStringLiteral("download path refused: ") + OutputPaths::printable(job->downloadPath);
        return QString();
    }
    return folder.isEmpty() ? root + QLatin1Char('/') + path : root + QLatin1Char('/') + folder + QLatin1Char('/') + path;
}

bool StandInDownloader::openNextFile(Run* run, QString& error)
{
    KiteProject* job = run->job;
    run->file = job->downloadList.takeFirst();
    const DownloadFile& file = run->file;

    const QString localDir = job->localDownloadDirCustom.isEmpty() ? job->localDownloadDir : job->localDownloadDirCustom;
    if (localDir.isEmpty()) {
        error = QStringLiteral("the job has no download folder");
        return false;
    }
    if (!OutputPaths::isSafeRelativePath(file.path)) {
        error = QStringLiteral("path refused");
        return false;
    }
    const QString source = sourcePath(job, file.path, error);
    if (source.isEmpty())
        return false;

    run->source = std::make_unique<QFile>(source);
    if (!QFileInfo(source).isFile() || !run->source->open(QIODevice::ReadOnly)) {
        error = QStringLiteral("not on the farm: ") + source;
        run->source.reset();
        return false;
    }
    run->sourceSize = run->source->size();

    const QString targetPath = localDir + QLatin1Char('/') + file.path;
    if (QFileInfo(targetPath).isDir() || !QDir().mkpath(QFileInfo(targetPath).path())) {
        error = QStringLiteral("cannot write ") + targetPath;
        run->closeFile();
        return false;
    }
    run->markerPath = targetPath + markerSuffix;

    // Only a file whose marker says it was left unfinished is continued.
    qint64 offset = 0;
    const QFileInfo existing(targetPath);
    if (file.localSize > 0 && QFileInfo::exists(run->markerPath) && existing.isFile()
        && existing.size() >= file.localSize && file.localSize <= run->sourceSize)
        offset = file.localSize;

    QFile marker(run->markerPath);
    if (!marker.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write the marker ") + run->markerPath;
        run->closeFile();
        return false;
    }
    marker.close();

    run->target = std::make_unique<QFile>(targetPath);
    const bool opened = offset > 0 ? run->target->open(QIODevice::ReadWrite) && run->target->resize(offset)
                                         && run->target->seek(offset)
                                   : run->target->open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (!opened || !run->source->seek(offset)) {
        error = QStringLiteral("cannot write ") + targetPath;
        run->closeFile();
        return false;
    }
    run->position = offset;
    run->fileOpen = true;
    qCDebug(lcStandInDownloader).noquote() << job->name << file.path << "from byte" << offset;
    emit fileStarted(job, file.path, offset);
    return true;
}

void StandInDownloader::copyChunk(Run* run)
{
    KiteProject* job = run->job;
    const QByteArray bytes = run->source->read(m_chunkBytes);
    if (!bytes.isEmpty()) {
        if (run->target->write(bytes) != bytes.size()) {
            failFile(run, QStringLiteral("write failed: ") + run->target->errorString());
            return;
        }
        run->position += bytes.size();
        run->bytesThisRun += bytes.size();
        const qint64 ms = std::max<qint64>(1, run->clock.elapsed());
        const auto rate = static_cast<unsigned long>(run->bytesThisRun * 1000 / ms);
        const QString path = run->file.path;
        const int slot = run->slot; // unique per run
        job->downloadRateSlot(slot, rate, bytes.size());
        emit bytesCopied(job, path, run->position, run->sourceSize);
        // A receiver may have paused the job, which ends this run.
        const Run* current = findRun(job);
        if (!current || current->slot != slot)
            return;
    }
    if (run->position < run->sourceSize && !run->source->atEnd()) {
        if (bytes.isEmpty())
            failFile(run, QStringLiteral("read failed: ") + run->source->errorString());
        return;
    }

    const bool flushed = run->target->flush();
    const QString path = run->file.path;
    run->closeFile();
    if (!flushed) {
        failFile(run, QStringLiteral("write failed"));
        return;
    }
    QFile::remove(run->markerPath);
    emit fileFinished(job, path);
}

void StandInDownloader::failFile(Run* run, const QString& reason)
{
    KiteProject* job = run->job;
    // A file cut off mid-copy keeps its marker; a file never begun has none.
    run->closeFile();
    ++run->errors;
    if (job) {
        ++job->downloadJobErrorCount;
        job->failedDownloadFiles << run->file.path;
        qCWarning(lcStandInDownloader).noquote()
            << job->name << OutputPaths::printable(run->file.path) << "failed:" << reason;
        emit fileFailed(job, run->file.path, reason);
    }
}

void StandInDownloader::finishRun(Run* run)
{
    QPointer<KiteProject> job = run->job;
    const int errors = run->errors;
    removeRun(run);
    if (!job)
        return;
    qCDebug(lcStandInDownloader).noquote() << "download of" << job->name << "worked through," << errors << "errors";
    emit jobFinished(job, errors);
    m_plugin->downloadJobFinishedSlot(job, errors);
    // The slot usually asks for the next job already; runs that are still
    // free are filled here too.
    downloadJobSlot();
}

void StandInDownloader::stopJob(KiteProject* job, const QString& reason)
{
    Run* run = findRun(job);
    if (!run)
        return;
    qCDebug(lcStandInDownloader).noquote() << "download of" << job->name << "stopped:" << reason;
    removeRun(run);
    emit jobStopped(job, reason);
    // A free place goes to the next job; this is not called from within a
    // step of the stopped run, so the queue moves on at once.
    QTimer::singleShot(0, this, &StandInDownloader::downloadJobSlot);
}

void StandInDownloader::removeRun(Run* run)
{
    const auto it = std::find_if(m_runs.begin(), m_runs.end(), [run](const auto& r) { return r.get() == run; });
    if (it == m_runs.end())
        return;
    disconnect(run->pauseConnection);
    run->closeFile();
    if (run->job)
        run->job->runningDownloadsOfJob = 0;
    m_runs.erase(it);
}
