#pragma once

// Shared set-up of the job tests: a settings object on a temporary application
// directory and projects folder, jobs made in it, captured URLs, and helpers
// for the job's flags, menu entries, icons and cfg file.

#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

// Receives the URLs the code under test hands to the desktop.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

class JobFixture
{
public:
    static constexpr const char* userName = "tester";

    void setUp()
    {
        dir = std::make_unique<QTemporaryDir>();
        projects = dir->filePath(QStringLiteral("projects"));
        QDir().mkpath(userFolder());
        {
            QSettings ini(dir->filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
            ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), projects);
            ini.setValue(QStringLiteral("UserData/username"), QString::fromLatin1(userName));
            ini.setValue(QStringLiteral("Settings/oldMenu"), true);
        }
        settings = std::make_unique<KiteSettings>();
        settings->setApplicationDirectory(dir->path());
        settings->load();
        settings->syncActive = true;
        settings->controlCenterUrl = QStringLiteral("https://portal.example/cc");
        settings->supportTicketUrl = QStringLiteral("https://portal.example/ticket");
        catcher = std::make_unique<UrlCatcher>();
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), catcher.get(), "open");
    }

    void tearDown()
    {
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        closeWindows();
        settings->jobList.clear();
        qDeleteAll(jobs);
        jobs.clear();
        settings.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        catcher.reset();
        dir.reset();
    }

    // Dialogs and message boxes the jobs opened.
    static void closeWindows()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows) {
            if (qobject_cast<QDialog*>(window))
                delete window;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    template <typename T>
    static QList<T*> openWindows()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QList<T*> found;
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows) {
            if (auto* typed = qobject_cast<T*>(window); typed && typed->isVisible())
                found << typed;
        }
        return found;
    }

    QString userFolder() const { return projects + QLatin1Char('/') + QString::fromLatin1(userName); }
    QString cfgFile(const QString& name) const { return userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"); }

    // A job in the settings' job list; with a cfg file when withCfg is set.
    KiteProject* makeJob(const QString& name, bool withCfg = true)
    {
        if (withCfg) {
            QFile file(cfgFile(name));
            file.open(QIODevice::WriteOnly);
            file.write("renderer=vray\r\n[files]\r\n");
        }
        auto* job = new KiteProject(settings.get(), name, QString());
        job->cfgRead = withCfg;
        jobs << job;
        settings->jobList << job;
        return job;
    }

    QByteArray cfgText(const QString& name) const
    {
        QFile file(cfgFile(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Every file and folder under the temporary directory except the log.
    QStringList tree() const
    {
        QStringList entries;
        QDirIterator it(dir->path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.contains(QStringLiteral("logFile.log")))
                entries << path + QLatin1Char(' ') + QString::number(QFileInfo(path).size());
        }
        entries.sort();
        return entries;
    }

    static bool KiteProject::*flag(const QString& name)
    {
        static const QHash<QString, bool KiteProject::*> flags{
            {QStringLiteral("isUnknown"), &KiteProject::isUnknown},
            {QStringLiteral("isLocal"), &KiteProject::isLocal},
            {QStringLiteral("isMarkedForUpload"), &KiteProject::isMarkedForUpload},
            {QStringLiteral("isUploading"), &KiteProject::isUploading},
            {QStringLiteral("isUploaded"), &KiteProject::isUploaded},
            {QStringLiteral("isQueued"), &KiteProject::isQueued},
            {QStringLiteral("isRendering"), &KiteProject::isRendering},
            {QStringLiteral("isRenderable"), &KiteProject::isRenderable},
            {QStringLiteral("renderComplete"), &KiteProject::renderComplete},
            {QStringLiteral("isDownloading"), &KiteProject::isDownloading},
            {QStringLiteral("isDownloaded"), &KiteProject::isDownloaded},
            {QStringLiteral("downloadedMark"), &KiteProject::downloadedMark},
            {QStringLiteral("isPaused"), &KiteProject::isPaused},
            {QStringLiteral("isDeleted"), &KiteProject::isDeleted},
            {QStringLiteral("isDownloadPaused"), &KiteProject::isDownloadPaused},
            {QStringLiteral("isUploadPaused"), &KiteProject::isUploadPaused},
            {QStringLiteral("isReadyForUpload"), &KiteProject::isReadyForUpload},
            {QStringLiteral("outOfRenderPoints"), &KiteProject::outOfRenderPoints},
            {QStringLiteral("hasDownloadError"), &KiteProject::hasDownloadError},
            {QStringLiteral("hasUploadError"), &KiteProject::hasUploadError},
            {QStringLiteral("renderErrorShown"), &KiteProject::renderErrorShown},
            {QStringLiteral("checkForFilesToDownload"), &KiteProject::checkForFilesToDownload},
            {QStringLiteral("cfgRead"), &KiteProject::cfgRead},
            {QStringLiteral("uploadRestartPending"), &KiteProject::uploadRestartPending},
            {QStringLiteral("stateAssigned"), &KiteProject::stateAssigned},
        };
        return flags.value(name);
    }

    // Sets the named flags to value, those named with a leading "!" to the
    // opposite; names that are not flags fail the test.
    static bool setFlags(KiteProject* job, const QStringList& names, bool value)
    {
        for (const QString& name : names) {
            const bool negated = name.startsWith(QLatin1Char('!'));
            const QString plain = negated ? name.mid(1) : name;
            if (!flag(plain))
                return false;
            job->*flag(plain) = negated ? !value : value;
        }
        return true;
    }

    // The flags of names whose value is not value.
    static QStringList flagsNot(const KiteProject* job, const QStringList& names, bool value)
    {
        QStringList wrong;
        for (const QString& name : names) {
            if (!flag(name) || job->*flag(name) != value)
                wrong << name;
        }
        return wrong;
    }

    // The entries whose visibility the state slots set, in this order:
    // Restart upload, Restart download, Pause upload, Pause download, Open
    // download folder, Autostart render, Delete Job..., High upload priority.
    // Makes the sub-menu when it is not made yet: what it shows then comes
    // from the record.
    static QString visibility(KiteProject* job)
    {
        job->subMenu();
        QString bits;
        for (const QAction* action : {job->restartUploadAction, job->restartDownloadAction, job->pauseUploadAction,
                                      job->pauseDownloadAction, job->openDownloadFolderAction, job->autostartAction,
                                      job->deleteAction, job->highUploadPriorityAction})
            bits += action->isVisible() ? QLatin1Char('1') : QLatin1Char('0');
        return bits;
    }

    // expected holds '0', '1' or '-' (unchanged from before).
    static QString expectedVisibility(const QString& before, const QString& expected)
    {
        QString bits = expected;
        for (int i = 0; i < bits.size(); ++i) {
            if (bits[i] == QLatin1Char('-'))
                bits[i] = before[i];
        }
        return bits;
    }

    static QImage image(const QIcon& icon)
    {
        return icon.pixmap(QSize(64, 64)).toImage().convertToFormat(QImage::Format_ARGB32);
    }

    // The status icon by its resource name; empty means no icon at all.
    static bool showsIcon(const KiteProject* job, const QString& iconName)
    {
        if (iconName.isEmpty())
            return job->jobAction->icon().isNull();
        // Both through the same icon pipeline: the pixmap is premultiplied.
        const QString path = QStringLiteral(":/menuicons/") + iconName + QStringLiteral(".png");
        return QFile::exists(path) && image(job->jobAction->icon()) == image(QIcon(path));
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<KiteSettings> settings;
    std::unique_ptr<UrlCatcher> catcher;
    QString projects;
    QList<KiteProject*> jobs;
};
