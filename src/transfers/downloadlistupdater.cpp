#include "transfers/downloadlistupdater.h"

#include "jobs/jobnames.h"
#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"
#include "transfers/downloadfile.h"
#include "transfers/downloadslogging.h"
#include "transfers/outputpaths.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QSettings>
#include <QStringBuilder>

#include <limits>
#include <memory>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {

const QLatin1String markerSuffix("dlstarted");
constexpr int markerSuffixLength = 10; // ".dlstarted"

// Calls `visit(name, size)` for each plain file of `dirPath` that is not
// hidden, symbolic links to files included (QDir::Files). On Unix the folder is
// read directly: one stat per file, without the bookkeeping of QFileInfo, which
// makes the local inventory several times cheaper for large outputs. Windows
// delivers the sizes with the directory listing itself.
template <typename Visit>
void forEachPlainFile(const QString& dirPath, Visit visit)
{
#ifdef Q_OS_UNIX
    DIR* dir = ::opendir(QFile::encodeName(dirPath).constData());
    if (!dir)
        return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue; // hidden, "." and ".."
#ifdef _DIRENT_HAVE_D_TYPE
        if (entry->d_type != DT_REG && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
            continue;
#endif
        struct stat info;
        if (::fstatat(dirFd, entry->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode))
            continue;
        visit(QFile::decodeName(entry->d_name), qint64(info.st_size));
    }
    ::closedir(dir);
#else
    QDirIterator it(dirPath, QDir::Files | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        visit(info.fileName(), info.size());
    }
#endif
}

QString flag(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

// Sizes arrive as JSON numbers; a text holding a number is taken as well.
// -1 for anything else, also for numbers beyond what a qint64 holds.
qint64 listedSize(const QJsonValue& value)
{
    if (value.isDouble()) {
        const double size = value.toDouble();
        return size >= 0 && size < 9223372036854775808.0 ? static_cast<qint64>(size) : -1;
    }
    if (value.isString()) {
        bool ok = false;
        const qint64 size = value.toString().toLongLong(&ok);
        return ok && size >= 0 ? size : -1;
    }
    return -1;
}

// Byte totals of a listing stop at the 64-bit limit instead of wrapping
// around, whatever sizes the server lists.
qint64 addSize(qint64 total, qint64 size)
{
    return size > std::numeric_limits<qint64>::max() - total ? std::numeric_limits<qint64>::max() : total + size;
}

// The trial information file of a job, read once per listing and only when a
// file needs it.
class TrialInfo
{
public:
    TrialInfo(const KiteSettings* settings, const KiteProject* job)
        : m_settings(settings)
        , m_job(job)
    {
    }

    // The size of the overlaid copy kept locally, when the file's size on the
    // server is the one recorded before the overlay; else `serverSize`.
    qint64 localSizeFor(const QString& path, qint64 serverSize)
    {
        QSettings* info = file();
        if (!info)
            return serverSize;
        const QVariant original = info->value(QStringLiteral("originalFiles/") + path);
        if (!original.isValid() || original.toLongLong() != serverSize)
            return serverSize;
        return info->value(QStringLiteral("overlayFiles/") + path).toLongLong();
    }

private:
    QSettings* file()
    {
        if (!m_opened) {
            m_opened = true;
            if (JobNames::isUsableAsFileName(m_job->name)) {
                const QString path = m_settings->localProjectsFolder + QLatin1Char('/') + m_settings->username
                    + QLatin1Char('/') + m_job->name + QStringLiteral(".trialinfo");
                if (QFileInfo::exists(path))
                    m_file = std::make_unique<QSettings>(path, QSettings::IniFormat);
            }
        }
        return m_file.get();
    }

    const KiteSettings* m_settings;
    const KiteProject* m_job;
    bool m_opened = false;
    std::unique_ptr<QSettings> m_file;
};

} // namespace

DownloadListUpdater::DownloadListUpdater(KiteSettings* kiteSettings, QObject* parent)
    : QObject(parent)
    , kiteSettings(kiteSettings)
{
}

void DownloadListUpdater::log(const QString& message, int level)
{
    kiteSettings->writeToLog(message, level);
}

void DownloadListUpdater::routeOverwriteQuestions(KiteProject* job)
{
    if (m_overwriteTarget == job && m_overwriteRoute)
        return;
    disconnect(m_overwriteRoute);
    m_overwriteTarget = job;
    m_overwriteRoute = connect(this, &DownloadListUpdater::confirmOverwriteSignal, job,
                               &KiteProject::confirmOverwriteSlot);
}

