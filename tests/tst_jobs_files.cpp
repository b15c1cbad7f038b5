#include "jobs_fixture.h"

#include "dialogs/dirselectdialog.h"
#include "jobs/jobnames.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

namespace {
// What a cfg can change in a record, as "key=value" words.
QStringList record(const KiteProject* j)
{
    const auto n = [](qint64 v) { return QString::number(v); };
    return {"teamid=" + n(j->teamid), "server=" + n(j->serverNumber), "serverUp=" + n(j->serverNumberUpload),
            "prio=" + n(j->renderPriority), "restarts=" + n(j->restartDownloadCount), "gpu=" + n(j->isGpuJob),
            "dir=" + j->localDownloadDir, "uploaded=" + n(j->isUploaded), "dirs=" + n(j->dirsCreated),
            "rendered=" + n(j->renderComplete), "link=" + n(j->linkCreated), "sent=" + n(j->downloadFinishedSent),
            "id=" + j->jobLocalId, "hasId=" + n(j->hasJobLocalId), "autostart=" + n(j->autostart),
            "checked=" + n(j->autostartAction->isChecked()), "downloaded=" + n(j->isDownloaded),
            "mark=" + n(j->downloadedMark), "check=" + n(j->checkForFilesToDownload),
            "restarted=" + n(!j->hasDownloadError), "local=" + n(j->isLocal), "read=" + n(j->cfgRead),
            "dirsAsked=" + n(j->createDirsSent)};
}

// One returned file as "path|pathLocal|size".
QStringList describe(const QList<UploadFile>& files)
{
    QStringList out;
    for (const UploadFile& file : files)
        out << file.path + QLatin1Char('|') + file.pathLocal + QLatin1Char('|') + QString::number(file.size);
    return out;
}
} // namespace

// The job's cfg read and written; its output folder, shortcut, links and questions.
class TestJobsFiles : public QObject
{
    Q_OBJECT
    JobFixture f;

private slots:
    void init() { f.setUp(); }
    void cleanup() { f.tearDown(); }

