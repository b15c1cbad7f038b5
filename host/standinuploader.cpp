#include "standinuploader.h"

#include "jobs/kiteproject.h"
#include "pluginnetconnectioninterface.h"
#include "settings/kitesettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>

#include <algorithm>

Q_LOGGING_CATEGORY(lcStandIn, "kite.host.uploader")

// One file of a job's upload.
struct StandInUploader::Item
{
    // Where the copy of the file begins.
    enum class Start {
        Listed,     // at the offset the server listing gave (resumeOffset, or 0)
        FromTarget, // after what the server holds when the copy begins (complete: skipped)
        Whole,      // always from the first byte
    };

    QString path;       // relative to the user's upload folder
    QString localPath;
    qint64 listedSize = 0;
    Start start = Start::Listed;
    qint64 offset = 0;
    // Bytes of this file already counted in the job's bytesSentTotal.
    qint64 counted = 0;
    // The job's totals count the whole file: a file found complete on the
    // server reports its remaining bytes as sent.
    bool countsWhole = true;
    // Another job is sending the file; wait until it lets go.
    bool waits = false;
    bool done = false;
};

// A job being copied.
struct StandInUploader::Run
{
    QPointer<KiteProject> job;
    const KiteProject* key = nullptr;
    QVector<Item> items;
    int current = -1;
    std::unique_ptr<QFile> source;
    // The farm's copy, continued in place, or a side copy (QSaveFile) that
    // replaces it when whole.
    std::unique_ptr<QFileDevice> target;
    qint64 position = 0;
    qint64 sourceSize = 0;
    qint64 retryAt = 0;
    qint64 lastChunkAt = 0;
    bool waiting = false;
    bool stopped = false;
};

namespace {
bool isSafeName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    return std::none_of(name.cbegin(), name.cend(), [](QChar c) {
        return c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':')
            || c.category() == QChar::Other_Control;
    });
}

qint64 fileSize(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() ? info.size() : -1;
}

// Whether the farm's copy of `length` bytes ends like the first `length`
// bytes of the local file (the last 64 KiB are compared): then what it holds
// is the beginning of this file, and the upload may continue after it.
bool sameBeginning(const QString& localPath, const QString& farmPath, qint64 length)
{
    constexpr qint64 window = 64 * 1024;
    const qint64 from = qMax<qint64>(0, length - window);
    QFile local(localPath);
    QFile farm(farmPath);
    if (!local.open(QIODevice::ReadOnly) || !farm.open(QIODevice::ReadOnly) || !local.seek(from) || !farm.seek(from))
        return false;
    const QByteArray localBytes = local.read(length - from);
    return localBytes.size() == length - from && farm.read(length - from) == localBytes;
}
} // namespace

StandInUploader::StandInUploader(PluginNetConnectionInterface* plugin, KiteSettings* settings,
                                 const QString& storageRoot, QObject* parent)
    : QObject(parent)
    , m_plugin(plugin)
    , m_settings(settings)
    , m_storageRoot(storageRoot.isEmpty() ? QString() : QDir(storageRoot).absolutePath())
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &StandInUploader::step);
    m_clock.start();
}

StandInUploader::~StandInUploader()
{
    // Copies continued in place stay as far as they got: the next run
    // continues them. Side copies are discarded; the farm's copy stays.
    for (const RunPtr& run : m_runs) {
        run->source.reset();
        run->target.reset();
        if (run->job)
            run->job->uploadingFilesHash.clear();
    }
}

void StandInUploader::setChunkBytes(qint64 bytes)
{
    m_chunkBytes = qMax<qint64>(1, bytes);
}

void StandInUploader::setPaceMs(int ms)
{
    m_paceMs = qMax(0, ms);
}

void StandInUploader::setRetryDelayMs(int ms)
{
    m_retryDelayMs = qMax(0, ms);
}

