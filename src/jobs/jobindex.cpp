#include "jobs/jobindex.h"

#include "jobs/kiteproject.h"

#include <QDir>

#include <algorithm>

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
        add(m_byName, job->name, {m_indexed, job});
        if (!job->jobId.isEmpty())
            add(m_byId, job->jobId, {m_indexed, job});
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
        Entries& entries = m_byOutputFolder[folderKey(*folder)];
        const bool known = std::any_of(entries.cbegin(), entries.cend(),
                                       [&entry](const Entry& e) { return e.job == entry.job; });
        if (!known)
            add(m_byOutputFolder, folderKey(*folder), entry);
    }
}

bool JobIndex::outputFolderUsedByOther(const QString& folder, const KiteProject* job)
{
    catchUp();
    const QString key = folderKey(folder);
    const auto found = m_byOutputFolder.find(key);
    if (found == m_byOutputFolder.end())
        return false;
    Entries& entries = found.value();
    for (int i = 0; i < entries.size();) {
        const KiteProject* other = entries.at(i).job;
        // A job that has moved on to another folder no longer uses this one.
        if (folderKey(other->localDownloadDir) != key && folderKey(other->localDownloadDirCustom) != key) {
            entries.remove(i);
            continue;
        }
        if (!(other->name == job->name && !other->isDeleted))
            return true;
        ++i;
    }
    return false;
}

int JobIndex::entryPosition(const QHash<QString, Entries>& index, const QString& key, const KiteProject* job)
{
    const auto found = index.constFind(key);
    if (found != index.constEnd()) {
        for (const Entry& entry : found.value()) {
            if (entry.job == job)
                return entry.position;
        }
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

void JobIndex::add(QHash<QString, Entries>& index, const QString& key, const Entry& entry)
{
    Entries& entries = index[key];
    // Mostly appended at the end; a renamed job goes to its place.
    auto at = std::upper_bound(entries.begin(), entries.end(), entry.position,
                               [](int position, const Entry& e) { return position < e.position; });
    entries.insert(at, entry);
}

const JobIndex::Entry* JobIndex::first(QHash<QString, Entries>& index, const QString& key, bool byName, Skip skip)
{
    const auto found = index.find(key);
    if (found == index.end())
        return nullptr;
    Entries& entries = found.value();
    // The hash's own key, equal to `key`: a job indexed under it shares its
    // text, so the comparison below need not read the text again.
    const QString& indexed = found.key();
    for (int i = 0; i < entries.size();) {
        const KiteProject* job = entries.at(i).job;
        // A job deleted for good is found by no look-up again; one that has
        // another name or id now is indexed under that one.
        if (job->isDeletedLocal || (byName ? job->name != indexed : job->jobId != indexed)) {
            entries.remove(i);
            continue;
        }
        if (!(skip == Skip::Deleted && job->isDeleted))
            return &entries.at(i);
        ++i;
    }
    return nullptr;
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
    if (id.isEmpty())
        return nullptr;
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
        add(m_byName, job->name, {position, job});
}

void JobIndex::idChanged(KiteProject* job, const QString& oldId)
{
    Q_UNUSED(oldId) // the old entry goes when a look-up meets it
    if (job->jobId.isEmpty())
        return;
    const int position = positionOf(job, job->name);
    if (position >= 0 && entryPosition(m_byId, job->jobId, job) < 0)
        add(m_byId, job->jobId, {position, job});
}