    void recordFromCfg_data()
    {
        QTest::addColumn<QByteArray>("cfg"); // "-": no cfg file
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<bool>("headerOnly");
        QTest::addColumn<QString>("changes"); // from the record of a job without cfg lines
        const auto row = [](const char* tag, const QByteArray& cfg, const char* before, bool header, const char* changes) {
            QTest::newRow(tag) << cfg << words(before) << header << QString::fromUtf8(changes);
        };
        row("empty", "", "", false, "");
        row("no cfg: not local", "-", "isLocal", false, "local=0 read=0 dirsAsked=0");
        row("waiting for check files", "", "waitingForCheckFiles", false, "dirsAsked=0");
        row("uploaded", "", "isUploaded", false, "uploaded=1 dirsAsked=0");
        row("last key wins", crlf({"teamid=3", "downloadpath=D:/a", "prio=4", "teamid=7", "downloadpath=D:/b", "prio=2",
                                   "restartDownloadCount=1", "restartDownloadCount=5"}),
            "", false, "teamid=7 prio=51 restarts=5 dir=D:/b");
        row("not a number is 0", crlf({"teamid=x7", "prio=high", "serverNumber=two"}), "", false, "prio=49");
        row("servers 2, prio 1, V-Ray GPU", crlf({"serverNumberUpload=2", "serverNumber=2", "prio=1", "renderer=V-Ray GPU"}),
            "", false, "server=2 serverUp=2 gpu=1");
        row("prio in file section ignored", crlf({"prio=5", "[files]", "prio=9", "path0=a.zip"}), "", false, "prio=54");
        row("prio in file section ignored, header only", crlf({"prio=5", "[files]", "prio=9"}), "", true, "prio=54");
        row("keys in and after the file section", crlf({"[files]", "path0=a.zip", "pathlocal0=C:/a.zip", "pathsize0=1",
                                                        "teamid=9", "prio=7", "[end]", "prio=3"}),
            "", false, "teamid=9 prio=52");
        row("servers 3 mean 1, case-sensitive prefixes at line start, last renderer wins",
            crlf({"serverNumberUpload=3", "serverNumber=3", "TeamId=5", " teamid=6", "Prio=3", "Downloaded=true",
                  "renderer=Redshift GPU", "renderer=Arnold"}),
            "", false, "");
        row("lines ending in LF", "teamid=4\nprio=2\n\n", "", false, "teamid=4 prio=51");
        row("UTF-8 folder", "downloadpath=D:/R\xC3\xA4nder\r\n", "", false, "dir=D:/R\xC3\xA4nder");
        row("appended status lines",
            "teamid=1\r\n\r\nuploadfinished=true\r\n\r\ndirscreated=true\r\n\r\nrendercomplete=true\r\n"
            "\r\nlinkCreated=true\r\n\r\ndownloadFinishedSent=true\r\n\r\njobLocalId=1a2b-3c\r\n",
            "", true, "teamid=1 uploaded=1 dirs=1 rendered=1 link=1 sent=1 id=1a2b-3c hasId=1 dirsAsked=0");
        row("dirscreated, autostart 2", crlf({"dirscreated=true", "autostart=2"}), "", false,
            "dirs=1 uploaded=1 dirsAsked=0");
        row("upload marks after a restart", crlf({"uploadfinished=true", "autostart=2"}), "uploadRestartPending", true, "");
        row("uploaded and downloaded", crlf({"uploadfinished=true", "downloaded=true"}), "", true,
            "uploaded=1 dirsAsked=0 downloaded=1 mark=1 check=0");
        row("downloaded=false is not a key", crlf({"downloaded=true", "downloaded=false"}), "", true,
            "downloaded=1 mark=1 check=0");
        row("restart after downloaded", crlf({"downloaded=true", "restartDownload=true"}), "", true, "restarted=1");
        row("restart, then finished", crlf({"restartDownload=true", "restartDownload=false"}), "", true,
            "downloaded=1 mark=1 check=0");
        row("restart while downloading", crlf({"downloaded=true", "restartDownload=true"}), "isDownloading", true, "");
        row("restart already done in this run", crlf({"downloaded=true", "restartDownload=true"}), "cfgRead", true, "");
        row("autostart 1 then 0", crlf({"autostart=1", "autostart=0"}), "", true, "");
        row("autostart 0 then 1", crlf({"autostart=0", "autostart=1"}), "", true, "autostart=1 checked=1");
        row("autostart 0 while on", crlf({"autostart=0"}), "autostart", true, "autostart=0 checked=0");
        row("autostart 1 while on", crlf({"autostart=1"}), "autostart", true, "autostart=1 checked=1");
        row("autostart 2 while on", crlf({"autostart=1", "autostart=2"}), "autostart", true,
            "autostart=0 checked=0 uploaded=1 dirsAsked=0");
    }

    void recordFromCfg()
    {
        QFETCH(QByteArray, cfg);
        QFETCH(QString, changes);
        if (cfg != "-")
            JobFixture::writeFile(f.cfgFile("scene"), cfg);
        KiteProject* j = f.makeJob("scene", false);
        j->subMenu();
        QVERIFY(JobFixture::setFlags(j, fetch<QStringList>("before")));
        j->autostartAction->setChecked(j->autostart);
        j->hasDownloadError = j->overwriteAll = true; // a download restart clears both
        QStringList expected = record(j);
        f.reader->readJobConfig(j, false, fetch<bool>("headerOnly"));
        for (const QString& change : ("local=1 read=1 dirsAsked=1 " + changes).split(' ', Qt::SkipEmptyParts)) {
            for (QString& entry : expected)
                entry = entry.section('=', 0, 0) == change.section('=', 0, 0) ? change : entry;
        }
        QCOMPARE(record(j), expected);
        // Reading writes nothing to the cfg; a download restart notes itself.
        const bool restarted = changes.contains(QLatin1String("restarted=1"));
        QCOMPARE(j->overwriteAll, !restarted);
        QCOMPARE(f.cfgText("scene"), cfg == "-" ? QByteArray() : cfg + (restarted ? "\r\ndownloaded=false\r\n" : ""));
    }