void DownloadListUpdater::fileListUpdateSlot(QJsonArray fileNames, QJsonArray dirListServer, KiteProject* jobObject)
{
    KiteProject* job = jobObject;
    if (!job)
        return;
    routeOverwriteQuestions(job);
    log(job->name + QStringLiteral(": begin fileListUpdateSlot, tempDownloadList.size():")
        + QString::number(fileNames.size()) + QStringLiteral(" : lastDownloadCheck:") + flag(job->lastDownloadCheck)
        + QStringLiteral(" : isDownloaded:") + flag(job->isDownloaded));

    job->bytesReceivedTotal = 0;
    job->downloadBytesTotal = 0;
    dirListServer.append(QJsonObject{{QStringLiteral("file"), QString()}});
    if (job->downloadPath.isEmpty())
        job->downloadPath = job->name % QLatin1Char('/');

    QString localDir = job->effectiveDownloadDir();
    if (localDir.isEmpty() || !QFileInfo(localDir).isDir()) {
        // The download starts over from the default folder.
        log(job->name + QStringLiteral(": dir does not exists, set default:") + QFileInfo(localDir).absoluteFilePath());
        const bool finalLook = job->lastDownloadCheck;
        const bool finalLookReceived = job->lastDownloadCheckReceived;
        job->createLocalDownloadDir(true);
        localDir = job->effectiveDownloadDir();
        if (!QFileInfo(localDir).isDir()) {
            // A folder that cannot be made (a read-only projects folder, a
            // full disk) is a download error once rendering is over: while
            // the job renders, its next event looks again; afterwards nothing
            // would, so the error is shown and its timer retries.
            if (!job->isRendering && !job->isPaused) {
                log(job->name + QStringLiteral(": the output folder cannot be made"), 0);
                job->setDownloadError();
            } else {
                emit jobDueSignal(job);
            }
            return;
        }
        // The listing at hand is what the restarted download would be sent
        // next: it goes on in the new folder instead of being asked again.
        job->checkForFilesToDownload = false;
        job->lastDownloadCheck = finalLook;
        job->lastDownloadCheckReceived = finalLookReceived;
    }

    log(job->name + QStringLiteral(": dir exists (48):") + localDir);
    const LocalInventory local = buildInventory(localDir, dirListServer, fileNames.size(), job);
    compareListing(fileNames, local, job);
    startOrFinish(job);
    job->outputDirRequested = false;
}

DownloadListUpdater::LocalInventory DownloadListUpdater::buildInventory(const QString& localDir,
                                                                        const QJsonArray& dirListServer,
                                                                        int listedFiles, KiteProject* job)
{
    QElapsedTimer clock;
    clock.start();
    LocalInventory local;
    // The local folder rarely holds more files than the listing names.
    local.sizes.reserve(listedFiles);
    QSet<QString> seenFolders;
    for (const QJsonValue& entry : dirListServer) {
        const QString folder = entry.toObject().value(QLatin1String("file")).toString();
        if (!OutputPaths::isSafeFolder(folder)) {
            log(job->name + QStringLiteral(": folder name from the server refused, skipped: ") + OutputPaths::printable(folder), 0);
            continue;
        }
        if (seenFolders.contains(folder))
            continue;
        seenFolders.insert(folder);

        const QString dirPath = folder.isEmpty() ? localDir : localDir + QLatin1Char('/') + folder;
        if (!QFileInfo(dirPath).isDir()) {
            log(job->name + QStringLiteral(": makedir:") + dirPath);
            if (!QDir().mkpath(dirPath))
                log(job->name + QStringLiteral(": could not create dir:") + dirPath, 1);
            continue; // a new folder holds nothing yet
        }

        const QString prefix = folder.isEmpty() ? QString() : folder + QLatin1Char('/');
        forEachPlainFile(dirPath, [&local, &prefix](const QString& name, qint64 size) {
            const QString key = prefix + name;
            local.sizes.insert(key, size);
            if (name.endsWith(markerSuffix))
                local.interrupted.insert(key.left(key.size() - markerSuffixLength));
        });
    }
    log(job->name + QStringLiteral(": 151: build hash runtime:") + QString::number(clock.elapsed()));
    return local;
}

