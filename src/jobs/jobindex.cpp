#include "jobs/jobindex.h"

#include "jobs/kiteproject.h"

#include <QDir>

JobIndex::JobIndex(const QList<KiteProject*>& jobs)
    : m_jobs(jobs)
{
}

void JobIndex::catchUp()
{
    const bool sameList = m_indexed <= m_jobs.size()
        && (m_indexed == 0 || m_jobs.at(m_indexed - 1) == m_lastIndexed);
    if (!sameList) {
        m_byName.clear();
        m_byId.clear();
        m_byOutputFolder.clear();
        m_indexed = 0;
    }
    for (; m_indexed < m_jobs.size(); ++m_indexed) {
        KiteProject* job = m_jobs.at(m_indexed);
        if (!job)
            continue;
        m_byName.insert(job->name, {m_indexed, job});
        m_byId.insert(job->jobId, {m_indexed, job});
        addOutputFolders({m_indexed, job});
    }
    m_lastIndexed = m_indexed > 0 ? m_jobs.at(m_indexed - 1) : nullptr;
}

QString JobIndex::folderKey(const QString& folder)
{
#ifdef Q_OS_WIN
    return QDir::cleanPath(folder).toLower();
#else
    return QDir::cleanPath(folder);
#endif
}

void JobIndex::addOutputFolders(const Entry& entry)
{
    for (const QString* folder : {&entry.job->localDownloadDir, &entry.job->localDownloadDirCustom}) {
        if (folder->isEmpty())
            continue;
        const QString key = folderKey(*folder);
        if (entryPosition(m_byOutputFolder, key, entry.job) < 0)
            m_byOutputFolder.insert(key, entry);
    }
}

bool JobIndex::outputFolderUsedByOther(const QString& folder, const KiteProject* job)
{
    catchUp();
    const QString key = folderKey(folder);
    for (auto it = m_byOutputFolder.find(key); it != m_byOutputFolder.end() && it.key() == key;) {
        const KiteProject* other = it->job;
        // A job that has moved on to another folder no longer uses this one.
        if (folderKey(other->localDownloadDir) != key && folderKey(other->localDownloadDirCustom) != key) {
            it = m_byOutputFolder.erase(it);
            continue;
        }
        if (!(other->name == job->name && !other->isDeleted))
            return true;
        ++it;
    }
    return false;
}

int JobIndex::entryPosition(const Index& index, const QString& key, const KiteProject* job)
{
    for (auto it = index.constFind(key); it != index.constEnd() && it.key() == key; ++it) {
        if (it->job == job)
            return it->position;
    }
    return -1;
}

int JobIndex::positionOf(KiteProject* job, const QString& name)
{
    catchUp();
    const int position = entryPosition(m_byName, name, job);
    // Without an entry the job is not in the list yet, or it was deleted for
    // good and a look-up that met it dropped its entry; only then is it
    // looked for in the list.
    if (position >= 0 || !job->isDeletedLocal)
        return position;
    return int(m_jobs.indexOf(job));
}

void JobIndex::outputFoldersChanged(KiteProject* job)
{
    const int position = positionOf(job, job->name);
    if (position >= 0)
        addOutputFolders({position, job});
}

const JobIndex::Entry* JobIndex::first(Index& index, const QString& key, bool byName, Skip skip)
{
    const Entry* found = nullptr;
    for (auto it = index.find(key); it != index.end() && it.key() == key;) {
        // The hash's own key, equal to `key`: a job indexed under it shares
        // its text, so the comparison below need not read the text again.
        const QString& indexed = it.key();
        const KiteProject* job = it->job;
        // A job deleted for good is found by no look-up again; one that has
        // another name or id now is indexed under that one.
        if (job->isDeletedLocal || (byName ? job->name != indexed : job->jobId != indexed)) {
            it = index.erase(it);
            continue;
        }
        if (!(skip == Skip::Deleted && job->isDeleted) && (!found || it->position < found->position))
            found = &it.value();
        ++it;
    }
    return found;
}

KiteProject* JobIndex::byNameOrId(const QString& name, const QString& id, Skip skip)
{
    catchUp();
    const Entry* byIdEntry = id.isEmpty() ? nullptr : first(m_byId, id, false, skip);
    const Entry* byNameEntry = first(m_byName, name, true, skip);
    if (byIdEntry && (!byNameEntry || byIdEntry->position < byNameEntry->position))
        return byIdEntry->job;
    return byNameEntry ? byNameEntry->job : nullptr;
}

KiteProject* JobIndex::byId(const QString& id, Skip skip)
{
    catchUp();
    const Entry* entry = first(m_byId, id, false, skip);
    return entry ? entry->job : nullptr;
}

KiteProject* JobIndex::byName(const QString& name, Skip skip)
{
    catchUp();
    const Entry* entry = first(m_byName, name, true, skip);
    return entry ? entry->job : nullptr;
}

void JobIndex::renamed(KiteProject* job, const QString& oldName)
{
    // The old entry stays until a look-up meets it. A job indexed only now
    // is under its new name already.
    const int position = positionOf(job, oldName);
    if (position >= 0 && entryPosition(m_byName, job->name, job) < 0)
        m_byName.insert(job->name, {position, job});
}

void JobIndex::idChanged(KiteProject* job, const QString& oldId)
{
    Q_UNUSED(oldId) // the old entry goes when a look-up meets it
    const int position = positionOf(job, job->name);
    if (position >= 0 && entryPosition(m_byId, job->jobId, job) < 0)
        m_byId.insert(job->jobId, {position, job});
}