    void fileSection_data()
    {
        QTest::addColumn<QByteArray>("cfg");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("dirs"); // asked for when the upload starts
        const auto row = [](const char* tag, const QByteArray& cfg, const char* files, const char* dirs) {
            QTest::newRow(tag) << crlf(QString(cfg).split(';', Qt::SkipEmptyParts)) << words(files, ';') << words(dirs, ';');
        };
        const QByteArray one("path0=scene.zip;pathlocal0=C:/p/scene.zip;pathsize0=100");
        const QByteArray two("path1=tex/a.png;pathlocal1=C:/t/a.png;pathsize1=23");
        row("two groups", "teamid=1;[files];paths=2;" + one + ";" + two,
            "scene.zip|C:/p/scene.zip|100;tex/a.png|C:/t/a.png|23", "tex");
        row("groups without pathsize, pathsize without paths",
            "[files];" + one + ";pathsize1=5;path2=t/b.png;pathlocal2=C:/b.png", "scene.zip|C:/p/scene.zip|100", "");
        row("group without pathsize takes nothing from the next", "[files];path0=x/x.zip;pathlocal0=C:/x.zip;" + two,
            "tex/a.png|C:/t/a.png|23", "tex");
        row("no section, no files", one, "", "");
        row("section ends at [", "[files];" + one + ";[other];" + two, "scene.zip|C:/p/scene.zip|100", "");
        row("numbers ignored, value after the first =, sizes",
            "[files];path7=a=b/c.png;pathlocal2=C:/a=b/c.png;pathsize9=6000000000;path0=a.zip;pathlocal0=C:/a.zip;"
            "pathsize0=12kb;path1=b.zip;pathlocal1=C:/b.zip;pathsize1=-40",
            "a=b/c.png|C:/a=b/c.png|6000000000;a.zip|C:/a.zip|0;b.zip|C:/b.zip|0", "a=b");
        row("folders of every depth, once",
            "[files];path0=tex/a.png;pathlocal0=C:/a.png;pathsize0=1;path1=tex/b.png;pathlocal1=C:/b.png;pathsize1=1;"
            "path2=tex/sub/c.png;pathlocal2=C:/c.png;pathsize2=1;path3=/root.png;pathlocal3=C:/root.png;pathsize3=1",
            "tex/a.png|C:/a.png|1;tex/b.png|C:/b.png|1;tex/sub/c.png|C:/c.png|1;/root.png|C:/root.png|1", "tex;tex/sub");
    }

