#include "jobs/kiteproject.h"

#include "jobs/jobindex.h"
#include "jobs/jobnames.h"
#include "maintenance/linkcreator.h"
#include "settings/kitesettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringBuilder>

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

} // namespace

void KiteProject::setDownloadFolders(const QString& folder, const QString& customFolder)
{
    localDownloadDir = folder;
    // Mostly the same path: then both fields share one text.
    localDownloadDirCustom = customFolder == folder ? localDownloadDir : customFolder;
    if (kiteSettings)
        kiteSettings->jobIndex().outputFoldersChanged(this);
}

QString KiteProject::defaultDownloadDir() const
{
    if (!kiteSettings || !JobNames::isUsableAsFileName(name))
        return QString();
    // Built in one piece: every job keeps this path, and a string grown by
    // appending keeps its spare room.
    return kiteSettings->localProjectsFolder % QLatin1Char('/') % kiteSettings->username
        % QLatin1String("/OrvelKite/Download/output/") % name;
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
    // Made once per folder and phase: a state reported again touches no file.
    if (finished == m_shortcutFinished && !target.isEmpty() && target == m_shortcutTarget)
        return;
    const QString link = downloadShortcutPath();
    if (target.isEmpty() || link.isEmpty() || isDeleted || isDeletedLocal || isUpdateJob)
        return;
    if (!QDir().mkpath(target) || !QDir().mkpath(QFileInfo(link).absolutePath())) {
        log(QStringLiteral(": could not create the folders of the shortcut: ") + link, 1);
        return;
    }
    m_shortcutTarget = target;
    m_shortcutFinished = finished;
    const QString icon = kiteSettings->applicationDirectory()
        + (finished ? QStringLiteral("/orvelfoldericon_finished.ico")
                    : QStringLiteral("/orvelfoldericon_downloading.ico"));
    (new LinkCreator)->createLink(link, target, icon);
}

void KiteProject::createLocalDownloadDir(bool restart)
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
    while (kiteSettings->jobIndex().outputFolderUsedByOther(candidate, this)) {
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

    setDownloadFolders(localDownloadDir, QFileInfo(candidate).absoluteFilePath());
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
