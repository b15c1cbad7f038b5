#include "tst_kiteproject_fixture.h"

#include "dialogs/dirselectdialog.h"
#include "jobs/jobnames.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <functional>

// What a job writes and opens: its cfg lines, its output folder, its
// shortcut, the URLs it opens and the questions it asks.
class TestKiteProjectFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<KiteProject*>(); }
    void init() { f.setUp(); }
    void cleanup() { f.tearDown(); }

    void appendToConfig();
    void setRenderedAppendsOnce();
    void cfgWriters();
    void namesThatAreNotFileNames_data();
    void namesThatAreNotFileNames();
    void deletedJobWritesNothing();
    void defaultOutputFolder_data();
    void defaultOutputFolder();
    void collisionScanStops();
    void downloadShortcut();
    void openJobDir_data();
    void openJobDir();
    void messageClicked_data();
    void messageClicked();
    void supportTicket();
    void dirSelect();
    void deleteQuestion_data();
    void deleteQuestion();
    void overwriteQuestion();

private:
    // Runs action while answer handles the first visible window of type T.
    template <typename T>
    static bool answerModal(const std::function<void()>& action, const std::function<void(T*)>& answer)
    {
        bool answered = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const QList<T*> windows = JobFixture::openWindows<T>();
            if (windows.isEmpty() || answered)
                return;
            answered = true;
            answer(windows.first());
        });
        poll.start(10);
        action();
        return answered;
    }

    JobFixture f;
};

void TestKiteProjectFiles::appendToConfig()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    QCOMPARE(job->cfgPath(), f.cfgFile(QStringLiteral("job")));
    QVERIFY(job->appendToConfig(QStringLiteral("dirscreated=true")));
    QCOMPARE(f.cfgText(QStringLiteral("job")), QByteArray("renderer=vray\r\n[files]\r\n\r\ndirscreated=true\r\n"));

    // A job seen only on the server gets its cfg with the first line.
    KiteProject* remote = f.makeJob(QStringLiteral("remote"), false);
    QVERIFY(remote->appendToConfig(QStringLiteral("rendercomplete=true")));
    QCOMPARE(f.cfgText(QStringLiteral("remote")), QByteArray("\r\nrendercomplete=true\r\n"));

    // Without its folder the line is lost, the record still changes.
    KiteProject* lost = f.makeJob(QStringLiteral("lost"), false);
    QVERIFY(QDir(f.userFolder()).removeRecursively());
    QVERIFY(!lost->appendToConfig(QStringLiteral("x=1")));
    lost->setRendered();
    QVERIFY(lost->renderComplete);
}

void TestKiteProjectFiles::setRenderedAppendsOnce()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->setRendered();
    job->setRendered(false);
    job->assignState(QStringLiteral("RENDERED"));
    QCOMPARE(f.cfgText(QStringLiteral("job")).count("rendercomplete=true"), 1);
}

void TestKiteProjectFiles::cfgWriters()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    const QString id = job->createJobLocalId();
    QCOMPARE(id.size(), 36);
    QVERIFY(!id.contains(QLatin1Char('{')));
    QCOMPARE(job->jobLocalId, id);
    job->setRestartDownloadCount(3);
    QCOMPARE(job->restartDownloadCount, 3);
    job->createDirsSent = true;
    job->setDirsCreated(true);
    QVERIFY(job->dirsCreated && !job->createDirsSent);
    QCOMPARE(f.cfgText(QStringLiteral("job")),
             QByteArray("renderer=vray\r\n[files]\r\n\r\njobLocalId=") + id.toLatin1()
                 + QByteArray("\r\n\r\nrestartDownloadCount=3\r\n"));
}

void TestKiteProjectFiles::namesThatAreNotFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("slash") << "../outside";
    QTest::newRow("backslash") << "a\\b";
    QTest::newRow("dot") << ".";
    QTest::newRow("dot dot") << "..";
    QTest::newRow("control character") << QStringLiteral("a\nb");
    QTest::newRow("empty") << "";
}