void StandInUploader::setWaitPollMs(int ms)
{
    m_waitPollMs = qMax(1, ms);
}

QString StandInUploader::uploadDir() const
{
    if (m_storageRoot.isEmpty() || !isSafeName(m_settings->username))
        return QString();
    return m_storageRoot + QStringLiteral("/upload/") + m_settings->username;
}

bool StandInUploader::isSafeRelativePath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return std::all_of(parts.cbegin(), parts.cend(), [](const QString& part) { return isSafeName(part); });
}

int StandInUploader::runningJobCount() const
{
    return static_cast<int>(m_runs.size());
}

bool StandInUploader::isRunning(const KiteProject* job) const
{
    return findRun(job) != nullptr;
}

bool StandInUploader::isQueued(const KiteProject* job) const
{
    return std::any_of(m_queue.cbegin(), m_queue.cend(),
                       [job](const QPointer<KiteProject>& queued) { return queued == job; });
}

StandInUploader::RunPtr StandInUploader::findRun(const KiteProject* job) const
{
    for (const RunPtr& run : m_runs) {
        if (run->key == job)
            return run;
    }
    return nullptr;
}

KiteProject* StandInUploader::holderOf(const QString& path, const KiteProject* except) const
{
    for (KiteProject* other : qAsConst(m_settings->jobList)) {
        if (other && other != except && !other->isDeleted && !other->isDeletedLocal
            && other->uploadingFilesHash.contains(path))
            return other;
    }
    return nullptr;
}

// --- taking jobs ------------------------------------------------------------------

bool StandInUploader::isEligible(const KiteProject* job) const
{
    return job && job->isReadyForUpload && !job->isUploaded && !job->waitingForCheckFiles && !job->isUploadPaused
        && !job->hasUploadError && !job->isDeleted && !job->isDeletedLocal;
}

void StandInUploader::watch(KiteProject* job)
{
    if (m_watched.contains(job))
        return;
    m_watched.insert(job);
    connect(job, &KiteProject::pauseUploadSignal, this,
            [this, job] { stopJob(job, QStringLiteral("paused")); });
    // The job is no longer a KiteProject when destroyed() arrives; only its
    // address is used from here on.
    connect(job, &QObject::destroyed, this, [this, job] {
        const KiteProject* gone = job;
        m_watched.remove(gone);
        if (RunPtr run = findRun(gone))
            stopRun(run, QStringLiteral("deleted"));
        m_queue.removeAll(nullptr);
    });
}

void StandInUploader::uploadJobSlot()
{
    const QList<KiteProject*> jobs = m_settings->jobList;
    for (KiteProject* job : jobs) {
        if (!isEligible(job) || isRunning(job) || isQueued(job))
            continue;
        qCDebug(lcStandIn).noquote() << "queued" << job->name;
        watch(job);
        m_queue.append(job);
    }
    startQueued();
}

void StandInUploader::startQueued()
{
    // A job that stopped being ready while it waited leaves the queue; the
    // next UploadJobSignal brings it back when it is ready again.
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (!isEligible(*it) || isRunning(*it))
            it = m_queue.erase(it);
        else
            ++it;
    }
    std::stable_sort(m_queue.begin(), m_queue.end(),
                     [](const QPointer<KiteProject>& a, const QPointer<KiteProject>& b) {
                         return a->uploadPriority > b->uploadPriority;
                     });
    const int maxRunning = qMax(1, m_settings->maxRunningUploads);
    while (runningJobCount() < maxRunning && !m_queue.isEmpty())
        startRun(m_queue.takeFirst());
    schedule();
}

