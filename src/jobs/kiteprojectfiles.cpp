#include "jobs/kiteproject.h"

#include "jobs/jobnames.h"
#include "maintenance/linkcreator.h"
#include "settings/kitesettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

// The job's folders on this machine: its default output folder and the
// shortcut to its output next to the other jobs' shortcuts.

namespace {

constexpr int maxCollisionScans = 500;

// A folder is taken when it holds anything a user sees; hidden and system
// entries do not count.
bool isTakenFolder(const QString& path)
{
    const QDir dir(path);
    return dir.exists() && !dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty();
}

bool samePath(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    return QDir::cleanPath(a).compare(QDir::cleanPath(b), cs) == 0;
}

} // namespace

OutputFolderSet::OutputFolderSet(const QList<KiteProject*>& jobs)
{
    for (const KiteProject* job : jobs) {
        if (!job)
            continue;
        add(job->localDownloadDir, job);
        add(job->localDownloadDirCustom, job);
    }
}

QString OutputFolderSet::key(const QString& folder)
{
#ifdef Q_OS_WIN
    return QDir::cleanPath(folder).toLower();
#else
    return QDir::cleanPath(folder);
#endif
}

void OutputFolderSet::add(const QString& folder, const KiteProject* job)
{
    if (folder.isEmpty())
        return;
    QVector<const KiteProject*>& users = m_users[key(folder)];
    if (!users.contains(job))
        users.append(job);
}

bool OutputFolderSet::usedByOther(const QString& folder, const KiteProject* job) const
{
    const auto found = m_users.constFind(key(folder));
    if (found == m_users.constEnd())
        return false;
    for (const KiteProject* other : found.value()) {
        if (other->name == job->name && !other->isDeleted)
            continue;
        // A job that has moved on to another folder since does not count.
        if (samePath(folder, other->localDownloadDir) || samePath(folder, other->localDownloadDirCustom))
            return true;
    }
    return false;
}

QString KiteProject::defaultDownloadDir() const
{
    if (!kiteSettings || !JobNames::isUsableAsFileName(name))
        return QString();
    return userFolder() + QStringLiteral("/OrvelKite/Download/output/") + name;
}

QString KiteProject::effectiveDownloadDir() const
{
    return localDownloadDirCustom.isEmpty() ? localDownloadDir : localDownloadDirCustom;
}

// The shortcut keeps the ".lnk" name on every system: the shortcuts share
// their folder with "output", which a job named so must not replace.
QString KiteProject::downloadShortcutPath() const
{
    if (!kiteSettings || !JobNames::isUsableAsFileName(name))
        return QString();
    return userFolder() + QStringLiteral("/OrvelKite/Download/") + name + QStringLiteral(".lnk");
}

void KiteProject::ensureDownloadShortcut(bool finished)
{
    const QString target = effectiveDownloadDir();
    const QString link = downloadShortcutPath();
    if (target.isEmpty() || link.isEmpty() || isDeleted || isDeletedLocal || isUpdateJob)
        return;
    // Made once per folder and phase: a state reported again touches no file.
    const QString wanted = target + (finished ? QStringLiteral("|finished") : QStringLiteral("|running"));
    if (wanted == m_shortcutMade)
        return;
    if (!QDir().mkpath(target) || !QDir().mkpath(QFileInfo(link).absolutePath())) {
        log(QStringLiteral(": could not create the folders of the shortcut: ") + link, 1);
        return;
    }
    m_shortcutMade = wanted;
    const QString icon = kiteSettings->applicationDirectory()
        + (finished ? QStringLiteral("/orvelfoldericon_finished.ico")
                    : QStringLiteral("/orvelfoldericon_downloading.ico"));
    (new LinkCreator)->createLink(link, target, icon);
}

void KiteProject::createLocalDownloadDir(bool restart)
{
    OutputFolderSet foldersInUse(kiteSettings ? kiteSettings->jobList : QList<KiteProject*>());
    createLocalDownloadDir(restart, foldersInUse);
}

void KiteProject::createLocalDownloadDir(bool restart, OutputFolderSet& foldersInUse)
{
    log(QStringLiteral(": createLocalDownloadDir"));
    const QString base = defaultDownloadDir();
    if (base.isEmpty()) {
        log(QStringLiteral(": no default output folder, the job name is not a file name"), 1);
        return;
    }

    localDownloadDirCustom = base;
    QString candidate = base;
    for (int n = 1; isTakenFolder(candidate); ++n)
        candidate = base + QLatin1Char('_') + QString::number(n);

    // Another job may already use the candidate (possibly before its folder
    // got any files): move on until no job does.
    int k = 1;
    int scans = 0;
    while (foldersInUse.usedByOther(candidate, this)) {
        if (scans == maxCollisionScans) {
            log(QStringLiteral(": 1969 emergency exit"), 0);
            break;
        }
        ++scans;
        ++k;
        candidate = base + QLatin1Char('_') + QString::number(k);
        while (isTakenFolder(candidate)) {
            ++k;
            candidate = base + QLatin1Char('_') + QString::number(k);
        }
    }

    localDownloadDirCustom = QFileInfo(candidate).absoluteFilePath();
    foldersInUse.add(localDownloadDirCustom, this);
    if (!QFileInfo::exists(localDownloadDirCustom)) {
        if (QDir().mkpath(localDownloadDirCustom))
            log(QStringLiteral(": dir created:") + localDownloadDirCustom);
        else
            log(QStringLiteral(": could not create dir:") + localDownloadDirCustom, 0);
    }

    log(QStringLiteral(": writing new path to config:") + localDownloadDirCustom);
    appendTextToConfig(QStringLiteral("\r\ndownloadpath=") + localDownloadDirCustom);

    if (restart)
        restartDownloadSlot(true, true);
}