void TestKiteProjectFiles::namesThatAreNotFileNames()
{
    QFETCH(QString, name);
    QVERIFY(!JobNames::isUsableAsFileName(name));
    // A folder the shortcut of ".." would replace.
    QVERIFY(QDir().mkpath(f.userFolder() + QStringLiteral("/OrvelKite/Download/output/x")));
    const QStringList before = f.tree();

    KiteProject* job = f.makeJob(name, false);
    job->cfgRead = true;
    QCOMPARE(job->cfgPath(), QString());
    QVERIFY(!job->appendToConfig(QStringLiteral("x=1")));
    job->createJobLocalId();
    job->setAutostartSlot();
    job->assignState(QStringLiteral("RENDERING"));
    job->setRendered();
    job->createLocalDownloadDir(true);
    QVERIFY(job->localDownloadDirCustom.isEmpty());
    job->openJobDir();
    job->localDownloadDir = f.dir->path();
    job->setDownloadStarted();
    job->restartDownloadSlotMenuClick();
    job->setDownloadFinished();
    job->setDeleted();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QCOMPARE(f.tree(), before);
    QVERIFY(f.catcher->urls.isEmpty());
    // Still tracked and shown.
    QCOMPARE(job->jobAction->text(), name + QStringLiteral(" DOWNLOADED (100%)"));
    QVERIFY(job->isDownloaded && job->isDeleted);
}

void TestKiteProjectFiles::deletedJobWritesNothing()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->setDownloadError();
    job->setDeleted();
    QVERIFY(!job->downloadErrorRetryTimer->isActive());
    // What the deletion does with the files and the name.
    QVERIFY(QFile::remove(f.cfgFile(QStringLiteral("job"))));
    job->isDeletedLocal = true;
    job->name += QStringLiteral("(deleted)");
    const QStringList before = f.tree();

    QVERIFY(QMetaObject::invokeMethod(job->downloadErrorRetryTimer, "timeout"));
    job->setRendered();
    QVERIFY(!job->appendToConfig(QStringLiteral("x=1")));
    QCOMPARE(f.tree(), before);
}

void TestKiteProjectFiles::defaultOutputFolder_data()
{
    QTest::addColumn<bool>("defaultExists");
    QTest::addColumn<bool>("defaultHasFile");
    QTest::addColumn<bool>("hiddenOnly");
    QTest::addColumn<QString>("otherJobUses");
    QTest::addColumn<QString>("expectedSuffix");
    QTest::newRow("new") << false << false << false << "" << "";
    QTest::newRow("existing and empty") << true << false << false << "" << "";
    QTest::newRow("only hidden entries") << true << false << true << "" << "";
    QTest::newRow("existing and not empty") << true << true << false << "" << "_1";
    QTest::newRow("numbered folder used by another job") << true << true << false << "_1" << "_2";
    QTest::newRow("default used by another job") << false << false << false << "!" << "_2";
}

