#pragma once

// Set-up of the job tests: settings and jobs in a temporary folder, the URLs
// handed to the desktop, and helpers for flags, menu entries, icons and dialogs.

#include "jobs/cfgreader.h"
#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QMenu>
#include <QtTest>

#include <functional>
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

// Joins lines with the cfg's "\r\n" line ends.
inline QByteArray crlf(const QStringList& lines) { return (lines.join("\r\n") + "\r\n").toUtf8(); }
inline QStringList words(const char* text, char sep = ' ') { return QString(text).split(sep, Qt::SkipEmptyParts); }
// QFETCH as an expression.
template <typename T>
T fetch(const char* name) { return *static_cast<T*>(QTest::qData(name, ::qMetaTypeId<T>())); }

class JobFixture
{
public:
    void setUp()
    {
        // Folder questions are answered through the dialog's widgets, as the
        // reference host answers them; Windows would show its own picker.
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        qRegisterMetaType<KiteProject*>("KiteProject*");
        qRegisterMetaType<QSet<QString>>("QSet<QString>");
        dir = std::make_unique<QTemporaryDir>();
        projects = dir->filePath("projects");
        QDir().mkpath(userFolder());
        {
            QSettings ini(dir->filePath("settings.ini"), QSettings::IniFormat);
            ini.setValue("PathOptions/localProjectsFolder", projects);
            ini.setValue("UserData/username", "tester");
            ini.setValue("Settings/oldMenu", true);
        }
        settings = std::make_unique<KiteSettings>();
        settings->setApplicationDirectory(dir->path());
        settings->load();
        settings->syncActive = true;
        settings->controlCenterUrl = "https://portal.example/cc";
        settings->supportTicketUrl = "https://portal.example/ticket";
        reader = std::make_unique<CfgReader>(settings.get());
        catcher = std::make_unique<UrlCatcher>();
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), catcher.get(), "open");
    }

    void tearDown()
    {
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (QWidget* window : QApplication::topLevelWidgets())
            delete qobject_cast<QDialog*>(window);
        settings->jobList.clear();
        qDeleteAll(jobs);
        jobs.clear();
        reader.reset();
        settings.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        catcher.reset();
        // The log file in the folder is open; Windows removes no open file.
        LogWriter::instance().close();
        dir.reset();
    }

    template <typename T>
    static QList<T*> openWindows()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QList<T*> found;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* typed = qobject_cast<T*>(window); typed && typed->isVisible())
                found << typed;
        }
        return found;
    }

    // Runs action, which opens a modal T, and lets answer handle it on screen; true if it was answered.
    template <typename T>
    static bool answerModal(const std::function<void()>& action, const std::function<void(T*)>& answer)
    {
        bool answered = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const QList<T*> windows = openWindows<T>();
            if (!windows.isEmpty() && !answered) {
                answered = true;
                answer(windows.first());
            }
        });
        poll.start(10);
        action();
        return answered;
    }

    QString userFolder() const { return projects + "/tester"; }
    QString cfgFile(const QString& name) const { return userFolder() + '/' + name + ".cfg"; }
    QString downloadFolder() const { return userFolder() + QStringLiteral("/OrvelKite/Download/"); }
    QByteArray cfgText(const QString& name) const { return readFile(cfgFile(name)); }

    static void writeFile(const QString& path, const QByteArray& content)
    {
        QFile file(path);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(content) >= 0);
    }
    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A job in the settings' job list; with a cfg file when withCfg is set.
    KiteProject* makeJob(const QString& name, bool withCfg = true)
    {
        if (withCfg)
            writeFile(cfgFile(name), "renderer=vray\r\n[files]\r\n");
        auto* job = new KiteProject(settings.get(), name, QString());
        job->cfgRead = withCfg;
        jobs << job;
        settings->jobList << job;
        return job;
    }

    // Every file and folder of the temporary directory but the log.
    QStringList tree() const
    {
        QStringList entries;
        for (QDirIterator it(dir->path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                             QDirIterator::Subdirectories);
             it.hasNext();)
            entries << it.next() + ' ' + QString::number(it.fileInfo().size());
        entries.sort();
        return entries.filter(QRegularExpression("^(?!.*logFile.log)"));
    }

    static bool KiteProject::*flag(const QString& name)
    {
#define KITE_FLAG(f) {QStringLiteral(#f), &KiteProject::f}
        static const QHash<QString, bool KiteProject::*> flags{
            KITE_FLAG(isUnknown), KITE_FLAG(isLocal), KITE_FLAG(isMarkedForUpload), KITE_FLAG(isUploading),
            KITE_FLAG(isUploaded), KITE_FLAG(isQueued), KITE_FLAG(isRendering), KITE_FLAG(isRenderable),
            KITE_FLAG(renderComplete), KITE_FLAG(isDownloading), KITE_FLAG(isDownloaded), KITE_FLAG(downloadedMark),
            KITE_FLAG(isPaused), KITE_FLAG(isDeleted), KITE_FLAG(isDownloadPaused), KITE_FLAG(isUploadPaused),
            KITE_FLAG(isReadyForUpload), KITE_FLAG(outOfRenderPoints), KITE_FLAG(hasDownloadError),
            KITE_FLAG(hasUploadError), KITE_FLAG(renderErrorShown), KITE_FLAG(checkForFilesToDownload),
            KITE_FLAG(cfgRead), KITE_FLAG(uploadRestartPending), KITE_FLAG(stateAssigned),
            KITE_FLAG(waitingForCheckFiles), KITE_FLAG(autostart), KITE_FLAG(isDeletedLocal), KITE_FLAG(isUpdateJob),
            KITE_FLAG(waitsForOtherUpload)};
#undef KITE_FLAG
        return flags.value(name);
    }

    // Sets the named flags, clears those named with a leading "!"; false for a name that is no flag.
    static bool setFlags(KiteProject* job, const QStringList& names)
    {
        for (const QString& name : names) {
            const bool cleared = name.startsWith(QLatin1Char('!'));
            if (!flag(name.mid(cleared)))
                return false;
            job->*flag(name.mid(cleared)) = !cleared;
        }
        return true;
    }

    // The names whose flag is not as named: set, or with a leading "!" cleared.
    static QStringList flagsNot(const KiteProject* job, const QStringList& names)
    {
        QStringList wrong;
        for (const QString& name : names) {
            const bool cleared = name.startsWith(QLatin1Char('!'));
            if (!flag(name.mid(cleared)) || job->*flag(name.mid(cleared)) == cleared)
                wrong << name;
        }
        return wrong;
    }

    // '0' or '1' for Restart upload, Restart download, Pause upload, Pause download, Open download
    // folder, Autostart render, Delete Job..., High upload priority, in a sub-menu made as late as it may.
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

    static QImage image(const QIcon& icon) { return icon.pixmap(64).toImage().convertToFormat(QImage::Format_ARGB32); }

    // The status icon by its resource name; empty means no icon at all.
    static bool showsIcon(const KiteProject* job, const QString& name)
    {
        const QString path = ":/menuicons/" + name + ".png";
        return name.isEmpty() ? job->jobAction->icon().isNull()
                              : QFile::exists(path) && image(job->jobAction->icon()) == image(QIcon(path));
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<KiteSettings> settings;
    std::unique_ptr<CfgReader> reader;
    std::unique_ptr<UrlCatcher> catcher;
    QString projects;
    QList<KiteProject*> jobs;
};