bool StandInUploader::buildItems(KiteProject* job, QVector<Item>& items, QString& refusal) const
{
    QSet<QString> seen;
    for (const UploadFile& file : qAsConst(job->uploadList)) {
        if (file.alreadyOnServer)
            continue;
        if (!isSafeRelativePath(file.path)) {
            refusal = QStringLiteral("refused path: ") + file.path;
            return false;
        }
        if (seen.contains(file.path))
            continue;
        seen.insert(file.path);
        Item item;
        item.path = file.path;
        item.localPath = file.pathLocal;
        item.listedSize = file.size;
        if (file.uploadingElsewhere) {
            item.start = Item::Start::FromTarget;
            item.waits = true;
            item.counted = file.resume ? file.resumeOffset : 0;
        } else if (file.resume && !file.serverCopyLarger) {
            item.offset = file.resumeOffset;
            item.counted = file.resumeOffset;
        }
        items.append(item);
    }

    // The base files, the cfg last.
    if (!isSafeName(job->name)) {
        refusal = QStringLiteral("refused job name: ") + job->name;
        return false;
    }
    const QString userFolder = m_settings->localProjectsFolder + QLatin1Char('/') + m_settings->username;
    const QStringList baseNames{job->name, job->name + QStringLiteral(".jpg"), job->name + QStringLiteral(".cfg")};
    for (const QString& baseName : baseNames) {
        if (seen.contains(baseName) || !QFileInfo(userFolder + QLatin1Char('/') + baseName).isFile())
            continue;
        Item item;
        item.path = baseName;
        item.localPath = userFolder + QLatin1Char('/') + baseName;
        item.listedSize = QFileInfo(item.localPath).size();
        item.start = baseName.endsWith(QLatin1String(".cfg")) && baseName != job->name ? Item::Start::Whole
                                                                                      : Item::Start::FromTarget;
        item.countsWhole = false;
        items.append(item);
    }
    return true;
}

void StandInUploader::refuse(KiteProject* job, const QString& reason)
{
    qCWarning(lcStandIn).noquote() << "job" << job->name << "cannot be uploaded:" << reason;
    job->uploadErrorText = reason;
    job->isUploading = false;
    emit jobRefused(job, reason);
    job->setErrorUpload(true);
}

void StandInUploader::startRun(KiteProject* job)
{
    const QString dir = uploadDir();
    QVector<Item> items;
    QString refusal;
    if (dir.isEmpty()) {
        refuse(job, QStringLiteral("no upload folder for user ") + m_settings->username);
        return;
    }
    if (!buildItems(job, items, refusal)) {
        refuse(job, refusal);
        return;
    }

    // The job's totals count the base files the projects scanner did not
    // (those the server listing lacks) and the cfg, which goes whole.
    for (const Item& item : qAsConst(items)) {
        if (item.countsWhole)
            continue;
        const qint64 onServer = fileSize(dir + QLatin1Char('/') + item.path);
        const qint64 size = item.listedSize;
        const qint64 countedByScanner = onServer < 0 || onServer == size ? 0 : (onServer < size ? size - onServer : size);
        qint64 toSend = size;
        if (item.start == Item::Start::FromTarget)
            toSend = onServer == size ? 0 : (onServer > 0 && onServer < size ? size - onServer : size);
        job->uploadBytesTotal += toSend - countedByScanner;
    }

    auto run = std::make_shared<Run>();
    run->job = job;
    run->key = job;
    run->items = items;
    job->uploadingFilesHash.clear();
    for (Item& item : run->items) {
        if (item.waits || holderOf(item.path, job)) {
            item.waits = true;
            if (item.start == Item::Start::Listed)
                item.start = Item::Start::FromTarget;
        } else {
            job->uploadingFilesHash.insert(item.path, item.listedSize);
        }
    }
    m_runs.push_back(run);
    ++m_settings->runningJobUploads;
    job->isUploading = true;
    job->activeUploads = 1;
    qCDebug(lcStandIn).noquote() << "started" << job->name << "with" << run->items.size() << "files";
    job->setUploadStarted();
    emit jobStarted(job);
}

// --- stopping jobs ----------------------------------------------------------------------