void TestKiteProjectFiles::defaultOutputFolder()
{
    QFETCH(bool, defaultExists);
    QFETCH(bool, defaultHasFile);
    QFETCH(bool, hiddenOnly);
    QFETCH(QString, otherJobUses);
    QFETCH(QString, expectedSuffix);

    const QString base = f.userFolder() + QStringLiteral("/OrvelKite/Download/output/job");
    if (defaultExists)
        QVERIFY(QDir().mkpath(base));
    if (defaultHasFile || hiddenOnly) {
        QFile file(base + (hiddenOnly ? QStringLiteral("/.hidden") : QStringLiteral("/frame.exr")));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    if (!otherJobUses.isEmpty()) {
        KiteProject* other = f.makeJob(QStringLiteral("other"));
        other->localDownloadDir = base + (otherJobUses == QLatin1String("!") ? QString() : otherJobUses);
    }
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    QSignalSpy activity(f.settings.get(), &KiteSettings::setIconActivitySignal);

    job->createLocalDownloadDir(true);

    const QString expected = QFileInfo(base + expectedSuffix).absoluteFilePath();
    QCOMPARE(job->localDownloadDirCustom, expected);
    QVERIFY(QFileInfo(expected).isDir());
    QVERIFY(f.cfgText(QStringLiteral("job"))
                .endsWith(QByteArray("\r\ndownloadpath=") + expected.toUtf8() + QByteArray("\r\ndownloaded=false\r\n")));
    QVERIFY(job->checkForFilesToDownload);
}

void TestKiteProjectFiles::collisionScanStops()
{
    // Each scan finds one job using the candidate, the next number is used by
    // a job earlier in the list: the scanning gives up after 500 scans.
    const QString base = f.userFolder() + QStringLiteral("/OrvelKite/Download/output/job");
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    for (int k = 600; k >= 1; --k)
        f.makeJob(QStringLiteral("copy%1").arg(k), false)->localDownloadDir = base + QStringLiteral("_%1").arg(k + 1);
    f.makeJob(QStringLiteral("other"), false)->localDownloadDir = base;

    job->createLocalDownloadDir(false);

    QCOMPARE(job->localDownloadDirCustom, QFileInfo(base + QStringLiteral("_501")).absoluteFilePath());
    QVERIFY(QFileInfo(job->localDownloadDirCustom).isDir());
}

void TestKiteProjectFiles::downloadShortcut()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    const QString output = f.dir->filePath(QStringLiteral("out/job"));
    const QString link = f.userFolder() + QStringLiteral("/OrvelKite/Download/job.lnk");
    job->localDownloadDir = output;

    job->assignState(QStringLiteral("RENDERING"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(QFileInfo(output).isDir());
    QCOMPARE(QFileInfo(link).symLinkTarget(), output);

    job->setDownloadFinished();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(job->linkCreated);
    QCOMPARE(f.cfgText(QStringLiteral("job")).count("linkCreated=true"), 1);

    // Only the job's own link goes, never what it points at or other links.
    KiteProject* other = f.makeJob(QStringLiteral("other"));
    other->localDownloadDir = output;
    other->setPaused();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    job->setDeleted();
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo(output).isDir());
    QVERIFY(QFileInfo(f.userFolder() + QStringLiteral("/OrvelKite/Download/other.lnk")).isSymLink());

    // A folder in the link's place is left alone.
    KiteProject* third = f.makeJob(QStringLiteral("third"));
    QVERIFY(QDir().mkpath(f.userFolder() + QStringLiteral("/OrvelKite/Download/third.lnk/keep")));
    third->setDeleted();
    QVERIFY(QFileInfo(f.userFolder() + QStringLiteral("/OrvelKite/Download/third.lnk/keep")).isDir());

    // The update job and jobs without an output folder make none.
    KiteProject* update = f.makeJob(QStringLiteral("updateDownload"), false);
    update->isUpdateJob = true;
    update->localDownloadDir = output;
    update->setDownloadStarted();
    f.makeJob(QStringLiteral("nofolder"))->setDownloadStarted();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!QFileInfo::exists(f.userFolder() + QStringLiteral("/OrvelKite/Download/updateDownload.lnk")));
    QVERIFY(!QFileInfo::exists(f.userFolder() + QStringLiteral("/OrvelKite/Download/nofolder.lnk")));
}

void TestKiteProjectFiles::openJobDir_data()
{
    QTest::addColumn<QString>("fromCfg");
    QTest::addColumn<QString>("custom");
    QTest::addColumn<QString>("opened");
    QTest::newRow("folder from the cfg") << "cfg" << "" << "cfg";
    QTest::newRow("custom folder") << "cfg" << "custom" << "custom";
    QTest::newRow("no folder: default made") << "" << "" << "default";
    QTest::newRow("missing cfg folder: default made") << "gone" << "" << "default";
}

void TestKiteProjectFiles::openJobDir()
{
    QFETCH(QString, fromCfg);
    QFETCH(QString, custom);
    QFETCH(QString, opened);
    QVERIFY(QDir().mkpath(f.dir->filePath(QStringLiteral("cfg"))));
    QVERIFY(QDir().mkpath(f.dir->filePath(QStringLiteral("custom"))));
    const auto path = [&](const QString& name) {
        if (name.isEmpty())
            return QString();
        if (name == QLatin1String("default"))
            return QFileInfo(f.userFolder() + QStringLiteral("/OrvelKite/Download/output/job")).absoluteFilePath();
        return f.dir->filePath(name);
    };
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->localDownloadDir = path(fromCfg);
    job->localDownloadDirCustom = path(custom);

    job->subMenu();
    job->openDownloadFolderAction->trigger();

    QCOMPARE(f.catcher->urls, QList<QUrl>{QUrl::fromLocalFile(path(opened))});
    QVERIFY(QFileInfo(path(opened)).isDir());
}

