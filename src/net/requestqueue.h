#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

class KiteProject;

// One request on its way to the server: the envelope as it goes out, and
// what it was made from, so that it can be asked for again.
struct QueuedRequest
{
    QString action;
    QString text; // the serialised envelope
    QJsonObject data; // the request's data as its sender gave it
    QPointer<KiteProject> job;
    bool forJob = false; // made for a job (which may be gone by now)
    QString custom;
    QString customAction;
    // Reads looked up before their envelope was made: the routing job's name.
    QString jobName;
    bool tracked = false;
};

// What a read's envelope is made of: two reads with equal ids make the same
// envelope.
struct ReadId
{
    QString action;
    QString jobName;
    QString custom;
    QString customAction;
    QJsonObject data;

    bool operator==(const ReadId& other) const
    {
        return action == other.action && jobName == other.jobName && custom == other.custom
            && customAction == other.customAction && data == other.data;
    }
};
uint qHash(const ReadId& id, uint seed = 0);

// The way out for the plug-in's requests to the job-queue server (all but the
// login and the keep-alive ping). It keeps their order and paces them: at most
// `budget` requests leave in any 1000 ms, below what the server accepts, so
// that a burst (a projects list naming thousands of jobs, a farm reporting on
// many jobs at once) waits here instead of tripping the server's limit.
//
// A request leaves at once when the budget allows and nothing waits; the rest
// wait and one single-shot timer lets them out as the budget frees up.
//
// Reads whose every copy gives the same answer are not asked twice: a read
// identical to one still waiting is dropped, and the account-wide reads
// (render points, user information) are not asked again while one is on its
// way, waiting here or sent and not yet answered. Requests whose order or
// every copy matters (progress reports, answers to application requests, the
// upload handshake, files) always go out, each one.
//
// While the connection is down it keeps only one message (and opens the
// socket again when it gets one): after a lost connection one request still
// goes to it, the rest wait here until the next login.
class RequestQueue : public QObject
{
    Q_OBJECT
public:
    static constexpr int defaultBudget = 150;
    static constexpr int windowMs = 1000;
    // An account read whose answer has not come after this long no longer
    // holds back the next one.
    static constexpr int accountReadPatienceMs = 120000;

    explicit RequestQueue(QObject* parent = nullptr);

    // The login and the keep-alive ping do not wait behind a burst.
    static bool bypassesQueue(const QString& action);
    static bool isMergeableRead(const QString& action);
    static bool isAccountRead(const QString& action);

    // Takes a request. Returns false when it was dropped because the same
    // answer is already on its way; true when it left or waits.
    bool submit(const QueuedRequest& request);

    // Whether a read made of these would be dropped (the same read waits, or
    // an account read is on its way): the plug-in asks before it builds the
    // envelope, and then submits it with `tracked` set. Counts it as merged
    // when so.
    bool alreadyOnItsWay(const ReadId& id);

    // An answer came from the server (any action).
    void answered(const QString& action);
    // The connection is down: the waiting requests stay until the next
    // login; answers asked for on it will not come.
    void connectionLost();
    // Logged in on a new connection; `held` is the message the connection
    // kept while it was down and has just sent itself.
    void loggedInAgain(const QString& held);

    int waitingCount() const { return int(m_waiting.size()); }
    int budget() const { return m_budget; }
    const QTimer& drainTimer() const { return m_drainTimer; }

    // Tests set a smaller budget and their own clock (milliseconds).
    void setBudget(int requestsPerWindow);
    void setClock(std::function<qint64()> clock);

public slots:
    // Lets out as many waiting requests as the budget allows (the timer's slot).
    void drain();

signals:
    // A request goes to the connection now.
    void requestReady(const QueuedRequest& request);

private:
    qint64 now() const;
    void forgetOldSends(qint64 now);
    void release(qint64 now);
    void handOver(const QueuedRequest& request, qint64 now);
    bool accountReadOnItsWay(const QString& action, qint64 now) const;

    QQueue<QueuedRequest> m_waiting;
    QSet<QString> m_waitingReads; // texts of the mergeable reads that wait
    QHash<ReadId, int> m_waitingReadIds; // the tracked reads that wait, with their copies
    QSet<QString> m_accountReadsWaiting; // actions of the account reads that wait
    QHash<QString, qint64> m_accountReadsSent; // action -> when it left, until answered
    QQueue<qint64> m_recentSends; // times of the sends in the last window
    QTimer m_drainTimer;
    QElapsedTimer m_elapsed;
    std::function<qint64()> m_clock;
    int m_budget = defaultBudget;
    bool m_connectionDown = false;
    bool m_heldByConnection = false; // since the loss, a request went to the connection
    bool m_backlog = false; // requests have waited since the queue last ran empty
    int m_merged = 0; // dropped since the queue last ran empty
};
