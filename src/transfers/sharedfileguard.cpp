#include "transfers/sharedfileguard.h"

#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSharedFiles, "kite.uploads.shared")

namespace {
// The listing of the job's server folder covers its textures only.
bool isListed(const QString& path)
{
    return path.startsWith(QLatin1String("tex/"));
}
} // namespace

SharedFileGuard::SharedFileGuard(KiteSettings* kiteSettings, QObject* parent)
    : QObject(parent)
    , m_settings(kiteSettings)
{
    m_holdTimer.setInterval(defaultHoldPollMs);
    connect(&m_holdTimer, &QTimer::timeout, this, &SharedFileGuard::pollHeld);
}

void SharedFileGuard::setHoldPollMs(int ms)
{
    m_holdTimer.setInterval(qMax(1, ms));
}

void SharedFileGuard::log(const QString& message, int level) const
{
    m_settings->writeToLog(message, level);
}

// --- the listing -----------------------------------------------------------------

void SharedFileGuard::listingAsked(KiteProject* job)
{
    JobState& state = m_jobs[job];
    state.listedAt = m_ledger.tick();
    state.inDoubt.clear();
    state.verifying = false;
    state.held = false;
}

QHash<QString, qint64> SharedFileGuard::sizesToGoBy(KiteProject* job, const QHash<QString, qint64>& listed)
{
    const int server = job->serverNumberUpload;
    const FarmFileLedger::Moment askedAt = m_jobs.value(job).listedAt;
    recordListing(job, listed, askedAt);

    QHash<QString, qint64> sizes = listed;
    for (const UploadFile& file : qAsConst(job->uploadList)) {
        const qint64 listedSize = listed.value(file.path, 0);
        const qint64 size = m_ledger.sizeToGoBy(server, file.path, listedSize, askedAt);
        if (size == listedSize)
            continue;
        qCDebug(lcSharedFiles).noquote() << job->name << file.path << "listed with" << listedSize
                                         << "bytes, known since with" << size;
        log(job->name + QStringLiteral(": listing older than what the farm holds of ") + file.path + QStringLiteral(": ")
            + QString::number(size));
        sizes.insert(file.path, size);
    }
    return sizes;
}

void SharedFileGuard::recordListing(KiteProject* job, const QHash<QString, qint64>& listed,
                                    FarmFileLedger::Moment askedAt)
{
    const int server = job->serverNumberUpload;
    for (auto it = listed.cbegin(); it != listed.cend(); ++it) {
        if (m_ledger.noteListed(server, it.key(), it.value(), askedAt) && it.value() > 0)
            offerWhole(server, it.key(), it.value());
    }
    // A texture of the job that the listing lacks was not on the farm then.
    for (const UploadFile& file : qAsConst(job->uploadList)) {
        if (isListed(file.path) && !listed.contains(file.path))
            m_ledger.noteListed(server, file.path, 0, askedAt);
    }
}

bool SharedFileGuard::waitsForUploader(const KiteProject* job) const
{
    if (!job || job->isDeleted || job->isDeletedLocal || !job->isReadyForUpload || job->isUploading
        || job->isUploaded)
        return false;
    const JobState state = m_jobs.value(job);
    return !state.held && !state.verifying;
}

void SharedFileGuard::classified(KiteProject* job)
{
    if (!waitsForUploader(job))
        return;
    for (const UploadFile& file : qAsConst(job->uploadList)) {
        if (file.alreadyOnServer)
            continue;
        QList<QPointer<KiteProject>>& waiting = m_waiting[FarmFileLedger::key(job->serverNumberUpload, file.path)];
        if (!waiting.contains(job))
            waiting.append(job);
    }
}

void SharedFileGuard::offerWhole(int server, const QString& path, qint64 size)
{
    const auto found = m_waiting.find(FarmFileLedger::key(server, path));
    if (found == m_waiting.end())
        return;
    QList<QPointer<KiteProject>>& waiting = found.value();
    for (auto it = waiting.begin(); it != waiting.end();) {
        KiteProject* job = *it;
        if (!waitsForUploader(job) || job->serverNumberUpload != server) {
            it = waiting.erase(it);
            continue;
        }
        bool keep = false;
        bool stillUploading = false;
        for (UploadFile& file : job->uploadList) {
            if (file.path != path || file.alreadyOnServer)
                continue;
            if (file.size != size) {
                keep = true; // another size: the job's file differs
                continue;
            }
            // Bytes the classification already counted as sent.
            const qint64 counted = file.resume ? file.resumeOffset : 0;
            file.alreadyOnServer = true;
            file.resume = false;
            file.resumeOffset = 0;
            file.serverCopyLarger = false;
            file.uploadingElsewhere = false;
            job->bytesSentTotal += size - counted;
            job->alreadyUploadingFilesHash.remove(path);
            log(job->name + QStringLiteral(": whole on the farm since its listing, not sent again: ") + path);
        }
        for (const UploadFile& file : qAsConst(job->uploadList))
            stillUploading = stillUploading || file.uploadingElsewhere;
        job->waitsForOtherUpload = stillUploading;
        it = keep ? it + 1 : waiting.erase(it);
    }
    if (waiting.isEmpty())
        m_waiting.erase(found);
}

// --- the check -------------------------------------------------------------------