void TestKiteProjectFiles::messageClicked_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("links");
    QTest::addColumn<int>("urls");
    QTest::addColumn<int>("dialogs");
    QTest::newRow("UploadEnd") << "UploadEnd" << 1 << 0 << 0;
    QTest::newRow("OutOfRenderPoints") << "OutOfRenderPoints" << 0 << 0 << 0;
    QTest::newRow("RenderingEnd") << "RenderingEnd" << 0 << 0 << 0;
    QTest::newRow("DownloadEnd") << "DownloadEnd" << 0 << 1 << 0;
    QTest::newRow("DownloadStart") << "DownloadStart" << 0 << 1 << 0;
    QTest::newRow("DownloadError") << "DownloadError" << 0 << 0 << 1;
}

void TestKiteProjectFiles::messageClicked()
{
    QFETCH(QString, type);
    QFETCH(int, links);
    QFETCH(int, urls);
    QFETCH(int, dialogs);
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->localDownloadDir = f.dir->path();
    job->setDownloadError();
    QSignalSpy jobLinks(job, &KiteProject::openLinkWithTokenSignal);
    QSignalSpy settingsLinks(f.settings.get(), &KiteSettings::openLinkWithTokenSignal);

    job->messageClickedSlot(type);
    job->messageClickedSlot(type);

    QCOMPARE(jobLinks.count(), 2 * links);
    QCOMPARE(settingsLinks.count(), 2 * links);
    if (links)
        QCOMPARE(jobLinks.first().at(0).toString(), QStringLiteral("https://portal.example/cc"));
    QCOMPARE(f.catcher->urls.size(), 2 * urls);
    // One folder dialog per job, in its retry form; the retry waits for it.
    const QList<DirSelectDialog*> open = JobFixture::openWindows<DirSelectDialog>();
    QCOMPARE(open.size(), dialogs);
    QCOMPARE(job->downloadErrorRetryTimer->isActive(), dialogs == 0);
    if (dialogs) {
        QVERIFY(open.first()->retryMode && open.first()->restartAfterSelect);
        QVERIFY(job->dirSelectOpen);
        job->showDownloadErrorMessageSlot();
        QCOMPARE(JobFixture::openWindows<DirSelectDialog>().size(), 1);
    }
}

void TestKiteProjectFiles::supportTicket()
{
    f.settings->versionPrefix = QStringLiteral("V4.");
    f.settings->versionBuild = 12;
    f.settings->useHttpsUp = false;
    f.settings->ftpEncryptionUp = true;
    f.settings->ftpCCC = true;
    f.settings->useSftpDown = true;
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    QSignalSpy links(f.settings.get(), &KiteSettings::openLinkWithTokenSignal);

    job->subMenu();
    job->supportTicketAction->trigger();

    QCOMPARE(links.count(), 1);
    const QString link = links.first().at(0).toString();
    QVERIFY2(link.startsWith(QStringLiteral(
                 "https://portal.example/ticket?subPreset=Support Request job&msgPreset=Hi Zeduvared Support,\n\n"
                 "my username is tester\nThe name of the job is: job\n\n"
                 "\r\nVersion: V4.12\r\nUpload mode: FTPS (CCC)\r\nDownload mode: SFTP\r\nOS: ")),
             qPrintable(link));
    QVERIFY(link.endsWith(QStringLiteral("\n\n")));
}