void DownloadListUpdater::compareListing(const QJsonArray& fileNames, const LocalInventory& local, KiteProject* job)
{
    QElapsedTimer clock;
    clock.start();
    const bool trial = kiteSettings->isTrial;
    TrialInfo trialInfo(kiteSettings, job);
    // Paths already waiting for an answer are not asked about again.
    QSet<QString> pending;
    bool pendingBuilt = false;

    for (const QJsonValue& value : fileNames) {
        const QJsonObject entry = value.toObject();
        const qint64 size = listedSize(entry.value(QLatin1String("size")));
        if (size == ignoredFileSize)
            continue;
        const QString path = entry.value(QLatin1String("file")).toString();
        if (size < 0 || !OutputPaths::isSafeRelativePath(path)) {
            log(job->name + QStringLiteral(": file name from the server refused, skipped: ") + OutputPaths::printable(path), 0);
            continue;
        }

        job->downloadBytesTotal = addSize(job->downloadBytesTotal, size);
        const qint64 localSize = local.sizes.value(path, 0);

        if (localSize == 0) {
            if (trial && path.left(path.size() - 4).endsWith(QLatin1String("_overlaid")))
                continue;
            DownloadFile file;
            file.path = path;
            file.size = size;
            job->downloadList.append(file);
            continue;
        }

        const qint64 expected = trial ? trialInfo.localSizeFor(path, size) : size;
        if (expected == localSize) {
            job->bytesReceivedTotal = addSize(job->bytesReceivedTotal, localSize);
            continue;
        }

        const bool interrupted = local.interrupted.contains(path);
        if (interrupted)
            job->bytesReceivedTotal = addSize(job->bytesReceivedTotal, localSize);
        if (job->overwriteAll || interrupted || job->overwriteYesList.contains(path)) {
            DownloadFile file;
            file.path = path;
            file.size = size;
            file.localSize = localSize;
            job->downloadList.append(file);
        } else if (!job->ignoreAll) {
            if (!pendingBuilt) {
                pending = QSet<QString>(job->pendingOverwriteList.cbegin(), job->pendingOverwriteList.cend());
                pendingBuilt = true;
            }
            if (pending.contains(path))
                continue;
            pending.insert(path);
            job->pendingOverwriteList.append(path);
            emit confirmOverwriteSignal(false, false, true);
        }
    }

    log(job->name + QStringLiteral(": jobObject->downloadList.size() after:") + QString::number(job->downloadList.size()));
    log(job->name + QStringLiteral(": while99Timer:") + QString::number(clock.elapsed()));
    qCDebug(lcDownloads).noquote() << job->name << "isRendering" << job->isRendering << "isPaused" << job->isPaused
                                   << "isUnknown" << job->isUnknown << "isDownloading" << job->isDownloading
                                   << "isDownloaded" << job->isDownloaded;
}

void DownloadListUpdater::startOrFinish(KiteProject* job)
{
    if (job->downloadList.isEmpty() && !job->isRendering && !job->isPaused && !job->isUnknown) {
        log(job->name + QStringLiteral(": 248: kiteSettings->runningJobDownloads++ - send jobDownloadFinishedSignal"));
        ++kiteSettings->runningJobDownloads;
        emit jobDownloadFinishedSignal(job, 0);
    } else if (!job->downloadList.isEmpty()) {
        job->checkForFilesToDownload = true;
        log(job->name + QStringLiteral(": 254 checkForFilesToDownloadOnNextUpdate = true"));
    } else {
        // Still rendering and nothing new: the output is looked at again when
        // it may have grown (a frame rendered, the progress moved on, the
        // render ended), not on every pass - thousands of rendering jobs
        // would be listed again and again for nothing.
        log(job->name + QStringLiteral(": nothing new while rendering, next look after the next frame"));
    }

    if (job->downloadList.isEmpty() || job->isDownloaded)
        return;

    ++kiteSettings->runningJobDownloads;
    log(job->name + QStringLiteral(": 261: runningJobDownloads++ ") + job->jobId + QStringLiteral(" prio:")
        + QString::number(job->downloadPriority) + QStringLiteral(" listsize:") + QString::number(job->downloadList.size()));
    job->isDownloading = true;
    job->checkForFilesToDownload = false;
    job->downloadProgressBase = 100.0;
    log(job->name + QStringLiteral(": 316 size total to download:") + QString::number(job->downloadBytesTotal));
    log(job->name + QStringLiteral(": 317 size total already downloaded:") + QString::number(job->bytesReceivedTotal));
    if (kiteSettings->transfersOnHold)
        job->setDownloadPaused(true);

    const bool paidTeamJob = job->teamid != 0 && job->isPaid;
    if (kiteSettings->accountOutOfRenderPoints() && !paidTeamJob) {
        log(job->name + QStringLiteral(": Out of Render Points! Do not start download."), 1);
        job->setOutOfRenderPoints();
    } else if (job->teamid == 0 || job->isPaid) {
        emit downloadJobSignal();
    }

    const QList<KiteProject*> jobs = kiteSettings->jobList;
    for (KiteProject* other : jobs) {
        if (other == job || !other->checkForFilesToDownload || !other->isUploaded)
            continue;
        log(job->name + QStringLiteral(": ++ more jobs to check ++:") + other->name);
        log(job->name + QStringLiteral(": generateDownloadFileListSignal() (266)"));
        emit generateDownloadFileListSignal();
        break;
    }
}
