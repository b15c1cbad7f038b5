#include "jobs_fixture.h"

#include "jobs/localprojectsscanner.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "support/offlineclient.h"

#include <QJsonArray>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

// The file protocol with the scene exporters and job deletion, driven through the
// plug-in with the connection cut off: what the farm is asked, files, records.
class TestJobsFolder : public QObject
{
    Q_OBJECT
    std::unique_ptr<OfflineClient> c;

    void touch(const QString& name, const QByteArray& content = QByteArray())
    {
        JobFixture::writeFile(c->projectsFolder() + QLatin1Char('/') + name, content);
    }
    bool exists(const QString& name) const { return QFile::exists(c->projectsFolder() + QLatin1Char('/') + name); }
    bool userFile(const QString& name) const { return QFile::exists(c->userFolder() + QLatin1Char('/') + name); }
    void pass() { c->plugin->directoryChangedSlot(c->projectsFolder()); }
    QStringList openedLinks() const
    {
        QStringList links;
        for (const QJsonObject& request : c->sent(QStringLiteral("getUserToken")))
            links << request.value("custom").toObject().value("linkUrl").toString();
        return links;
    }
    QList<QJsonObject> folderRequests() const { return c->sent(QStringLiteral("getProjectFolderContents")); }
    static QStringList fileSection(const QStringList& paths)
    {
        QStringList lines{QStringLiteral("renderer=vray"), QStringLiteral("[files]")};
        for (int i = 0; i < paths.size(); ++i)
            lines << QStringLiteral("path%1=%2").arg(i).arg(paths.at(i))
                  << QStringLiteral("pathlocal%1=/local/%2").arg(i).arg(paths.at(i))
                  << QStringLiteral("pathsize%1=10").arg(i);
        return lines;
    }

private slots:
    void init() { c = std::make_unique<OfflineClient>(); }
    void cleanup() { c.reset(); }

    void markers()
    {
        c->settings->controlCenterUrl = "https://portal.example/cc";
        c->settings->calculatorUrl = "https://portal.example/calc";
        c->settings->teamManagerUrl = "https://portal.example/tm";
        c->settings->paymentsUrl = "https://portal.example/pay";
        // A job exported while the client was not running is found at login,
        // although the refresh marker of the start-up is still in the folder.
        c->writeJob("exported", {"renderer=vray"});
        QVERIFY(exists("di2_orv_refresh.txt"));
        c->plugin->loginSuccessSlot(0);
        QTRY_COMPARE(folderRequests().size(), 1);
        // The portal pages open in a fixed order, once; the markers go.
        for (const char* marker : {"openpayments.txt", "opentm.txt", "opencalculator.txt", "opencc.txt"})
            touch(marker);
        pass();
        touch("opencalcwithvalues.txt", "?frames=100&ghz=3.2\nignored\n");
        pass();
        pass();
        QCOMPARE(openedLinks().replaceInStrings("https://portal.example/", ""),
                 (QStringList{"cc", "calc", "tm", "pay", "calc?frames=100&ghz=3.2"}));
        QCOMPARE(QDir(c->projectsFolder()).entryList(QDir::Files), QStringList()); // the refresh marker too
        // A change during a pass gives one more pass, however many arrive.
        c->plugin->directoryScanRunning = true;
        pass();
        pass();
        QVERIFY(c->plugin->directoryChangedAgain);
        c->plugin->directoryScanRunning = false;
        c->writeJob("late", {"renderer=vray"});
        touch("di2_orv_refresh.txt");
        touch("opencc.txt");
        pass();
        QVERIFY(!c->plugin->directoryChangedAgain && !c->plugin->directoryScanRunning);
        QCOMPARE(folderRequests().size(), 2);
        QCOMPARE(openedLinks().size(), 6);
        // The live-upload list makes one live-upload job, its upload starts from the listing.
        touch("di2_orv_livefiles.txt", "/tmp/a.png|/tex\n");
        pass();
        pass();
        QCOMPARE(c->settings->jobList.size(), 1);
        QVERIFY(c->plugin->liveUploadRunning && c->settings->jobList.first()->isLiveUpload);
        QCOMPARE(c->settings->jobList.first()->jobId, QStringLiteral("liveUploadId"));
        QCOMPARE(folderRequests().size(), 3);
    }