void TestKiteProjectFiles::dirSelect()
{
    const QString chosen = f.dir->filePath(QStringLiteral("chosen"));
    QVERIFY(QDir().mkpath(chosen));
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->downloadPriority = 100;

    job->subMenu();
    const bool answered = answerModal<QFileDialog>([&] { job->changeDownloadDestinationAction->trigger(); },
                                                   [&](QFileDialog* dialog) {
                                                       QVERIFY(job->dirSelectOpen);
                                                       dialog->selectFile(chosen);
                                                       QMetaObject::invokeMethod(dialog, "accept");
                                                   });
    QVERIFY(answered);
    QVERIFY(!job->dirSelectOpen);
    QCOMPARE(QDir(job->localDownloadDirCustom), QDir(chosen));
    QCOMPARE(job->changeDownloadDestinationAction->toolTip(), job->localDownloadDirCustom);
    QCOMPARE(job->downloadPriority, 0);
    QVERIFY(f.cfgText(QStringLiteral("job")).contains(QByteArray("\r\ndownloadpath=") + job->localDownloadDirCustom.toUtf8() + "\r\n"));

    // Cancelled from the download error's folder dialog: nothing changes, and
    // that dialog is still the job's open one. Deleted jobs ask nothing.
    const QByteArray cfg = f.cfgText(QStringLiteral("job"));
    job->dirSelectOpen = true;
    QVERIFY(answerModal<QFileDialog>([&] { job->dirSelectSlot(); }, [](QFileDialog* dialog) { dialog->reject(); }));
    QCOMPARE(f.cfgText(QStringLiteral("job")), cfg);
    QVERIFY(job->dirSelectOpen);
    job->isDeleted = true;
    QVERIFY(!answerModal<QFileDialog>([&] { job->dirSelectSlot(true); }, [](QFileDialog* dialog) { dialog->reject(); }));
}

void TestKiteProjectFiles::deleteQuestion_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
}

void TestKiteProjectFiles::deleteQuestion()
{
    QFETCH(bool, yes);
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    QSignalSpy deletions(f.settings.get(), &KiteSettings::deleteLocalJobSignal);
    job->subMenu();
    QVERIFY(answerModal<QMessageBox>([&] { job->deleteAction->trigger(); }, [&](QMessageBox* box) {
        QCOMPARE(box->windowTitle(), QStringLiteral("Delete"));
        QCOMPARE(box->text(), QStringLiteral("Delete local files of job?"));
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    }));
    QCOMPARE(deletions.count(), yes ? 1 : 0);
    if (yes)
        QCOMPARE(qvariant_cast<KiteProject*>(deletions.first().at(0)), job);
}

void TestKiteProjectFiles::overwriteQuestion()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    const auto box = [] {
        const QList<QMessageBox*> boxes = JobFixture::openWindows<QMessageBox>();
        return boxes.size() == 1 ? boxes.first() : nullptr;
    };
    const auto click = [&](const QString& text) {
        for (QAbstractButton* button : box()->buttons()) {
            if (button->text() == text)
                button->click();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };

    // The download list adds each file and asks; one question at a time.
    for (const char* file : {"a.exr", "b.exr", "a.exr", "c.exr", "d.exr"}) {
        job->pendingOverwriteList << QString::fromLatin1(file);
        job->confirmOverwriteSlot(false, false, true);
    }
    QVERIFY(job->overwriteQuestionOpen);
    QVERIFY(box());
    QCOMPARE(box()->windowTitle(), QStringLiteral("Overwrite File? (Job: job)"));
    QCOMPARE(box()->text(), QStringLiteral("A file with the same filename but a different filesize is already in the "
                                           "target folder. Overwrite?\na.exr"));

    job->checkForFilesToDownload = false;
    click(QStringLiteral("Overwrite One"));
    QCOMPARE(job->overwriteYesList, QSet<QString>{"a.exr"});
    QVERIFY(job->checkForFilesToDownload);
    QVERIFY(box()->text().endsWith(QStringLiteral("\nb.exr")));
    click(QStringLiteral("Skip One"));
    QVERIFY(box()->text().endsWith(QStringLiteral("\nc.exr")));
    click(QStringLiteral("Skip All"));
    QVERIFY(job->ignoreAll);
    QVERIFY(!box());
    QVERIFY(!job->overwriteQuestionOpen);
    QVERIFY(job->pendingOverwriteList.isEmpty());

    // A file skipped once is not asked again until the download restarts.
    job->ignoreAll = false;
    job->pendingOverwriteList << QStringLiteral("b.exr");
    job->confirmOverwriteSlot(false, false, true);
    QVERIFY(!box());
    job->restartDownloadSlot();
    job->pendingOverwriteList << QStringLiteral("b.exr");
    job->confirmOverwriteSlot(false, false, true);
    QVERIFY(box());
    click(QStringLiteral("Overwrite All"));
    QVERIFY(job->overwriteAll);
    QVERIFY(!box());
}

QTEST_MAIN(TestKiteProjectFiles)
#include "tst_kiteproject_files.moc"