    void fileSection()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, dirs);
        JobFixture::writeFile(f.cfgFile("scene"), fetch<QByteArray>("cfg"));
        qint64 sum = 0;
        for (const QString& file : files)
            sum += file.section(QLatin1Char('|'), 2).toLongLong();
        QSignalSpy spy(f.reader.get(), &CfgReader::createDirsOnServerSignal);
        // The header alone has no files; refreshing counts nothing; preparing
        // the upload adds the sizes and asks for the folders.
        KiteProject* j = f.makeJob("scene", false);
        j->uploadBytesTotal = 10;
        QVERIFY(f.reader->readJobConfig(j, true, true).isEmpty());
        QCOMPARE(describe(f.reader->readJobConfig(j, true, false)), files);
        QCOMPARE(j->uploadBytesTotal, qint64(10));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(describe(f.reader->readJobConfig(j, false, false)), files);
        QCOMPARE(j->uploadBytesTotal, 10 + sum);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<QSet<QString>>(), QSet<QString>(dirs.begin(), dirs.end()));
        QCOMPARE(spy.at(0).at(1).value<KiteProject*>(), j);
        QVERIFY(j->createDirsSent);
    }

    void liveUploadList()
    {
        const QString local = f.dir->filePath(QStringLiteral("render input.exr")), live = CfgReader::liveUploadJobName();
        const QString list = f.projects + QLatin1Char('/') + CfgReader::liveUploadListFileName();
        JobFixture::writeFile(local, QByteArray(37, 'x'));
        JobFixture::writeFile(f.cfgFile(live), crlf({"teamid=5", "path0=old.png", "pathlocal0=C:/old.png", "pathsize0=9"}));
        KiteProject* job = f.makeJob(live, false);
        job->isLiveUpload = true;
        QCOMPARE(describe(f.reader->readJobConfig(job, true, false)), QStringList{"old.png|C:/old.png|9"}); // no list
        // The list becomes the job's cfg, and goes.
        JobFixture::writeFile(list, QString("C:\\scenes\\a.png|/tex\nno separator\n\n%1|/tex/sub/\nC:\\root.png|\n").arg(local).toUtf8());
        KiteProject* other = f.makeJob("other"); // another job with the flag leaves the list alone
        other->isLiveUpload = true;
        QVERIFY(f.reader->readJobConfig(other, true, false).isEmpty() && QFile::exists(list));
        QCOMPARE(describe(f.reader->readJobConfig(job, true, false)),
                 (QStringList{"tex/a.png|C:/scenes/a.png|0", "tex/sub/render input.exr|" + local + "|37",
                              "root.png|C:/root.png|0"}));
        QCOMPARE(f.cfgText(live), QString("path0=tex/a.png\npathlocal0=C:/scenes/a.png\npathsize0=0\npath1=tex/sub/render "
                                          "input.exr\npathlocal1=%1\npathsize1=37\npath2=root.png\npathlocal2=C:/root.png\n"
                                          "pathsize2=0\n").arg(local).toUtf8());
        QVERIFY(!QFile::exists(list));
    }

    void cfgWriters()
    {
        KiteProject* job = f.makeJob("job");
        QVERIFY(job->appendToConfig(QStringLiteral("dirscreated=true")));
        const QString id = job->createJobLocalId();
        QVERIFY(id.size() == 36 && !id.contains(QLatin1Char('{')) && job->jobLocalId == id);
        job->setRestartDownloadCount(3);
        job->setRendered(); // the rendered line is written once, however often the farm says so
        job->setRendered(false);
        job->assignState(QStringLiteral("RENDERED"));
        job->createDirsSent = true;
        job->setDirsCreated(true);
        QVERIFY(job->dirsCreated && !job->createDirsSent && job->restartDownloadCount == 3);
        QCOMPARE(f.cfgText("job"), "renderer=vray\r\n[files]\r\n\r\ndirscreated=true\r\n\r\njobLocalId=" + id.toLatin1()
                                       + "\r\n\r\nrestartDownloadCount=3\r\n\r\nrendercomplete=true\r\n");
        // A job seen only on the server gets its cfg with the first line.
        QVERIFY(f.makeJob("remote", false)->appendToConfig(QStringLiteral("rendercomplete=true")));
        QCOMPARE(f.cfgText("remote"), QByteArray("\r\nrendercomplete=true\r\n"));
        // Without its folder the line is lost, the record still changes.
        QVERIFY(QDir(f.userFolder()).removeRecursively());
        QVERIFY(!job->appendToConfig(QStringLiteral("x=1")));
    }

    // The projects folder is read in the order it always was: QDir's by name.
    void projectsFolderReadByName()
    {
        const QString folder = f.userFolder();
        for (const char* name : {"b.cfg", "C.cfg", "a", "A b.cfg", "\xc3\x84.cfg", "z.cfg", ".hidden.cfg", "10.cfg", "9.cfg"})
            JobFixture::writeFile(folder + '/' + QString::fromUtf8(name), "x");
        QVERIFY(QDir().mkpath(folder + "/dir.cfg"));
        const QStringList expected = QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
        QCOMPARE(expected.size(), 8);
        QCOMPARE(JobNames::filesByName(folder), expected);
    }

    void namesThatAreNotFileNames()
    {
        // Cfgs a joined path would reach, and a folder the shortcut of ".." would replace.
        for (const QString& path : {f.projects + "/outside.cfg", f.userFolder() + "/.cfg", f.userFolder() + "/...cfg"})
            JobFixture::writeFile(path, crlf({"teamid=3", "renderer=vray", "program=max"}));
        f.settings->setUploadToDc2Renderers(QStringLiteral("vray"));
        f.settings->setUploadToDc2Programs(QStringLiteral("max"));
        QVERIFY(QDir().mkpath(f.downloadFolder() + QStringLiteral("output/x")));
        const QStringList before = f.tree();
        for (const QString name : {"../outside", "..\\outside", ".", "..", "a\nb", ""}) {
            QVERIFY2(!JobNames::isUsableAsFileName(name), qPrintable(name));
            KiteProject* job = f.makeJob(name, false);
            job->isLocal = job->cfgRead = true;
            QVERIFY(f.reader->readJobConfig(job, true, false).isEmpty() && !job->isLocal && job->teamid == 0);
            QCOMPARE(f.reader->serverNumberForUpload(name), 1);
            QVERIFY(job->cfgPath().isEmpty() && !job->appendToConfig(QStringLiteral("x=1")));
            job->createJobLocalId();
            job->createLocalDownloadDir(true);
            job->openJobDir();
            QVERIFY(job->localDownloadDirCustom.isEmpty() && f.catcher->urls.isEmpty());
            job->localDownloadDir = f.dir->path();
            for (const char* slot : {"setAutostartSlot", "setRendering", "setRendered", "setDownloadStarted",
                                     "restartDownloadSlotMenuClick", "setDownloadFinished", "setDeleted"})
                QVERIFY(QMetaObject::invokeMethod(job, slot));
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCOMPARE(f.tree(), before);
            QCOMPARE(job->jobAction->text(), name + QStringLiteral(" DOWNLOADED (100%)")); // still tracked and shown
        }
    }

    void defaultOutputFolder_data()
    {
        QTest::addColumn<QString>("content"); // of the default folder: "" none, "/" empty, or a file in it
        QTest::addColumn<int>("otherJobUses"); // the folder with this number; 0: the default; -1: none
        QTest::addColumn<QString>("expectedSuffix");
        QTest::newRow("new") << "" << -1 << "";
        QTest::newRow("existing and empty") << "/" << -1 << "";
        QTest::newRow("only hidden entries") << "/.hidden" << -1 << "";
        QTest::newRow("existing and not empty") << "/frame.exr" << -1 << "_1";
        QTest::newRow("numbered folder used by another job") << "/frame.exr" << 1 << "_2";
        QTest::newRow("default used by another job") << "" << 0 << "_2";
        // Each scan finds a job using the candidate, and the next number used
        // by a job earlier in the list: the search gives up after 500 scans.
        QTest::newRow("endless collisions") << "" << 600 << "_501";
    }

    void defaultOutputFolder()
    {
        QFETCH(QString, content);
        QFETCH(int, otherJobUses);
        const QString base = f.downloadFolder() + QStringLiteral("output/job");
        QVERIFY(content.isEmpty() || QDir().mkpath(base));
        if (content.size() > 1)
            JobFixture::writeFile(base + content, "x");
        KiteProject* job = f.makeJob("job");
        for (int k = otherJobUses; k >= 1 && otherJobUses > 1; --k)
            f.makeJob(QStringLiteral("copy%1").arg(k), false)->localDownloadDir = base + QStringLiteral("_%1").arg(k + 1);
        if (otherJobUses >= 0)
            f.makeJob("other", false)->localDownloadDir = base + (otherJobUses == 1 ? QStringLiteral("_1") : QString());
        job->checkForFilesToDownload = false;
        job->createLocalDownloadDir(true);
        const QString expected = QFileInfo(base + fetch<QString>("expectedSuffix")).absoluteFilePath();
        QCOMPARE(job->localDownloadDirCustom, expected);
        QVERIFY(QFileInfo(expected).isDir() && job->checkForFilesToDownload);
        QVERIFY(f.cfgText("job").endsWith("\r\ndownloadpath=" + expected.toUtf8() + "\r\ndownloaded=false\r\n"));
    }

    void downloadShortcut()
    {
        const QString output = f.dir->filePath(QStringLiteral("out/job"));
        const auto link = [&](const char* name) { return QFileInfo(f.downloadFolder() + name + ".lnk"); };
        // Whether the folder holds the link itself (Qt takes any "*.lnk" on Windows for a link).
        const auto present = [&](const char* name) {
            return QDir(f.downloadFolder()).entryList(QDir::AllEntries | QDir::System).contains(QLatin1String(name) + ".lnk");
        };
        const auto make = [&](const char* name, const char* slot) {
            KiteProject* job = f.makeJob(name);
            job->localDownloadDir = output;
            job->isUpdateJob = QByteArray(name) == "updateDownload";
            QMetaObject::invokeMethod(job, slot);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return job;
        };
        KiteProject* job = make("job", "setRendering");
        QVERIFY(QFileInfo(output).isDir() && link("job").symLinkTarget() == output);
        QVERIFY(QMetaObject::invokeMethod(job, "setDownloadFinished"));
        QVERIFY(job->linkCreated && f.cfgText("job").count("linkCreated=true") == 1);
        // Only the job's own link goes: not what it points at, other links, or a folder there.
        make("other", "setPaused");
        job->setDeleted();
        QVERIFY(!present("job") && QFileInfo(output).isDir() && link("other").isSymLink());
        QVERIFY(QDir().mkpath(f.downloadFolder() + QStringLiteral("third.lnk/keep")));
        make("third", "setDeleted");
        QVERIFY(QFileInfo(f.downloadFolder() + QStringLiteral("third.lnk/keep")).isDir());
        make("updateDownload", "setDownloadStarted"); // the update job makes none
        QVERIFY(!present("updateDownload"));
    }

    void clicks_data()
    {
        QTest::addColumn<QString>("click"); // a notification type, or "menu" for "Open download folder"
        QTest::addColumn<QString>("fromCfg");
        QTest::addColumn<QString>("custom");
        QTest::addColumn<QString>("opened"); // folder, "link" for the control center, "dialog" for the folder dialog
        QTest::newRow("UploadEnd") << "UploadEnd" << "cfg" << "" << "link";
        QTest::newRow("OutOfRenderPoints") << "OutOfRenderPoints" << "cfg" << "" << "";
        QTest::newRow("DownloadEnd: folder from the cfg") << "DownloadEnd" << "cfg" << "" << "cfg";
        QTest::newRow("DownloadStart: custom folder") << "DownloadStart" << "cfg" << "custom" << "custom";
        QTest::newRow("menu: no folder, default made") << "menu" << "" << "" << "default";
        QTest::newRow("menu: missing cfg folder, default made") << "menu" << "gone" << "" << "default";
        QTest::newRow("DownloadError") << "DownloadError" << "cfg" << "" << "dialog";
    }

    void clicks()
    {
        QFETCH(QString, click);
        QFETCH(QString, opened);
        QVERIFY(QDir().mkpath(f.dir->filePath(QStringLiteral("cfg"))) && QDir().mkpath(f.dir->filePath("custom")));
        const auto path = [&](const QString& name) {
            return name == QLatin1String("default") ? QFileInfo(f.downloadFolder() + "output/job").absoluteFilePath()
                                                    : name.isEmpty() ? QString() : f.dir->filePath(name);
        };
        KiteProject* job = f.makeJob("job");
        job->localDownloadDir = path(fetch<QString>("fromCfg"));
        job->localDownloadDirCustom = path(fetch<QString>("custom"));
        job->subMenu();
        job->setDownloadError();
        QSignalSpy jobLinks(job, &KiteProject::openLinkWithTokenSignal);
        QSignalSpy settingsLinks(f.settings.get(), &KiteSettings::openLinkWithTokenSignal);
        for (int i = 0; i < 2; ++i)
            click == QLatin1String("menu") ? job->openDownloadFolderAction->trigger() : job->messageClickedSlot(click);
        const bool link = opened == QLatin1String("link"), dialog = opened == QLatin1String("dialog");
        QCOMPARE(jobLinks.count() + settingsLinks.count(), link ? 4 : 0);
        QVERIFY(!link || jobLinks.first().at(0).toString() == QStringLiteral("https://portal.example/cc"));
        const bool folder = !link && !dialog && !opened.isEmpty();
        QCOMPARE(f.catcher->urls.toVector(), QVector<QUrl>(folder ? 2 : 0, QUrl::fromLocalFile(path(opened))));
        QVERIFY(!folder || QFileInfo(path(opened)).isDir());
        // One folder dialog per job, in its retry form; the retry waits for it.
        const QList<DirSelectDialog*> open = JobFixture::openWindows<DirSelectDialog>();
        QVERIFY(open.size() == (dialog ? 1 : 0) && job->downloadErrorRetryTimer->isActive() == !dialog);
        if (dialog) {
            QVERIFY(open.first()->retryMode && open.first()->restartAfterSelect && job->dirSelectOpen);
            job->showDownloadErrorMessageSlot();
            QCOMPARE(JobFixture::openWindows<DirSelectDialog>().size(), 1);
        }
    }

    void supportTicket()
    {
        f.settings->versionPrefix = QStringLiteral("V4.");
        f.settings->versionBuild = 12;
        f.settings->useHttpsUp = false;
        f.settings->ftpEncryptionUp = f.settings->ftpCCC = f.settings->useSftpDown = true;
        QSignalSpy links(f.settings.get(), &KiteSettings::openLinkWithTokenSignal);
        f.makeJob("job")->subMenu();
        f.jobs.last()->supportTicketAction->trigger();
        QCOMPARE(links.count(), 1);
        const QString link = links.first().at(0).toString();
        QVERIFY2(link.startsWith("https://portal.example/ticket?subPreset=Support Request job&msgPreset=Hi Zeduvared "
                                 "Support,\n\nmy username is tester\nThe name of the job is: job\n\n\r\nVersion: V4.12\r\n"
                                 "Upload mode: FTPS (CCC)\r\nDownload mode: SFTP\r\nOS: ") && link.endsWith("\n\n"),
                 qPrintable(link));
    }

    void dirSelect()
    {
        const QString chosen = f.dir->filePath(QStringLiteral("chosen"));
        QVERIFY(QDir().mkpath(chosen));
        KiteProject* job = f.makeJob("job");
        job->downloadPriority = 100;
        job->subMenu();
        // The folder is typed in as an absolute path: selectFile() leaves the name field alone
        // once it has the focus, and when the offscreen window gets active is a race.
        QVERIFY(JobFixture::answerModal<QFileDialog>([&] { job->changeDownloadDestinationAction->trigger(); },
                                                     [&](QFileDialog* dialog) {
                                                         QVERIFY(job->dirSelectOpen);
                                                         dialog->findChild<QLineEdit*>("fileNameEdit")->setText(chosen);
                                                         QMetaObject::invokeMethod(dialog, "accept");
                                                     }));
        QVERIFY(!job->dirSelectOpen && QDir(job->localDownloadDirCustom) == QDir(chosen));
        QCOMPARE(job->changeDownloadDestinationAction->toolTip(), job->localDownloadDirCustom);
        QCOMPARE(job->downloadPriority, 0);
        QVERIFY(f.cfgText("job").contains("\r\ndownloadpath=" + job->localDownloadDirCustom.toUtf8() + "\r\n"));
        // Cancelled from the download error's folder dialog: nothing changes,
        // and that dialog is still the job's open one. Deleted jobs ask nothing.
        const QByteArray cfg = f.cfgText("job");
        job->dirSelectOpen = true;
        QVERIFY(JobFixture::answerModal<QFileDialog>([&] { job->dirSelectSlot(); }, [](QFileDialog* d) { d->reject(); }));
        QVERIFY(f.cfgText("job") == cfg && job->dirSelectOpen);
        job->isDeleted = true;
        QVERIFY(!JobFixture::answerModal<QFileDialog>([&] { job->dirSelectSlot(true); }, [](QFileDialog* d) { d->reject(); }));
    }

    void overwriteQuestion()
    {
        KiteProject* job = f.makeJob("job");
        const auto box = [] {
            const QList<QMessageBox*> boxes = JobFixture::openWindows<QMessageBox>();
            return boxes.size() == 1 ? boxes.first() : nullptr;
        };
        const auto click = [&](const QString& text) {
            for (QAbstractButton* button : box()->buttons())
                button->text() == text ? button->click() : void();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        };
        const auto ask = [&](const QStringList& files) {
            for (const QString& file : files) {
                job->pendingOverwriteList << file;
                job->confirmOverwriteSlot(false, false, true);
            }
        };
        // The download list adds each file and asks; one question at a time.
        ask({"a.exr", "b.exr", "a.exr", "c.exr", "d.exr"});
        QVERIFY(job->overwriteQuestionOpen && box() && box()->windowTitle() == QStringLiteral("Overwrite File? (Job: job)"));
        QCOMPARE(box()->text(), QStringLiteral("A file with the same filename but a different filesize is already in "
                                               "the target folder. Overwrite?\na.exr"));
        job->checkForFilesToDownload = false;
        click(QStringLiteral("Overwrite One"));
        QVERIFY(job->overwriteYesList == QSet<QString>{"a.exr"} && job->checkForFilesToDownload);
        QVERIFY(box()->text().endsWith("\nb.exr"));
        click(QStringLiteral("Skip One"));
        QVERIFY(box()->text().endsWith(QStringLiteral("\nc.exr")));
        click(QStringLiteral("Skip All"));
        QVERIFY(job->ignoreAll && !box() && !job->overwriteQuestionOpen && job->pendingOverwriteList.isEmpty());
        // A file skipped once is not asked again until the download restarts.
        job->ignoreAll = false;
        ask({"b.exr"});
        QVERIFY(!box());
        job->restartDownloadSlot();
        ask({"b.exr"});
        click(QStringLiteral("Overwrite All"));
        QVERIFY(job->overwriteAll && !box());
    }
};

QTEST_MAIN(TestJobsFiles)
#include "tst_jobs_files.moc"
