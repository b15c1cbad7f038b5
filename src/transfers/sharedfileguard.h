#pragma once

#include "transfers/farmfileledger.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

class KiteProject;
class KiteSettings;

// Keeps the files that several jobs share whole on the farm while those jobs
// upload at different times. Three rules, applied by the upload orchestration:
//   1. A file the farm holds whole (as listed, or as this client uploaded it
//      whole since: the uploader reported it, or a check passed) is never
//      sent again because of an older listing:
//      a newer fact corrects the listing, and a job that waits for the
//      uploader gets such a file marked as on the server as soon as it is
//      known whole.
//   2. A job is checked (and so submitted) only while no other job's uploader
//      is writing one of its files; otherwise its check waits until the other
//      job lets go of the file.
//   3. A file that an upload may have left partial (the job paused, deleted or
//      restarted while its uploader wrote it, or another job seen writing it)
//      is looked at again before a job that counts on it is checked: a fresh
//      listing either shows it whole, or the job's upload starts over and
//      completes it.
class SharedFileGuard : public QObject
{
    Q_OBJECT
public:
    static constexpr int defaultHoldPollMs = 250;

    explicit SharedFileGuard(KiteSettings* kiteSettings, QObject* parent = nullptr);

    // How often a job whose check waits looks whether the file is free again.
    void setHoldPollMs(int ms);

    // --- the job's listing
    // A listing for the job's upload is asked for now; anything the job
    // waited for before is over.
    void listingAsked(KiteProject* job);
    // The server sizes to classify the job's files with: the listing,
    // corrected by newer facts. Records what the listing shows and gives files
    // it shows whole to other jobs that wait for them.
    QHash<QString, qint64> sizesToGoBy(KiteProject* job, const QHash<QString, qint64>& listed);
    // The job's files are classified: it waits for the ones it still has to
    // send, until the uploader takes it.
    void classified(KiteProject* job);

    // --- the check
    // The uploader reports the job's files on the farm: the ones it had to
    // send count as whole from now on (unless another job writes one of
    // them now), so that jobs still waiting for the uploader skip them.
    void uploaderFinished(KiteProject* job);
    enum class Gate {
        Check,  // send the check
        Hold,   // another job writes one of its files; released() follows
        Verify, // ask for a listing first (verifyAsked, then verified)
    };
    Gate beforeCheck(KiteProject* job);
    // A check passed while another job writes one of the job's files: the
    // job is held as by beforeCheck.
    bool holdIfRewritten(KiteProject* job);
    // The check of the job passed: its files are whole on the farm.
    void checkPassed(KiteProject* job);
    // The verifying listing is asked for now.
    void verifyAsked(KiteProject* job);
    bool isVerifying(const KiteProject* job) const;
    // The verifying listing arrived: true when it shows every file in doubt
    // whole (the job may be checked), false when the upload has to go on.
    bool verified(KiteProject* job, const QHash<QString, qint64>& listed);

    // The job's uploader is about to stop (pause, deletion, restart): what it
    // was writing may stay partial on the farm.
    void uploadStopping(KiteProject* job);

    const FarmFileLedger& ledger() const { return m_ledger; }

signals:
    // A held job's files are free again; check it again.
    void released(KiteProject* job);

private:
    struct JobState
    {
        FarmFileLedger::Moment listedAt = 0;
        FarmFileLedger::Moment verifyAskedAt = 0;
        QStringList inDoubt; // files a verifying listing looks at
        bool verifying = false;
        bool held = false;
    };

    // The other job (deletions excepted) whose uploader writes one of the
    // job's files now, with that file; null when none.
    KiteProject* writerOf(const KiteProject* job, QString* path = nullptr) const;
    void hold(KiteProject* job, KiteProject* writer, const QString& path);
    void pollHeld();
    // Records what a listing asked for at `askedAt` shows.
    void recordListing(KiteProject* job, const QHash<QString, qint64>& listed, FarmFileLedger::Moment askedAt);
    // Marks the file as on the server in the jobs that wait for it.
    void offerWhole(int server, const QString& path, qint64 size);
    bool waitsForUploader(const KiteProject* job) const;
    void log(const QString& message, int level = 3) const;

    KiteSettings* m_settings;
    FarmFileLedger m_ledger;
    QHash<const KiteProject*, JobState> m_jobs;
    // Server and path -> jobs waiting for the uploader that still send it.
    QHash<QString, QList<QPointer<KiteProject>>> m_waiting;
    QList<QPointer<KiteProject>> m_held;
    QTimer m_holdTimer;
};