KiteProject* SharedFileGuard::writerOf(const KiteProject* job, QString* path) const
{
    for (KiteProject* other : qAsConst(m_settings->jobList)) {
        if (!other || other == job || other->uploadingFilesHash.isEmpty() || other->isDeleted
            || other->isDeletedLocal)
            continue;
        for (const UploadFile& file : job->uploadList) {
            if (other->uploadingFilesHash.contains(file.path)) {
                if (path)
                    *path = file.path;
                return other;
            }
        }
    }
    return nullptr;
}

void SharedFileGuard::hold(KiteProject* job, KiteProject* writer, const QString& path)
{
    // The writer may leave the file partial, or whole with other bytes.
    m_ledger.noteDisturbed(job->serverNumberUpload, path);
    JobState& state = m_jobs[job];
    state.held = true;
    state.verifying = false;
    if (!m_held.contains(job))
        m_held.append(job);
    if (!m_holdTimer.isActive())
        m_holdTimer.start();
    log(job->name + QStringLiteral(": check waits, ") + writer->name + QStringLiteral(" is sending ") + path);
}

void SharedFileGuard::uploaderFinished(KiteProject* job)
{
    if (writerOf(job))
        return;
    // Files it skipped or left to another job are not the uploader's word.
    for (const UploadFile& file : qAsConst(job->uploadList)) {
        if (file.alreadyOnServer || file.uploadingElsewhere)
            continue;
        m_ledger.noteWhole(job->serverNumberUpload, file.path, file.size);
        offerWhole(job->serverNumberUpload, file.path, file.size);
    }
}

SharedFileGuard::Gate SharedFileGuard::beforeCheck(KiteProject* job)
{
    QString path;
    if (KiteProject* writer = writerOf(job, &path)) {
        hold(job, writer, path);
        return Gate::Hold;
    }
    JobState& state = m_jobs[job];
    state.held = false;
    state.verifying = false;
    state.inDoubt.clear();
    for (const UploadFile& file : qAsConst(job->uploadList)) {
        if (!m_ledger.stillWhole(job->serverNumberUpload, file.path, file.size, state.listedAt))
            state.inDoubt << file.path;
    }
    if (state.inDoubt.isEmpty())
        return Gate::Check;
    log(job->name + QStringLiteral(": an upload may have left partial: ") + state.inDoubt.join(QStringLiteral(", ")));
    return Gate::Verify;
}

bool SharedFileGuard::holdIfRewritten(KiteProject* job)
{
    QString path;
    KiteProject* writer = writerOf(job, &path);
    if (!writer)
        return false;
    hold(job, writer, path);
    return true;
}

void SharedFileGuard::pollHeld()
{
    const QList<QPointer<KiteProject>> held = m_held;
    m_held.clear();
    for (const QPointer<KiteProject>& job : held) {
        if (!job || job->isDeleted || job->isDeletedLocal || !m_jobs.value(job).held)
            continue;
        if (writerOf(job)) {
            m_held.append(job);
            continue;
        }
        m_jobs[job].held = false;
        log(job->name + QStringLiteral(": shared files free again"));
        emit released(job);
    }
    if (m_held.isEmpty())
        m_holdTimer.stop();
}

void SharedFileGuard::checkPassed(KiteProject* job)
{
    for (const UploadFile& file : qAsConst(job->uploadList)) {
        m_ledger.noteWhole(job->serverNumberUpload, file.path, file.size);
        offerWhole(job->serverNumberUpload, file.path, file.size);
    }
    m_jobs.remove(job);
}

void SharedFileGuard::verifyAsked(KiteProject* job)
{
    JobState& state = m_jobs[job];
    state.verifying = true;
    state.verifyAskedAt = m_ledger.tick();
}

bool SharedFileGuard::isVerifying(const KiteProject* job) const
{
    return m_jobs.value(job).verifying;
}

bool SharedFileGuard::verified(KiteProject* job, const QHash<QString, qint64>& listed)
{
    JobState& state = m_jobs[job];
    const FarmFileLedger::Moment askedAt = state.verifyAskedAt;
    const QStringList inDoubt = state.inDoubt;
    state.verifying = false;
    state.inDoubt.clear();

    recordListing(job, listed, askedAt);
    bool whole = true;
    for (const UploadFile& file : qAsConst(job->uploadList)) {
        if (!inDoubt.contains(file.path))
            continue;
        if (!isListed(file.path)) {
            log(job->name + QStringLiteral(": cannot be seen in a listing, sent again: ") + file.path);
            whole = false;
            continue;
        }
        const qint64 size = listed.value(file.path, 0);
        if (size != file.size) {
            log(job->name + QStringLiteral(": not whole on the farm: ") + file.path + QStringLiteral(" ")
                + QString::number(size) + QStringLiteral(" of ") + QString::number(file.size));
            whole = false;
        }
    }
    if (whole)
        state.listedAt = askedAt;
    return whole;
}

void SharedFileGuard::uploadStopping(KiteProject* job)
{
    if (!job)
        return;
    for (auto it = job->uploadingFilesHash.cbegin(); it != job->uploadingFilesHash.cend(); ++it) {
        m_ledger.noteDisturbed(job->serverNumberUpload, it.key());
        qCDebug(lcSharedFiles).noquote() << job->name << "stops while sending" << it.key();
    }
}
