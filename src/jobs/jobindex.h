#pragma once

#include "kiteshared_export.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QVarLengthArray>

class KiteProject;

// Look-ups of jobs by name and by id that do not walk the whole job list.
// The list (KiteSettings::jobList) stays the order of record: among the jobs
// that match, the first one in list order wins, as a walk would find it.
// Jobs appended to the list are indexed on the next look-up; a job's name and
// id change through KiteProject::rename and KiteProject::setJobId, which tell
// the index (a plain assignment to the fields would hide the job from it).
// A list that shrank or changed in the middle is indexed anew.
class KITESHARED_EXPORT JobIndex
{
public:
    explicit JobIndex(const QList<KiteProject*>& jobs);

    // Which deleted jobs a look-up skips.
    enum class Skip {
        Deleted,      // isDeleted or isDeletedLocal
        DeletedLocal, // isDeletedLocal only
    };

    // The first job whose id equals `id` (when `id` is not empty) or whose
    // name equals `name`; null when none.
    KiteProject* byNameOrId(const QString& name, const QString& id, Skip skip = Skip::Deleted);
    // The first job whose id equals `id`. A job the farm has not given an id
    // yet is never found by id: an empty `id` finds nothing.
    KiteProject* byId(const QString& id, Skip skip = Skip::Deleted);
    KiteProject* byName(const QString& name, Skip skip = Skip::Deleted);

    // Whether a job other than `job` (jobs of its name that are not deleted
    // do not count) has `folder` as its output folder (localDownloadDir or
    // localDownloadDirCustom).
    bool outputFolderUsedByOther(const QString& folder, const KiteProject* job);

    // The job's name or id changed from `old`; its output folders changed.
    void renamed(KiteProject* job, const QString& oldName);
    void idChanged(KiteProject* job, const QString& oldId);
    void outputFoldersChanged(KiteProject* job);

private:
    struct Entry
    {
        int position;
        KiteProject* job;
    };
    // Nearly every key has one job: it is kept in the hash's own node.
    using Entries = QVarLengthArray<Entry, 1>;

    void catchUp();
    void add(QHash<QString, Entries>& index, const QString& key, const Entry& entry);
    void addOutputFolders(const Entry& entry);
    // Where the job stands in the list, -1 when it is not in it; `name` is
    // the name it was indexed under.
    int positionOf(KiteProject* job, const QString& name);
    static int entryPosition(const QHash<QString, Entries>& index, const QString& key, const KiteProject* job);
    // Output folders compare as this system compares paths.
    static QString folderKey(const QString& folder);
    // The first entry under `key` whose job still has that key and is not
    // skipped; entries of jobs deleted for good, or renamed, are dropped on
    // the way.
    const Entry* first(QHash<QString, Entries>& index, const QString& key, bool byName, Skip skip);

    const QList<KiteProject*>& m_jobs;
    QHash<QString, Entries> m_byName;
    QHash<QString, Entries> m_byId;
    QHash<QString, Entries> m_byOutputFolder;
    int m_indexed = 0;
    const KiteProject* m_lastIndexed = nullptr; // the job at m_indexed - 1
};
