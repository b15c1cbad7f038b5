#include "jobs/projectsfolderwatch.h"

#include "jobs/cfgreader.h"
#include "jobs/jobindex.h"
#include "jobs/jobnames.h"
#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>

ProjectsFolderWatch::ProjectsFolderWatch(PluginNetConnection* plugin, KiteSettings* kiteSettings)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
{
}

void ProjectsFolderWatch::log(const QString& message, int level)
{
    m_settings->writeToLog(message, level);
}

void ProjectsFolderWatch::directoryChanged(const QString& path)
{
    if (m_plugin->directoryScanRunning) {
        m_plugin->directoryChangedAgain = true;
        return;
    }
    QString next = path;
    do {
        m_plugin->directoryScanRunning = true;
        pass(next);
        m_plugin->directoryScanRunning = false;
        if (!m_plugin->directoryChangedAgain)
            break;
        m_plugin->directoryChangedAgain = false;
        next = m_settings->localProjectsFolder;
    } while (true);
}

bool ProjectsFolderWatch::removeMarker(const QString& file, int& attempts)
{
    while (attempts < maxDeletionAttempts) {
        ++attempts;
        if (QFile::remove(file) || !QFile::exists(file))
            return true;
    }
    return false;
}

void ProjectsFolderWatch::openPortalMarkers(int& attempts)
{
    const QString folder = m_settings->localProjectsFolder + QLatin1Char('/');
    const QList<QPair<QString, QString>> pages{
        {QStringLiteral("opencc.txt"), m_settings->controlCenterUrl},
        {QStringLiteral("opencalculator.txt"), m_settings->calculatorUrl},
        {QStringLiteral("opentm.txt"), m_settings->teamManagerUrl},
        {QStringLiteral("openpayments.txt"), m_settings->paymentsUrl},
    };
    for (const auto& page : pages) {
        const QString marker = folder + page.first;
        if (!QFile::exists(marker))
            continue;
        removeMarker(marker, attempts);
        m_plugin->openLinkWithTokenSlot(page.second);
    }

    const QString withValues = folder + QStringLiteral("opencalcwithvalues.txt");
    if (QFile::exists(withValues)) {
        QFile file(withValues);
        if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            QTextStream stream(&file);
            stream.setCodec("UTF-8");
            const QString query = stream.readLine();
            file.close();
            m_plugin->openLinkWithTokenSlot(m_settings->calculatorUrl + query);
        }
        removeMarker(withValues, attempts);
    }
}

void ProjectsFolderWatch::startRequestedTransfers()
{
    const QFileInfoList files =
        QDir(m_settings->localProjectsFolder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& file : files) {
        if (file.fileName() == CfgReader::liveUploadListFileName() && !m_plugin->liveUploadRunning) {
            log(QStringLiteral("di2_orv_livefiles.txt found"));
            m_plugin->liveUploadRunning = true;
            auto* job = new KiteProject(m_settings, CfgReader::liveUploadJobName(), QStringLiteral("liveUploadId"),
                                        m_plugin);
            job->isLiveUpload = true;
            m_settings->jobList.append(job);
            job->retryUploadSlot(0);
        }
        if (file.fileName() == QLatin1String("di2_orv_refresh_ftp.txt"))
            m_plugin->appRefreshSlot();
    }
}

void ProjectsFolderWatch::announceNewJobs()
{
    const QString userFolder = m_settings->localProjectsFolder + QLatin1Char('/') + m_settings->username;
    // Sorted plainly: the files that start with a job's name follow each other.
    const QStringList files = JobNames::filesByName(userFolder);
    bool relevant = false;
    QString lastNewJob;
    for (const QString& fileName : qAsConst(files)) {
        if (!fileName.endsWith(QLatin1String("cfg")) || fileName.endsWith(QLatin1String("liveUploadJob.cfg")))
            continue;
        const QString name = fileName.left(fileName.size() - 4);
        log(QStringLiteral("jobNameFromFile: ") + name);

        if (KiteProject* known = m_settings->jobIndex().byName(name)) {
            log(QStringLiteral("skip cfg, assign local download dir from cfg"));
            m_plugin->cfgReader->readJobConfig(known, true, true);
            continue;
        }
        for (auto it = std::lower_bound(files.cbegin(), files.cend(), name); it != files.cend(); ++it) {
            const QString& other = *it;
            if (!other.startsWith(name))
                break;
            if (other.endsWith(QLatin1String("uploadfinished"))) {
                log(QStringLiteral("uploadfinished exists todo: state?") + name);
                break;
            }
            if (other.endsWith(QLatin1String("ulstarted"))) {
                log(QStringLiteral("ulstarted todo state") + name);
                break;
            }
        }
        log(QStringLiteral("2004 add project name from file: ") + name);
        relevant = true;
        lastNewJob = name;
    }

    if (!relevant)
        return;
    // The last new job's upload server goes with the request.
    const int serverNumber = m_plugin->cfgReader->serverNumberForUpload(lastNewJob);
    log(QStringLiteral("relevant change"));
    if (!m_settings->loggedIn) {
        log(QStringLiteral("not logged in, show login dialog"));
        m_plugin->loginRequiredForChange = true;
    }
    m_plugin->getProjectFolderContentsSlot(serverNumber);
}

void ProjectsFolderWatch::pass(const QString& path)
{
    int attempts = 0;
    openPortalMarkers(attempts);
    startRequestedTransfers();

    log(QStringLiteral("directory changed: ") + path);
    const QString refresh = m_settings->localProjectsFolder + QStringLiteral("/di2_orv_refresh.txt");
    if (!QFile::exists(refresh))
        return;
    const bool removed = QFile::remove(refresh);
    log(QStringLiteral("2001 remove refreshfile: ") + (removed ? QStringLiteral("1") : QStringLiteral("0")));
    announceNewJobs();
}
