#include "jobs/cfgreader.h"

#include "jobs/jobnames.h"
#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <limits>

Q_LOGGING_CATEGORY(lcJobsCfg, "kite.jobs.cfg")

namespace {

// Log levels of the reader's lines.
constexpr int LogDetail = 1;
constexpr int LogVerbose = 3;

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Integer header values: anything that is not a number counts as 0.
int intValue(const QString& value)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? number : 0;
}

// File sizes: a value that is not a number, or is negative, counts as 0 so that
// a damaged line cannot lower the job's upload total.
qint64 sizeValue(const QString& value)
{
    bool ok = false;
    const qint64 size = value.toLongLong(&ok);
    if (!ok || size < 0) {
        qCDebug(lcJobsCfg).noquote() << "invalid file size, using 0:" << value;
        return 0;
    }
    return size;
}

// The value of a file-section line: everything after the first "=", or
// nothing when the line has no "=".
QString sectionValue(const QString& line)
{
    const int eq = line.indexOf(QLatin1Char('='));
    return eq < 0 ? QString() : line.mid(eq + 1);
}

// True when any non-empty entry of the list occurs in the value, compared in
// lower case. Empty entries (an empty setting, a trailing ";") match nothing.
bool containsAnyEntry(const QString& value, const QStringList& entries)
{
    const QString lowerValue = value.toLower();
    for (const QString& entry : entries) {
        if (!entry.isEmpty() && lowerValue.contains(entry.toLower()))
            return true;
    }
    return false;
}

// The job's upload total grows by each file's size; a cfg listing sizes near
// the 64-bit limit must not wrap it around.
qint64 addSize(qint64 total, qint64 size)
{
    return size > std::numeric_limits<qint64>::max() - total ? std::numeric_limits<qint64>::max() : total + size;
}

// The render priority is 49 + N; a huge N stays within int instead of
// wrapping around to a negative priority.
int renderPriority(int n)
{
    const qint64 priority = 49 + static_cast<qint64>(n);
    return static_cast<int>(std::min<qint64>(priority, std::numeric_limits<int>::max()));
}

bool openUtf8(QFile& file, QIODevice::OpenMode mode, QTextStream& stream)
{
    if (!file.open(mode))
        return false;
    stream.setDevice(&file);
    stream.setCodec("UTF-8");
    return true;
}

} // namespace

CfgReader::CfgReader(KiteSettings* settings, QObject* parent)
    : QObject(parent), kiteSettings(settings)
{
}

QString CfgReader::cfgFilePath(const QString& jobName) const
{
    if (!JobNames::isUsableAsFileName(jobName))
        return QString();
    return kiteSettings->localProjectsFolder + QLatin1Char('/') + kiteSettings->username + QLatin1Char('/')
           + jobName + QLatin1String(".cfg");
}