void StandInUploader::stopJob(KiteProject* job, const QString& reason)
{
    if (RunPtr run = findRun(job)) {
        stopRun(run, reason);
    } else if (isQueued(job)) {
        m_queue.removeAll(job);
        emit jobStopped(job, reason);
    }
}

void StandInUploader::removeRun(const RunPtr& run)
{
    run->stopped = true;
    run->source.reset();
    run->target.reset();
    m_runs.erase(std::remove(m_runs.begin(), m_runs.end(), run), m_runs.end());
    if (KiteProject* job = run->job) {
        job->uploadingFilesHash.clear();
        job->waitsForOtherUpload = false;
        job->activeUploads = 0;
    }
}

void StandInUploader::stopRun(const RunPtr& run, const QString& reason)
{
    if (run->stopped)
        return;
    removeRun(run);
    if (m_settings->runningJobUploads > 0)
        --m_settings->runningJobUploads;
    KiteProject* job = run->job;
    if (job && !job->isUploaded)
        job->isUploading = false;
    qCDebug(lcStandIn).noquote() << "stopped" << (job ? job->name : QStringLiteral("(deleted job)")) << reason;
    if (job)
        emit jobStopped(job, reason);
    // Another job may take the slot; started from the event loop, since this
    // may run inside the stopped job's own signal.
    QTimer::singleShot(0, this, &StandInUploader::startQueued);
}

void StandInUploader::finishRun(const RunPtr& run)
{
    removeRun(run);
    KiteProject* job = run->job;
    qCDebug(lcStandIn).noquote() << "all files of" << job->name << "are there, asking for the check";
    emit jobFinished(job);
    // runningJobUploads goes down with the check reply.
    m_plugin->checkFilesSlot(job);
    QTimer::singleShot(0, this, &StandInUploader::startQueued);
}

QString StandInUploader::stopReason(const KiteProject* job) const
{
    if (!job)
        return QStringLiteral("deleted");
    if (job->isDeleted || job->isDeletedLocal)
        return QStringLiteral("deleted");
    if (job->isUploaded)
        return QStringLiteral("uploaded elsewhere");
    if (job->isUploadPaused)
        return QStringLiteral("paused");
    if (job->hasUploadError)
        return QStringLiteral("upload error");
    if (!job->isReadyForUpload)
        return QStringLiteral("upload restarted");
    return QString();
}

// --- copying ------------------------------------------------------------------------------

void StandInUploader::schedule()
{
    if (m_runs.empty()) {
        m_timer.stop();
        return;
    }
    const qint64 now = m_clock.elapsed();
    qint64 delay = -1;
    for (const RunPtr& run : m_runs) {
        qint64 wait = 0;
        if (run->retryAt > now)
            wait = run->retryAt - now;
        else if (run->waiting)
            wait = m_waitPollMs;
        else
            wait = m_paceMs;
        delay = delay < 0 ? wait : qMin(delay, wait);
    }
    m_timer.start(static_cast<int>(qMax<qint64>(0, delay)));
}

void StandInUploader::step()
{
    const qint64 now = m_clock.elapsed();
    const std::vector<RunPtr> runs = m_runs;
    for (const RunPtr& run : runs) {
        if (!run->stopped)
            stepRun(run, now);
    }
    schedule();
}

void StandInUploader::stepRun(const RunPtr& run, qint64 now)
{
    KiteProject* job = run->job;
    const QString reason = stopReason(job);
    if (!reason.isEmpty()) {
        stopRun(run, reason);
        return;
    }
    if (run->retryAt > now)
        return;

    if (!run->source) {
        // The next file that nobody else is sending.
        int next = -1;
        bool remaining = false;
        for (int i = 0; i < run->items.size(); ++i) {
            Item& item = run->items[i];
            if (item.done)
                continue;
            remaining = true;
            if (item.waits) {
                if (holderOf(item.path, job))
                    continue;
                item.waits = false;
                job->uploadingFilesHash.insert(item.path, item.listedSize);
            }
            next = i;
            break;
        }
        if (!remaining) {
            finishRun(run);
            return;
        }
        run->waiting = next < 0;
        job->waitsForOtherUpload = std::any_of(run->items.cbegin(), run->items.cend(),
                                               [](const Item& item) { return !item.done && item.waits; });
        if (next < 0)
            return;
        QString error;
        run->current = next;
        if (!openItem(run, next, error)) {
            failItem(run, error);
            return;
        }
        if (run->stopped || !run->source)
            return; // finished without copying, or stopped by a receiver
    }
    copyChunk(run);
}

