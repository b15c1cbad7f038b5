#include "net/pendinganswers.h"

#include "jobs/kiteproject.h"
#include "net/netlogging.h"

namespace {
// Well below the flood limit of the server connection (200 per second), so
// that asking again after a long outage does not cut the connection itself.
constexpr int requestsPerStep = 20;
constexpr int stepMs = 250;
} // namespace

PendingAnswers::PendingAnswers(Sender sender, QObject* parent)
    : QObject(parent)
    , m_send(std::move(sender))
{
    m_pace.setInterval(stepMs);
    connect(&m_pace, &QTimer::timeout, this, &PendingAnswers::sendNext);
}

bool PendingAnswers::isTracked(const QString& action)
{
    static const QStringList tracked{QStringLiteral("createDirs"), QStringLiteral("getTexFolderContents"),
                                     QStringLiteral("checkFiles"), QStringLiteral("addjob"),
                                     QStringLiteral("getOutputDir"), QStringLiteral("getProjectFolderContents")};
    return tracked.contains(action);
}

QString PendingAnswers::key(const QString& action, const KiteProject* job)
{
    return action + QLatin1Char(' ') + QString::number(quintptr(job), 16);
}

void PendingAnswers::sent(const QString& action, const QJsonObject& data, KiteProject* job, const QString& custom,
                          const QString& customAction, const QString& text)
{
    if (!isTracked(action))
        return;
    Entry entry;
    entry.job = job;
    entry.forJob = job != nullptr;
    entry.action = action;
    entry.data = data;
    entry.custom = custom;
    entry.customAction = customAction;
    entry.text = text;
    m_entries.insert(key(action, job), entry);
}

void PendingAnswers::answered(const QString& action, KiteProject* job)
{
    if (isTracked(action))
        m_entries.remove(key(action, job));
}

bool PendingAnswers::stillWanted(const Entry& entry) const
{
    if (!entry.forJob)
        return true;
    const KiteProject* job = entry.job;
    if (!job || job->isDeleted || job->isDeletedLocal)
        return false;
    if (entry.action == QLatin1String("getOutputDir"))
        return !job->isDownloaded;
    // The upload handshake: a paused upload starts over when it is resumed.
    if (job->isUploadPaused)
        return false;
    if (entry.action == QLatin1String("addjob")) {
        // Not submitted yet: unknown to the server, or listed as waiting for
        // its start ("RENDERABLE", which keeps its id when submitted).
        return (job->jobId.isEmpty() || job->isRenderable) && !job->isRendering && !job->isQueued
            && !job->renderComplete && !job->isPaused;
    }
    return true;
}

void PendingAnswers::loggedInAgain(const QString& held)
{
    m_queue.clear();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (!stillWanted(it.value())) {
            it = m_entries.erase(it);
            continue;
        }
        if (it.value().action == QLatin1String("addjob"))
            it.value().awaitsProjectsList = true;
        else if (it.value().text != held)
            m_queue << it.key();
        ++it;
    }
    if (m_queue.isEmpty())
        return;
    qCDebug(lcNet) << "asking again for" << m_queue.size() << "answers lost with the connection";
    sendNext();
}

void PendingAnswers::projectsListed()
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (!it.value().awaitsProjectsList)
            continue;
        it.value().awaitsProjectsList = false;
        if (stillWanted(it.value()) && !m_queue.contains(it.key()))
            m_queue << it.key();
    }
    if (!m_queue.isEmpty() && !m_pace.isActive())
        sendNext();
}

void PendingAnswers::sendNext()
{
    int sentNow = 0;
    while (!m_queue.isEmpty() && sentNow < requestsPerStep) {
        const auto it = m_entries.constFind(m_queue.takeFirst());
        if (it == m_entries.constEnd() || !stillWanted(it.value()))
            continue;
        ++sentNow;
        // A copy: the request records itself again.
        const Entry entry = it.value();
        m_send(entry.action, entry.data, entry.job, entry.custom, entry.customAction);
    }
    if (m_queue.isEmpty())
        m_pace.stop();
    else if (!m_pace.isActive())
        m_pace.start();
}