    // A new job file is announced with the upload server its cfg selects (every
    // rule of the choice: the upload tests).
    void newJobFileIsAnnounced()
    {
        c->settings->setUploadToDc2Renderers("corona;v-ray");
        c->settings->setUploadToDc2Programs("maya;3DS MAX");
        // A known job only has its header refreshed: nothing to ask the farm.
        c->writeJob("known", {"renderer=vray", "downloadpath=/out/known"});
        KiteProject* known = c->addJob("known");
        touch("di2_orv_refresh.txt");
        pass();
        QVERIFY(folderRequests().isEmpty() && !exists("di2_orv_refresh.txt"));
        QCOMPARE(known->localDownloadDir, QStringLiteral("/out/known"));
        // A new job file is searched for on the refresh marker only; announced even beside an
        // upload-finished marker and with nobody logged in (the host then asks for a login).
        c->writeJob("newjob", {"program=3ds Max 2024", "renderer=V-Ray GPU"});
        c->writeUserFile("newjob_uploadfinished", "x");
        c->settings->loggedIn = false;
        pass();
        QVERIFY(folderRequests().isEmpty());
        touch("di2_orv_refresh.txt");
        pass();
        QCOMPARE(folderRequests().size(), 1);
        QCOMPARE(folderRequests().first().value("data").toObject(),
                 (QJsonObject{{"size", true}, {"serverNumberUpload", 2}, {"custom", QJsonObject{{"serverNumberUpload", 2}}}}));
        QVERIFY(!exists("di2_orv_refresh.txt") && c->plugin->loginRequiredForChange);
    }

    void scanner_data()
    {
        QTest::addColumn<bool>("withScene");
        QTest::addColumn<QString>("known"); // state of a job already in the list; empty: none
        QTest::addColumn<QString>("listed"); // extra entry of the server's listing
        QTest::addColumn<QString>("expected"); // isLocal, isUploaded, handed to the upload
        QTest::newRow("cfg with scene package") << true << "" << "" << "101";
        QTest::newRow("cfg alone is not local") << false << "" << "" << "000";
        QTest::newRow("checked on the farm") << true << "" << "scan.ischecked" << "110";
        QTest::newRow("known, rendering") << true << "isRendering" << "" << "100";
        QTest::newRow("known, downloading") << true << "isDownloading" << "" << "100";
        QTest::newRow("known, local") << true << "isUnknown" << "" << "101";
        QTest::newRow("known, deleted locally") << true << "isDeletedLocal" << "" << "101";
    }