bool StandInUploader::openItem(const RunPtr& run, int index, QString& error)
{
    Item& item = run->items[index];
    const QString targetPath = uploadDir() + QLatin1Char('/') + item.path;
    const qint64 onServer = fileSize(targetPath);
    const qint64 localSize = fileSize(item.localPath);
    if (localSize < 0) {
        error = QStringLiteral("cannot read ") + item.localPath;
        return false;
    }
    if (item.start == Item::Start::Whole && localSize != item.listedSize && run->job) {
        // A base file changed since the job started (the client appends to
        // the cfg): the job's total follows what is sent.
        run->job->uploadBytesTotal += localSize - item.listedSize;
        item.listedSize = localSize;
    }

    const qint64 offset = m_inPlaceRestarts ? inPlaceOffset(item, onServer, localSize)
                                            : continuationOffset(item, targetPath, onServer, localSize);
    if (offset == localSize && localSize > 0) {
        // Complete on the server (another job sent it, or an earlier run).
        if (item.countsWhole && localSize > item.counted)
            report(run, item, localSize - item.counted);
        emit fileStarted(run->job, item.path, onServer);
        finishItem(run);
        return true;
    }

    auto source = std::make_unique<QFile>(item.localPath);
    if (!source->open(QIODevice::ReadOnly) || (offset > 0 && !source->seek(offset))) {
        error = QStringLiteral("cannot read ") + item.localPath + QStringLiteral(": ") + source->errorString();
        return false;
    }
    if (!QDir().mkpath(QFileInfo(targetPath).absolutePath())) {
        error = QStringLiteral("cannot create the folder of ") + targetPath;
        return false;
    }
    std::unique_ptr<QFileDevice> target;
    bool opened = false;
    if (offset > 0) {
        // Continued in place after what the farm holds.
        auto farmCopy = std::make_unique<QFile>(targetPath);
        opened = farmCopy->open(QIODevice::ReadWrite)
            && (!m_inPlaceRestarts || farmCopy->resize(offset)) && farmCopy->seek(offset);
        target = std::move(farmCopy);
    } else if (onServer >= 0 && !m_inPlaceRestarts) {
        // A new copy of a file the farm holds: written beside it, so that the
        // farm keeps its copy until this one is whole.
        auto sideCopy = std::make_unique<QSaveFile>(targetPath);
        opened = sideCopy->open(QIODevice::WriteOnly);
        target = std::move(sideCopy);
    } else {
        auto newCopy = std::make_unique<QFile>(targetPath);
        opened = newCopy->open(QIODevice::WriteOnly | QIODevice::Truncate);
        target = std::move(newCopy);
    }
    if (!opened) {
        error = QStringLiteral("cannot write ") + targetPath + QStringLiteral(": ") + target->errorString();
        return false;
    }

    run->source = std::move(source);
    run->target = std::move(target);
    run->position = offset;
    run->sourceSize = localSize;
    run->lastChunkAt = m_clock.elapsed();
    // What the server holds already counts as sent.
    if (item.countsWhole && offset > item.counted)
        report(run, item, offset - item.counted);
    else if (!item.countsWhole)
        item.counted = qMax(item.counted, offset);
    emit fileStarted(run->job, item.path, offset);
    if (run->stopped)
        return true;
    if (run->position >= run->sourceSize)
        finishItem(run);
    return true;
}