QList<UploadFile> CfgReader::readJobConfig(KiteProject* job, bool checkOnly, bool headerOnly)
{
    QList<UploadFile> files;
    if (!job)
        return files;

    kiteSettings->writeToLog(QStringLiteral("read cfg: ") + job->name, LogVerbose);
    const QString fileName = cfgFilePath(job->name);
    if (fileName.isEmpty()) {
        // The name would lead outside the user's folder: there is no cfg.
        qCDebug(lcJobsCfg).noquote() << "job name is not a file name, no cfg:" << job->name;
        job->isLocal = false;
        return files;
    }

    if (job->isLiveUpload) {
        if (job->name == liveUploadJobName())
            convertLiveUploadList(fileName);
        else
            qCDebug(lcJobsCfg).noquote() << "live-upload flag on another job, list left alone:" << job->name;
    }

    QFile file(fileName);
    QTextStream in;
    if (!openUtf8(file, QIODevice::ReadOnly, in)) {
        kiteSettings->writeToLog(QStringLiteral("could not open file: ") + fileName, LogDetail);
        job->isLocal = false;
        return files;
    }
    job->isLocal = true;
    const bool firstRead = !job->cfgRead;

    bool inFileSection = job->isLiveUpload;
    bool restartDownloadDue = false;
    QString lastPath;
    QString lastPathLocal;
    bool hasPath = false;
    bool hasPathLocal = false;
    QSet<QString> dirSet;

    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.isEmpty())
            continue;

        // Header keys count wherever they stand: status lines are appended
        // after the file section.
        if (line.startsWith(QLatin1String("renderer="))) {
            job->isGpuJob = line.mid(9).toLower().contains(QLatin1String("gpu"));
        } else if (line.startsWith(QLatin1String("teamid="))) {
            job->teamid = intValue(line.mid(7));
        } else if (line.startsWith(QLatin1String("serverNumber="))) {
            if (intValue(line.mid(13)) == 2)
                job->serverNumber = 2;
        } else if (line.startsWith(QLatin1String("serverNumberUpload="))) {
            if (intValue(line.mid(19)) == 2)
                job->serverNumberUpload = 2;
        } else if (line.startsWith(QLatin1String("downloadpath="))) {
            job->setDownloadFolders(line.mid(13), job->localDownloadDirCustom);
        } else if (line.startsWith(QLatin1String("jobLocalId="))) {
            job->jobLocalId = line.mid(11);
            job->hasJobLocalId = true;
            kiteSettings->writeToLog(QStringLiteral("118 jobLocalId: ") + job->jobLocalId, LogVerbose);
        } else if (line.startsWith(QLatin1String("autostart=0"))) {
            // Toggle through the slot so that the menu's check mark follows;
            // reading never writes the cfg.
            if (job->autostart)
                job->setAutostartSlot(false);
            job->autostart = false;
        } else if (line.startsWith(QLatin1String("autostart=1"))) {
            if (!job->autostart)
                job->setAutostartSlot(false);
            job->autostart = true;
        } else if (line.startsWith(QLatin1String("autostart=2"))) {
            if (job->autostart)
                job->setAutostartSlot(false);
            job->autostart = false;
            if (!job->uploadRestartPending) {
                job->isUploaded = true;
                kiteSettings->writeToLog(
                    job->name + QLatin1String(" autostart after upload already started, disable, do not upload again"),
                    LogVerbose);
            }
        } else if (line.startsWith(QLatin1String("uploadfinished=true"))) {
            if (!job->uploadRestartPending)
                job->isUploaded = true;
        } else if (line.startsWith(QLatin1String("dirscreated=true"))) {
            job->dirsCreated = true;
        } else if (line.startsWith(QLatin1String("rendercomplete=true"))) {
            job->renderComplete = true;
        } else if (line.startsWith(QLatin1String("linkCreated=true"))) {
            job->linkCreated = true;
        } else if (line.startsWith(QLatin1String("downloaded=true"))) {
            job->isDownloaded = true;
            job->downloadedMark = true;
            job->checkForFilesToDownload = false;
        } else if (line.startsWith(QLatin1String("downloadFinishedSent=true"))) {
            job->downloadFinishedSent = true;
        } else if (line.startsWith(QLatin1String("restartDownload=true"))) {
            job->isDownloaded = false;
            job->downloadedMark = false;
            job->checkForFilesToDownload = true;
            restartDownloadDue = true;
        } else if (line.startsWith(QLatin1String("restartDownload=false"))) {
            job->isDownloaded = true;
            job->downloadedMark = true;
            job->checkForFilesToDownload = false;
            restartDownloadDue = false;
        } else if (line.startsWith(QLatin1String("restartDownloadCount="))) {
            job->restartDownloadCount = intValue(line.mid(21));
        }

        if (inFileSection) {
            if (line.startsWith(QLatin1Char('['))) {
                inFileSection = false;
                continue;
            }
            if (headerOnly)
                continue;
            if (line.startsWith(QLatin1String("pathsize"))) {
                const qint64 size = sizeValue(sectionValue(line));
                // An entry needs both of its paths; a group that lost one of
                // them must not inherit the previous group's file.
                if (!hasPath || !hasPathLocal) {
                    qCDebug(lcJobsCfg).noquote() << "pathsize without path and pathlocal, skipped:" << line;
                } else {
                    UploadFile uploadFile;
                    uploadFile.path = lastPath;
                    uploadFile.pathLocal = lastPathLocal;
                    uploadFile.size = size;
                    files.append(uploadFile);
                    if (!checkOnly) {
                        job->uploadBytesTotal = addSize(job->uploadBytesTotal, size);
                        kiteSettings->writeToLog(QStringLiteral("appended") + lastPath + QLatin1String(" : ")
                                                     + QString::number(size)
                                                     + QLatin1String(" jobObject->uploadBytesTotal: ")
                                                     + QString::number(job->uploadBytesTotal),
                                                 LogVerbose);
                        const int slash = lastPath.lastIndexOf(QLatin1Char('/'));
                        if (slash > 0)
                            dirSet.insert(lastPath.left(slash));
                    }
                }
                hasPath = false;
                hasPathLocal = false;
            } else if (line.startsWith(QLatin1String("paths="))) {
                kiteSettings->writeToLog(QStringLiteral("#paths = ") + line.mid(6), LogVerbose);
            } else if (line.startsWith(QLatin1String("path")) && !line.startsWith(QLatin1String("pathlocal"))) {
                lastPath = sectionValue(line);
                hasPath = true;
            } else if (line.startsWith(QLatin1String("pathlocal"))) {
                lastPathLocal = sectionValue(line);
                hasPathLocal = true;
            }
        } else if (line.startsWith(QLatin1String("prio="))) {
            job->renderPriority = renderPriority(intValue(line.mid(5)));
            kiteSettings->writeToLog(QStringLiteral("renderPriority: ") + QString::number(job->renderPriority),
                                     LogVerbose);
        } else if (line.startsWith(QLatin1String("[files]"))) {
            inFileSection = true;
        }
    }
    file.close();

    job->cfgRead = true;

    if (!job->dirsCreated && !checkOnly && !job->isUploaded && !job->waitingForCheckFiles) {
        kiteSettings->writeToLog(job->name + QLatin1String(" createDirs signal"), LogVerbose);
        job->createDirsSent = true;
        emit createDirsOnServerSignal(dirSet, job);
    }
    if (job->waitingForCheckFiles)
        kiteSettings->writeToLog(job->name + QLatin1String(" waitingForCheckFiles!"), LogVerbose);

    // A restart the cfg asks for is carried out once, when the cfg is first
    // read in this run. Later refreshes of the header must not restart it
    // again: that would resume a paused download and reset its error count.
    if (restartDownloadDue && !job->isDownloading) {
        if (firstRead) {
            qCDebug(lcJobsCfg).noquote() << "restart download after reading:" << job->name;
            job->restartDownloadSlot(true, true);
        } else {
            qCDebug(lcJobsCfg).noquote() << "download restart already done in this run:" << job->name;
        }
    }
    return files;
}

