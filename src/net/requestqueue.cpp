#include "net/requestqueue.h"

#include "net/netlogging.h"

#include <QJsonDocument>

namespace {
QString actionOf(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("action")).toString();
}
} // namespace

RequestQueue::RequestQueue(QObject* parent)
    : QObject(parent)
{
    m_elapsed.start();
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_drainTimer, &QTimer::timeout, this, &RequestQueue::drain);
}

bool RequestQueue::bypassesQueue(const QString& action)
{
    return action == QLatin1String("login") || action == QLatin1String("ping");
}

bool RequestQueue::isMergeableRead(const QString& action)
{
    // Reads that change nothing on the server and whose answer, however often
    // it comes, is handled the same way.
    static const QSet<QString> reads{
        QStringLiteral("getProgressInfos"), QStringLiteral("getOutputDir"), QStringLiteral("getProjectFolderContents"),
        QStringLiteral("getTexFiles"),      QStringLiteral("getUserInfo"),  QStringLiteral("getRenderpoints"),
        QStringLiteral("textureCacheLookup"),
    };
    return reads.contains(action);
}

bool RequestQueue::isAccountRead(const QString& action)
{
    return action == QLatin1String("getRenderpoints") || action == QLatin1String("getUserInfo");
}

void RequestQueue::setBudget(int requestsPerWindow)
{
    m_budget = qMax(1, requestsPerWindow);
}

void RequestQueue::setClock(std::function<qint64()> clock)
{
    m_clock = std::move(clock);
}

qint64 RequestQueue::now() const
{
    return m_clock ? m_clock() : m_elapsed.elapsed();
}

bool RequestQueue::accountReadOnItsWay(const QString& action, qint64 now) const
{
    if (m_accountReadsWaiting.contains(action))
        return true;
    const auto sent = m_accountReadsSent.constFind(action);
    return sent != m_accountReadsSent.constEnd() && now - sent.value() < accountReadPatienceMs;
}

namespace {
// A hash of a request's data; equal data hash alike.
uint dataHash(const QJsonObject& data)
{
    uint hash = 0;
    for (auto it = data.constBegin(); it != data.constEnd(); ++it) {
        const QJsonValue value = it.value();
        uint valueHash = uint(value.type());
        if (value.isString())
            valueHash = qHash(value.toString());
        else if (value.isDouble())
            valueHash = qHash(value.toDouble());
        else if (value.isBool())
            valueHash = value.toBool() ? 1 : 2;
        else if (value.isObject())
            valueHash = dataHash(value.toObject());
        hash = hash * 31 + (qHash(it.key()) ^ valueHash);
    }
    return hash;
}
} // namespace

uint qHash(const ReadId& id, uint seed)
{
    return seed ^ qHash(id.action) ^ (qHash(id.jobName) * 31) ^ (qHash(id.custom) * 17)
        ^ (qHash(id.customAction) * 13) ^ (dataHash(id.data) * 7);
}

bool RequestQueue::alreadyOnItsWay(const ReadId& id)
{
    bool onItsWay = false;
    if (isAccountRead(id.action))
        onItsWay = accountReadOnItsWay(id.action, now());
    else if (isMergeableRead(id.action))
        onItsWay = m_waitingReadIds.contains(id);
    if (onItsWay)
        ++m_merged;
    return onItsWay;
}

bool RequestQueue::submit(const QueuedRequest& request)
{
    const qint64 at = now();
    const bool accountRead = isAccountRead(request.action);
    const bool mergeable = isMergeableRead(request.action);
    if ((accountRead && accountReadOnItsWay(request.action, at))
        || (mergeable && m_waitingReads.contains(request.text))) {
        ++m_merged;
        return false;
    }

    m_waiting.enqueue(request);
    if (mergeable) {
        m_waitingReads.insert(request.text);
        if (request.tracked)
            ++m_waitingReadIds[{request.action, request.jobName, request.custom, request.customAction, request.data}];
    }
    if (accountRead)
        m_accountReadsWaiting.insert(request.action);
    release(at);
    return true;
}

void RequestQueue::drain()
{
    release(now());
}

void RequestQueue::release(qint64 now)
{
    forgetOldSends(now);
    bool sent = false;
    while (!m_waiting.isEmpty() && m_recentSends.size() < m_budget) {
        if (m_connectionDown) {
            // The connection keeps this one and opens the socket again; any
            // further one would replace it.
            if (m_heldByConnection)
                break;
            m_heldByConnection = true;
        }
        const QueuedRequest request = m_waiting.dequeue();
        if (m_waitingReads.remove(request.text) && request.tracked) {
            const auto waiting =
                m_waitingReadIds.find({request.action, request.jobName, request.custom, request.customAction, request.data});
            if (waiting != m_waitingReadIds.end() && --waiting.value() <= 0)
                m_waitingReadIds.erase(waiting);
        }
        m_accountReadsWaiting.remove(request.action);
        handOver(request, now);
        sent = true;
    }

    if (m_waiting.isEmpty()) {
        m_drainTimer.stop();
        if (m_backlog) {
            qCDebug(lcRequestQueue) << "all waiting requests sent," << m_merged << "were already on their way";
            // A backlog of thousands leaves its room behind in the emptied
            // containers; it is given back.
            m_waiting = QQueue<QueuedRequest>();
            m_waitingReads.squeeze();
            m_waitingReadIds.squeeze();
        }
        m_backlog = false;
        m_merged = 0;
        return;
    }
    if (m_connectionDown) {
        m_drainTimer.stop();
        return;
    }
    if (!m_backlog) {
        m_backlog = true;
        qCDebug(lcRequestQueue) << "more than" << m_budget << "requests in a second, the next ones wait";
    }
    if (sent || !m_drainTimer.isActive()) {
        // Requests leave in batches of a tenth of the budget: the next batch
        // when that many sends of the window have dropped out of it. Fewer
        // wake-ups, and the socket gets several messages per write.
        const int batch = qMin(qMax(1, m_budget / 10), int(m_waiting.size()));
        const int freeSlots = m_budget - int(m_recentSends.size());
        const qint64 wait = freeSlots >= batch ? 0 : m_recentSends.at(batch - freeSlots - 1) + windowMs - now;
        m_drainTimer.start(int(qBound<qint64>(0, wait, windowMs)));
    }
}

void RequestQueue::handOver(const QueuedRequest& request, qint64 now)
{
    m_recentSends.enqueue(now);
    if (isAccountRead(request.action))
        m_accountReadsSent.insert(request.action, now);
    emit requestReady(request);
}

void RequestQueue::forgetOldSends(qint64 now)
{
    while (!m_recentSends.isEmpty() && now - m_recentSends.head() >= windowMs)
        m_recentSends.dequeue();
}

void RequestQueue::answered(const QString& action)
{
    m_accountReadsSent.remove(action);
}

void RequestQueue::connectionLost()
{
    m_connectionDown = true;
    m_drainTimer.stop();
    m_accountReadsSent.clear();
    if (!m_waiting.isEmpty())
        qCDebug(lcRequestQueue) << m_waiting.size() << "requests wait for the next login";
}

void RequestQueue::loggedInAgain(const QString& held)
{
    m_connectionDown = false;
    m_heldByConnection = false;
    m_accountReadsSent.clear();
    const QString heldAction = held.isEmpty() ? QString() : actionOf(held);
    if (isAccountRead(heldAction))
        m_accountReadsSent.insert(heldAction, now());
    // Let the waiting requests out once the login has been handled.
    if (!m_waiting.isEmpty())
        m_drainTimer.start(0);
}