qint64 StandInUploader::continuationOffset(const Item& item, const QString& targetPath, qint64 onServer,
                                           qint64 localSize) const
{
    // A new copy unless the server listing (or the wait for another job)
    // says the farm holds the beginning of the file.
    const bool mayContinue = item.start == Item::Start::FromTarget
        || (item.start == Item::Start::Listed && item.offset > 0);
    if (!mayContinue || onServer <= 0 || onServer > localSize)
        return 0;
    return sameBeginning(item.localPath, targetPath, onServer) ? onServer : 0;
}

qint64 StandInUploader::inPlaceOffset(const Item& item, qint64 onServer, qint64 localSize) const
{
    qint64 offset = 0;
    switch (item.start) {
    case Item::Start::Listed:
        offset = item.offset;
        if (offset > 0 && onServer < offset)
            offset = 0; // the server lost what it held
        break;
    case Item::Start::FromTarget:
        offset = onServer > 0 && onServer <= localSize ? onServer : 0;
        break;
    case Item::Start::Whole:
        break;
    }
    return offset > localSize ? 0 : offset;
}

void StandInUploader::report(const RunPtr& run, Item& item, qint64 bytes)
{
    if (bytes <= 0 || !run->job)
        return;
    item.counted += bytes;
    const qint64 now = m_clock.elapsed();
    const qint64 elapsed = qMax<qint64>(1, now - run->lastChunkAt);
    run->lastChunkAt = now;
    const auto bytesPerSec = static_cast<unsigned long>(bytes * 1000 / elapsed);
    run->job->uploadRateSlot(0, bytesPerSec, bytes);
}

void StandInUploader::copyChunk(const RunPtr& run)
{
    Item& item = run->items[run->current];
    const qint64 wanted = qMin(m_chunkBytes, run->sourceSize - run->position);
    const QByteArray bytes = run->source->read(wanted);
    if (bytes.size() != wanted) {
        failItem(run, QStringLiteral("cannot read ") + item.localPath + QStringLiteral(": ")
                          + run->source->errorString());
        return;
    }
    if (run->target->write(bytes) != bytes.size()) {
        failItem(run, QStringLiteral("cannot write ") + run->target->fileName() + QStringLiteral(": ")
                          + run->target->errorString());
        return;
    }
    run->position += bytes.size();
    report(run, item, bytes.size());
    const QString path = item.path;
    emit bytesCopied(run->job, path, run->position, run->sourceSize);
    if (run->stopped)
        return;
    if (run->position >= run->sourceSize)
        finishItem(run);
}

void StandInUploader::finishItem(const RunPtr& run)
{
    Item& item = run->items[run->current];
    if (run->target) {
        auto* sideCopy = qobject_cast<QSaveFile*>(run->target.get());
        if (sideCopy ? !sideCopy->commit() : !run->target->flush()) {
            failItem(run, QStringLiteral("cannot write ") + run->target->fileName() + QStringLiteral(": ")
                              + run->target->errorString());
            return;
        }
    }
    run->source.reset();
    run->target.reset();
    item.done = true;
    if (run->job)
        run->job->uploadingFilesHash.remove(item.path);
    const QString path = item.path;
    run->current = -1;
    emit fileFinished(run->job, path);
}

void StandInUploader::failItem(const RunPtr& run, const QString& error)
{
    Item& item = run->items[run->current];
    // The server keeps what was written; the retry continues after it.
    run->source.reset();
    run->target.reset();
    if (item.start == Item::Start::Listed)
        item.start = Item::Start::FromTarget;
    run->current = -1;
    run->retryAt = m_clock.elapsed() + m_retryDelayMs;
    qCWarning(lcStandIn).noquote() << "copy failed, retry in" << m_retryDelayMs << "ms:" << error;
    const QString path = item.path;
    emit copyFailed(run->job, path, error);
}