    void scanner()
    {
        QFETCH(QString, known);
        QFETCH(QString, listed);
        c->writeJob("scan", {"renderer=vray"}, fetch<bool>("withScene"));
        c->writeUserFile("scan.jpg", QByteArray(40, 'j'));
        KiteProject* old = known.isEmpty() ? nullptr : c->addJob("scan");
        if (old)
            QVERIFY(JobFixture::setFlags(old, {known}));
        // The scanner alone: the upload would choose the server again from the cfg.
        LocalProjectsScanner* scanner = c->plugin->localProjectsScanner;
        QVERIFY(disconnect(scanner, &LocalProjectsScanner::jobForUploadSignal, c->plugin,
                           &PluginNetConnection::jobBaseFilesForUploadSlot));
        QSignalSpy upload(scanner, &LocalProjectsScanner::jobForUploadSignal);
        QSignalSpy menu(c->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
        QJsonArray listing{QJsonObject{{"file", "scan.jpg"}, {"size", 40}}, QJsonObject{{"file", "scan"}, {"size", 5}}};
        if (!listed.isEmpty())
            listing.append(QJsonObject{{"file", listed}, {"size", 0}});
        c->clearSent();
        c->receive(QJsonObject{{"action", "getProjectFolderContents"}, {"data", listing}, {"serverNumberUpload", 2}});
        KiteProject* job = c->settings->jobList.last();
        const bool created = job != old;
        QCOMPARE(c->settings->jobList.size(), old ? 1 + created : 1);
        QCOMPARE(job->name, QStringLiteral("scan"));
        QCOMPARE(menu.count(), created ? 1 : 0);
        QCOMPARE(QString::number(job->isLocal) + QString::number(job->isUploaded) + QString::number(upload.count()),
                 fetch<QString>("expected"));
        QCOMPARE(c->sent(QStringLiteral("getProjectStates")).size(), 1);
        QVERIFY(c->settings->uploadRequested);
        if (!upload.isEmpty()) {
            QCOMPARE(qvariant_cast<KiteProject*>(upload.first().at(0)), job);
            QVERIFY(job->isMarkedForUpload);
            QCOMPARE(job->serverNumberUpload, 2);
            // The preview is complete on the server; the scene package resumes from its fifth byte.
            QCOMPARE(job->uploadBytesTotal, QFileInfo(c->userFolder() + QStringLiteral("/scan")).size() - 5);
        }
    }

    void deletion()
    {
        // "one" also lists paths that lead out of the user's folder.
        touch("keep.txt", "precious");
        QTemporaryDir elsewhere;
        JobFixture::writeFile(elsewhere.filePath("abs.txt"), "precious");
        c->writeJob("one", fileSection({"tex/shared.png", "tex/one.png", "../keep.txt", elsewhere.filePath("abs.txt"),
                                        "tex/../../keep.txt"}));
        c->writeJob("two", fileSection({"tex/shared.png", "tex/two.png"}));
        c->writeUserFile("liveUploadJob.cfg", "path0=tex/two.png\r\npathlocal0=x\r\npathsize0=1\r\n");
        for (const char* file : {"tex/shared.png", "tex/one.png", "tex/two.png", "one.jpg", "one.trialinfo"})
            c->writeUserFile(QString::fromLatin1(file), "x");
        KiteProject* one = c->addJob("one");
        KiteProject* two = c->addJob("two", "8");
        KiteProject* live = c->addJob("liveUploadJob");
        live->isLiveUpload = true;
        QSignalSpy menu(c->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
        QSignalSpy pauses(one, &KiteProject::pauseUploadSignal), downloadPauses(one, &KiteProject::pauseDownloadSignal);
        const auto answer = [&](KiteProject* job, QMessageBox::StandardButton button) {
            job->subMenu();
            return JobFixture::answerModal<QMessageBox>([&] { job->deleteAction->trigger(); }, [&](QMessageBox* box) {
                QCOMPARE(box->windowTitle() + box->text(), QStringLiteral("DeleteDelete local files of job?"));
                box->button(button)->click();
            });
        };
        // Answering No deletes nothing.
        QVERIFY(answer(one, QMessageBox::No));
        QVERIFY(userFile("one.cfg") && !one->isDeleted && pauses.isEmpty());
        // Yes: a texture another job lists stays, and nothing outside the user's folder goes.
        one->setDownloadError();
        QVERIFY(answer(one, QMessageBox::Yes));
        QVERIFY(userFile("tex/shared.png") && userFile("tex/two.png") && userFile("two.cfg") && userFile("two"));
        for (const char* file : {"tex/one.png", "one.cfg", "one", "one.jpg", "one.trialinfo"})
            QVERIFY2(!userFile(file), file);
        QVERIFY(exists("keep.txt") && QFile::exists(elsewhere.filePath("abs.txt")));
        QVERIFY(one->isDeleted && one->isDeletedLocal && one->name == QStringLiteral("one(deleted)"));
        QVERIFY(pauses.size() == 1 && downloadPauses.size() == 1);
        QCOMPARE(menu.count(), 0);
        QTRY_COMPARE(menu.count(), 1); // once the deleter is gone
        // The deleted job writes nothing any more, nor retries its download.
        QVERIFY(!one->downloadErrorRetryTimer->isActive());
        one->setRendered();
        one->restartDownloadSlot();
        QVERIFY(!userFile("one.cfg") && !userFile("one(deleted).cfg"));
        // The live-upload job compares no file lists: its texture stays.
        emit c->settings->deleteLocalJobSignal(live);
        QVERIFY(!userFile("liveUploadJob.cfg") && userFile("tex/two.png"));
        // Re-exported under the same name: a new record; the old one keeps its suffix.
        c->writeJob("one", fileSection({"tex/shared.png"}));
        c->receive(QJsonObject{{"action", "getProjectFolderContents"}, {"data", QJsonArray()}, {"serverNumberUpload", 1}});
        KiteProject* again = c->settings->jobList.last();
        QVERIFY(again != one && again->name == QStringLiteral("one") && again->isLocal);
        // The farm deletes "two": its own texture goes, the one the new "one" lists stays.
        // A name known only as a deleted record changes nothing.
        QSignalSpy twoPauses(two, &KiteProject::pauseDownloadSignal);
        c->receive(QJsonObject{{"action", "projectDeleted"}, {"data", QJsonObject{{"scene", "two"}}}});
        QVERIFY(!userFile("tex/two.png") && !userFile("two.cfg") && userFile("tex/shared.png"));
        QVERIFY(two->isDeleted && two->isUploadPaused && !twoPauses.isEmpty());
        QVERIFY(!c->logText().contains(QLatin1String("job for deletion not found!")));
        c->receive(QJsonObject{{"action", "projectDeleted"}, {"data", QJsonObject{{"scene", "liveUploadJob"}}}});
        QVERIFY(c->logText().contains(QLatin1String("job for deletion not found!")));
        QVERIFY(c->logText().contains(QLatin1String(": two: setDeleted\n"))); // the slots log the job's name
    }
};

QTEST_MAIN(TestJobsFolder)
#include "tst_jobs_folder.moc"
