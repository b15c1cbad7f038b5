#include "net/pendinganswers.h"

#include "jobs/kiteproject.h"
#include "net/netlogging.h"
#include "net/requestqueue.h"

PendingAnswers::PendingAnswers(Sender sender, QObject* parent)
    : QObject(parent)
    , m_send(std::move(sender))
{
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

void PendingAnswers::sent(const QueuedRequest& request)
{
    // A job's request whose job went while it waited is nobody's concern.
    if (!isTracked(request.action) || (request.forJob && !request.job))
        return;
    Entry entry;
    entry.job = request.job;
    entry.forJob = request.forJob;
    entry.action = request.action;
    entry.data = request.data;
    entry.custom = request.custom;
    entry.customAction = request.customAction;
    entry.text = request.text;
    m_entries.insert(key(request.action, request.job), entry);
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
    QStringList again;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (!stillWanted(it.value())) {
            it = m_entries.erase(it);
            continue;
        }
        if (it.value().askedAgain) {
            ++it;
            continue;
        }
        if (it.value().action == QLatin1String("addjob"))
            it.value().awaitsProjectsList = true;
        else if (it.value().text != held)
            again << it.key();
        ++it;
    }
    if (again.isEmpty())
        return;
    qCDebug(lcNet) << "asking again for" << again.size() << "answers lost with the connection";
    sendAgain(again);
}

void PendingAnswers::projectsListed()
{
    QStringList again;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (!it.value().awaitsProjectsList)
            continue;
        it.value().awaitsProjectsList = false;
        if (stillWanted(it.value()))
            again << it.key();
    }
    sendAgain(again);
}

void PendingAnswers::sendAgain(const QStringList& keys)
{
    for (const QString& k : keys) {
        const auto it = m_entries.find(k);
        if (it == m_entries.end() || !stillWanted(it.value()))
            continue;
        it.value().askedAgain = true;
        // A copy: the request records itself anew when it leaves, which may
        // be at once.
        const Entry entry = it.value();
        m_send(entry.action, entry.data, entry.job, entry.custom, entry.customAction);
    }
}