void CfgReader::convertLiveUploadList(const QString& cfgFileName)
{
    const QString listFileName = kiteSettings->localProjectsFolder + QLatin1Char('/') + liveUploadListFileName();
    QFile listFile(listFileName);
    QTextStream in;
    if (!openUtf8(listFile, QIODevice::ReadOnly, in)) {
        // Keep the cfg as it is: without a list there is nothing to replace it.
        kiteSettings->writeToLog(QStringLiteral("error opening cfg file 50"), LogDetail);
        return;
    }
    kiteSettings->writeToLog(QStringLiteral("liveUpdateStream opened"), LogVerbose);

    QFile cfgFile(cfgFileName);
    QTextStream out;
    if (!openUtf8(cfgFile, QIODevice::WriteOnly | QIODevice::Truncate, out)) {
        // Keep the list so that the next read can convert it.
        kiteSettings->writeToLog(QStringLiteral("could not open file: ") + cfgFileName, LogDetail);
        return;
    }
    kiteSettings->writeToLog(liveUploadJobName() + QLatin1String(": configstream opened"), LogVerbose);

    int number = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        const int bar = line.indexOf(QLatin1Char('|'));
        if (bar <= 0) {
            // No "|", or no local path in front of it: no file on this line.
            kiteSettings->writeToLog(QStringLiteral("file empty"), LogVerbose);
            continue;
        }
        QString localPath = line.left(bar);
        const QString remoteDir = line.mid(bar + 1);

        const qint64 size = QFileInfo(localPath).size();
        localPath.replace(QLatin1Char('\\'), QLatin1Char('/'));

        // The exporter writes the remote directory with a leading "/"; the
        // job's server paths are relative to its upload root.
        QString dir = remoteDir.mid(1);
        while (dir.endsWith(QLatin1Char('/')))
            dir.chop(1);
        const QString fileName = QLatin1Char('/') + localPath.mid(localPath.lastIndexOf(QLatin1Char('/')) + 1);
        // A file with an empty remote directory lies at the upload root.
        const QString serverPath = dir.isEmpty() ? fileName.mid(1) : dir + fileName;

        const QString n = QString::number(number++);
        out << "path" << n << '=' << serverPath << '\n';
        out << "pathlocal" << n << '=' << localPath << '\n';
        out << "pathsize" << n << '=' << size << '\n';
    }
    out.flush();
    cfgFile.close();
    listFile.close();

    const bool removed = QFile::remove(listFileName);
    kiteSettings->writeToLog(QStringLiteral("removed liveupdate files: ") + boolText(removed), LogVerbose);
}

int CfgReader::serverNumberForUpload(QString jobName)
{
    kiteSettings->writeToLog(QStringLiteral("kiteSettings->uploadAllToDc2: ") + boolText(kiteSettings->uploadAllToDc2),
                             LogVerbose);
    if (kiteSettings->uploadAllToDc2) {
        kiteSettings->writeToLog(QStringLiteral("19 upload to dc2"), LogVerbose);
        return 2;
    }

    const QString fileName = cfgFilePath(jobName);
    if (fileName.isEmpty())
        return 1;
    QFile file(fileName);
    QTextStream in;
    if (!openUtf8(file, QIODevice::ReadOnly, in))
        return 1;

    bool rendererMatches = false;
    bool programMatches = false;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.startsWith(QLatin1String("renderer=")))
            rendererMatches = containsAnyEntry(line.mid(9), kiteSettings->uploadToDc2Renderers);
        else if (line.startsWith(QLatin1String("program=")))
            programMatches = containsAnyEntry(line.mid(8), kiteSettings->uploadToDc2Programs);
    }
    qCDebug(lcJobsCfg).noquote() << "upload server of" << jobName << "renderer matches:" << rendererMatches
                                 << "program matches:" << programMatches;
    return rendererMatches && programMatches ? 2 : 1;
}
