#include "jobs/jobdeleter.h"

#include "jobs/cfgreader.h"
#include "jobs/jobnames.h"
#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>

JobDeleter::JobDeleter(KiteSettings* kiteSettings, KiteProject* job, QObject* parent)
    : QObject(parent)
    , m_settings(kiteSettings)
    , m_job(job)
{
    log(QStringLiteral("10 JobDeleter..."));
}

void JobDeleter::log(const QString& message, int level)
{
    m_settings->writeToLog(message, level);
}

QString JobDeleter::fileInUserFolder(const QString& userFolder, const QString& relativePath)
{
    if (relativePath.isEmpty() || QDir::isAbsolutePath(relativePath) || relativePath.contains(QLatin1Char('\\'))
        || relativePath.contains(QLatin1Char(':')))
        return QString();
    const QString root = QDir::cleanPath(userFolder);
    const QString candidate = QDir::cleanPath(root + QLatin1Char('/') + relativePath);
    if (!candidate.startsWith(root + QLatin1Char('/')))
        return QString();
    return candidate;
}

void JobDeleter::removeFile(const QString& path, const QString& logText)
{
    const bool removed = QFile::remove(path);
    log(logText + (removed ? QStringLiteral("1") : QStringLiteral("0")));
}

void JobDeleter::run()
{
    KiteProject* job = m_job;
    if (!job) {
        deleteLater();
        return;
    }
    emit job->pauseDownloadSignal();
    job->announceUploadStop();
    emit job->pauseUploadSignal();
    m_cfgReader = new CfgReader(m_settings, this);
    job->setDeleted();
    job->alreadyUploadingFilesHash.clear();

    const QString userFolder = m_settings->localProjectsFolder + QLatin1Char('/') + m_settings->username;
    if (job->isLiveUpload) {
        log(QStringLiteral("24 is liveUploadJob"));
    } else {
        log(QStringLiteral("27 no liveUploadJob"));
        QSet<QString> toDelete;
        for (const UploadFile& file : m_cfgReader->readJobConfig(job, true, false))
            toDelete.insert(file.path);
        if (toDelete.isEmpty()) {
            log(QStringLiteral("no tex files to delete"));
        } else {
            for (KiteProject* other : qAsConst(m_settings->jobList)) {
                if (other == job) {
                    log(QStringLiteral("same job, continue; 53"));
                    continue;
                }
                if (other->isDeletedLocal) {
                    log(QStringLiteral("already deleted locally, skip"));
                    continue;
                }
                log(QStringLiteral("54 job to compare: ") + other->name);
                const QList<UploadFile> otherFiles = m_cfgReader->readJobConfig(other, true, false);
                log(QStringLiteral("texListDelete.size() before compare: ") + QString::number(toDelete.size()));
                for (const UploadFile& file : otherFiles) {
                    if (toDelete.remove(file.path))
                        log(QStringLiteral("60: remove from texListDelete: ") + file.path);
                }
            }
            log(QStringLiteral("fileSetDelete left files: ") + QString::number(toDelete.size()));
            for (const QString& path : qAsConst(toDelete)) {
                const QString file = fileInUserFolder(userFolder, path);
                log(QStringLiteral("82 remove texfile: ") + path);
                if (file.isEmpty()) {
                    // A cfg must not make the client delete anything outside
                    // the user's projects folder.
                    log(QStringLiteral("remove texfile skipped, path outside the projects folder: ") + path, 0);
                    continue;
                }
                removeFile(file, QStringLiteral("83 remove texfile: "));
            }
        }
    }

    log(QStringLiteral("delete config + scenefile"));
    if (JobNames::isUsableAsFileName(job->name)) {
        const QString base = userFolder + QLatin1Char('/') + job->name;
        removeFile(base + QStringLiteral(".cfg"), QStringLiteral("remove cfg: "));
        removeFile(base, QStringLiteral("remove scenefile: "));
        removeFile(base + QStringLiteral(".jpg"), QStringLiteral("remove jpg: "));
        removeFile(base + QStringLiteral(".trialinfo"), QStringLiteral("remove trialinfo: "));
    } else {
        log(QStringLiteral("job name is not a file name, no job files removed: ") + job->name, 0);
    }

    job->isDeletedLocal = true;
    job->rename(job->name + QStringLiteral("(deleted)"));
    // The tray drops the entry of a job deleted here.
    if (job->jobAction)
        job->jobAction->setVisible(false);
    deleteLater();
}
