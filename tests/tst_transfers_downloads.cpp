#include "transfers/downloadlistgenerator.h"
#include "transfers/outputpaths.h"
#include "transfers_fixture.h"

#include <QSettings>

using namespace Transfers;

// Download passes, download lists and their completion, with the connection
// cut off: requests are recorded, answers fed in.
class TestTransfersDownloads : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_client.start(); }
    void cleanup() { m_client.stop(); }

    void passSkipsJobs_data()
    {
        QTest::addColumn<QString>("state");
        for (const char* state : {"sync inactive", "transfers on hold", "unknown", "deleted", "deletedLocal",
                                  "downloadDisabled", "downloaded", "nothingToCheck", "notStarted", "fileRunning"})
            QTest::newRow(state) << QString::fromLatin1(state);
    }

    void passSkipsJobs()
    {
        QFETCH(QString, state);
        KiteProject* job = m_client.renderedJob("shot", true);
        m_client->settings->syncActive = state != "sync inactive";
        m_client->settings->transfersOnHold = state == "transfers on hold";
        job->isUnknown = state == "unknown";
        job->isDeleted = state == "deleted";
        job->isDeletedLocal = state == "deletedLocal";
        job->downloadEnabled = state != "downloadDisabled";
        job->isDownloaded = state == "downloaded";
        job->checkForFilesToDownload = state != "nothingToCheck";
        job->isRendering = state != "notStarted";
        job->runningDownloadsOfJob = state == "fileRunning" ? 1 : 0;
        m_client->plugin->generateDownloadFileListSlot();
        QVERIFY(m_client->sent("getOutputDir").isEmpty());
        QCOMPARE(job->checkForFilesToDownload, state != "nothingToCheck");
    }

    // A pass runs after the event that asked for it: a progress report's pass
    // looks at its job alone, the next pass a projects list asks for at
    // every job again.
    void passAsksForTheOutputOfARenderingJob()
    {
        KiteProject* job = m_client.renderedJob("shot", true);
        m_client.renderedJob("other", true);
        job->getOutputDirRunning = true;
        m_client->receive({{"action", "getProgressInfos"}, {"data", QJsonObject{{"scene", "shot"}, {"id", "id-shot"},
                          {"State", "RENDERING"}, {"ispaid", "1"}, {"progress", "40"}}}});
        QTRY_COMPARE(m_client->sent("getOutputDir").size(), 1);
        QCOMPARE(dataOf(m_client->sent("getOutputDir").first()), (QJsonObject{{"scene", "shot"}, {"size", true}}));
        m_client->receive({{"action", "getProjectStates"}, {"data", QJsonObject{{"projects", QJsonArray{
                          QJsonObject{{"name", "other"}, {"id", "id-other"}, {"status", "RENDERING"}}}}}}});
        QTRY_COMPARE(m_client->sent("getOutputDir").size(), 2);
        QCOMPARE(dataOf(m_client->sent("getOutputDir").last()).value("scene"), QJsonValue("other"));
        QVERIFY(job->outputDirRequested && !job->getOutputDirRunning && !job->checkForFilesToDownload);
        // Of two replies to it only the first is passed on.
        job->lastDownloadCheck = true;
        QSignalSpy listings(m_client->plugin, &PluginNetConnection::fileListUpdateSignal);
        const QJsonObject reply = m_client.outputReply(job, QJsonArray{entry("a.png", 10)}, QJsonArray{folder("sub")});
        m_client->receive(reply);
        m_client->receive(reply);
        QCOMPARE(listings.size(), 1);
        QCOMPARE(listings.first().at(2).value<KiteProject*>(), job);
        QVERIFY(job->outputDirReceived && job->lastDownloadCheckReceived);
        QCOMPARE(paths(job->downloadList), QStringList{"a.png"});
    }

    // A pass gives a rendered job its output folder (the default taken, and
    // the next number used by another job, so "_2"); the next pass asks for
    // the output. Every rule of the choice: the job files' tests.
    void passGivesTheOutputFolder()
    {
        const QString base = m_client->userFolder() + "/OrvelKite/Download/output/shot";
        QVERIFY(TestFiles::writeFile(base + "/frame.png", "x"));
        m_client->addJob("other")->localDownloadDirCustom = base + "_1";
        KiteProject* job = m_client.renderedJob("shot", true);
        job->localDownloadDirCustom.clear();
        m_client->plugin->generateDownloadFileListSlot();
        const QString expected = QFileInfo(base + "_2").absoluteFilePath();
        QCOMPARE(job->localDownloadDirCustom, expected);
        QVERIFY(QFileInfo(expected).isDir() && m_client.cfgText("shot").contains("\r\ndownloadpath=" + expected));
        QVERIFY(m_client->sent("getOutputDir").isEmpty() && job->checkForFilesToDownload);
        m_client->plugin->generateDownloadFileListSlot();
        QCOMPARE(m_client->sent("getOutputDir").size(), 1);
    }

    void outOfRenderPoints_data()
    {
        QTest::addColumn<int>("teamid");
        QTest::addColumn<bool>("teamPaid");
        QTest::addColumn<bool>("accountPaid");
        QTest::addColumn<bool>("pointsHeard"); // since the login
        QTest::addColumn<QString>("notice"); // of the final look; empty: none
        QTest::newRow("own job, paid account") << 0 << false << true << true << "";
        QTest::newRow("own job, unpaid account") << 0 << true << false << true << "Out of render points";
        QTest::newRow("own job, points not heard since the login") << 0 << true << false << false << "";
        QTest::newRow("unpaid team, paid account") << 12 << false << true << true << "Team out of render points";
        QTest::newRow("unpaid team, unpaid account") << 12 << false << false << true << "Out of render points";
        QTest::newRow("paid team, unpaid account") << 12 << true << false << true << "";
    }

    // Jobs without paid render points are marked instead of downloaded, and told
    // so at their final look.
    void outOfRenderPoints()
    {
        QFETCH(int, teamid);
        QFETCH(bool, teamPaid);
        QFETCH(bool, accountPaid);
        QFETCH(bool, pointsHeard);
        QFETCH(QString, notice);
        const bool outOfPoints = !notice.isEmpty();
        KiteProject* job = m_client.renderedJob("shot", true);
        job->teamid = teamid;
        job->isPaid = teamPaid;
        m_client->settings->isPaid = accountPaid;
        m_client->settings->renderPointsUnknown = !pointsHeard;
        QCOMPARE(DownloadListGenerator::isOutOfRenderPoints(job, m_client->settings), outOfPoints);
        m_client->plugin->generateDownloadFileListSlot();
        QCOMPARE(job->outOfRenderPoints, outOfPoints);
        QCOMPARE(m_client->sent("getOutputDir").size(), outOfPoints ? 0 : 1);
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        QSignalSpy listings(m_client->plugin, &PluginNetConnection::fileListUpdateSignal);
        QSignalSpy started(m_client->plugin, &PluginNetConnection::downloadJobSignal);
        m_client->receive(m_client.outputReply(job, QJsonArray{entry("a.png", 10)}));
        QCOMPARE(listings.size(), outOfPoints ? 0 : 1);
        QCOMPARE(ofType(messages, "OutOfRenderPoints").size(), outOfPoints ? 1 : 0);
        if (outOfPoints)
            QCOMPARE(messages.first().at(0).toString(), QStringLiteral("Out of render points"));
        m_client.list(job, QJsonArray{entry("b.png", 10)});
        QCOMPARE(started.size(), outOfPoints ? 0 : 2);
        // The final look after rendering.
        KiteProject* last = m_client.renderedJob("last");
        last->teamid = teamid;
        last->isPaid = teamPaid;
        messages.clear();
        m_client->plugin->downloadJobFinishedSlot(last, 0);
        const QList<QVariantList> notices = ofType(messages, "OutOfRenderPoints");
        QCOMPARE(notices.size(), outOfPoints ? 1 : 0);
        if (outOfPoints)
            QCOMPARE(notices.first().mid(0, 2), (QVariantList{notice, notice}));
        QCOMPARE(m_client->sent("getOutputDir").size(), outOfPoints ? 0 : 2);
    }

    void localFilesCompared_data()
    {
        QTest::addColumn<qint64>("localSize");
        QTest::addColumn<bool>("marker");
        QTest::addColumn<QString>("answer"); // "", "overwriteAll", "ignoreAll", "yes"
        QTest::addColumn<qint64>("expectedLocalSize"); // -1: not in the list
        QTest::addColumn<bool>("asked");
        QTest::addColumn<qint64>("received");
        QTest::newRow("complete") << qint64(500) << false << "" << qint64(-1) << false << qint64(500);
        QTest::newRow("interrupted") << qint64(200) << true << "" << qint64(200) << false << qint64(200);
        QTest::newRow("different size asks") << qint64(200) << false << "" << qint64(-1) << true << qint64(0);
        QTest::newRow("ignore all") << qint64(200) << false << "ignoreAll" << qint64(-1) << false << qint64(0);
        QTest::newRow("overwrite all") << qint64(200) << false << "overwriteAll" << qint64(200) << false << qint64(0);
        QTest::newRow("answered yes") << qint64(700) << false << "yes" << qint64(700) << false << qint64(0);
    }

    void localFilesCompared()
    {
        QFETCH(qint64, localSize);
        QFETCH(QString, answer);
        QFETCH(qint64, expectedLocalSize);
        QFETCH(bool, asked);
        KiteProject* job = m_client.renderedJob("shot", true);
        QVERIFY(m_client.writeLocal(job, "passes/alpha.png", localSize));
        QFETCH(bool, marker);
        if (marker)
            QVERIFY(m_client.writeLocal(job, "passes/alpha.png.dlstarted", 0));
        job->overwriteAll = answer == "overwriteAll";
        job->ignoreAll = answer == "ignoreAll";
        if (answer == "yes")
            job->overwriteYesList.insert("passes/alpha.png");
        QSignalSpy questions(m_client->plugin->downloadListUpdater, &DownloadListUpdater::confirmOverwriteSignal);
        for (int pass = 0; pass < 2; ++pass) // an open question is not asked again
            m_client.list(job, QJsonArray{entry("passes/alpha.png", 500)}, QJsonArray{folder("passes")});
        if (expectedLocalSize < 0) {
            QVERIFY(job->downloadList.isEmpty());
        } else {
            QCOMPARE(job->downloadList.size(), 2);
            QCOMPARE(job->downloadList.first().path, QStringLiteral("passes/alpha.png"));
            QCOMPARE(job->downloadList.first().size, qint64(500));
            QCOMPARE(job->downloadList.first().localSize, expectedLocalSize);
        }
        QCOMPARE(questions.size(), asked ? 1 : 0);
        if (asked)
            QCOMPARE(questions.first(), (QVariantList{false, false, true}));
        QCOMPARE(job->pendingOverwriteList, asked ? QStringList{"passes/alpha.png"} : QStringList());
        QCOMPARE(job->overwriteQuestionOpen, asked);
        QTEST(job->bytesReceivedTotal, "received");
        QCOMPARE(job->downloadBytesTotal, qint64(500));
    }

    void trialOverlays()
    {
        m_client->settings->isTrial = true;
        KiteProject* job = m_client.renderedJob("shot", true);
        {
            QSettings info(m_client->userFolder() + "/shot.trialinfo", QSettings::IniFormat);
            info.setValue("originalFiles/frame_0001.png", 3000);
            info.setValue("overlayFiles/frame_0001.png", 3007);
        }
        QVERIFY(m_client.writeLocal(job, "frame_0001.png", 3007));
        m_client.list(job, QJsonArray{entry("frame_0001.png", 3000), entry("frame_0001_overlaid.png", 3007),
                                      entry("frame_0002.png", 3100)});
        // The overlaid copy counts as the complete file; the server's overlaid
        // copies are never fetched on their own.
        QCOMPARE(paths(job->downloadList), QStringList{"frame_0002.png"});
        QCOMPARE(job->bytesReceivedTotal, qint64(3007));
        QVERIFY(job->pendingOverwriteList.isEmpty());
        m_client->settings->isTrial = false; // without a trial account the same file differs in size
        m_client.list(job, QJsonArray{entry("frame_0001.png", 3000)});
        QCOMPARE(job->pendingOverwriteList, QStringList{"frame_0001.png"});
    }

    void missingLocalFolderTakesTheDefault()
    {
        KiteProject* job = m_client.renderedJob("shot");
        job->localDownloadDirCustom = m_client->appDir() + "/gone";
        job->checkForFilesToDownload = false;
        m_client.list(job, QJsonArray{entry("a.png", 10)});
        const QString expected = QFileInfo(m_client->userFolder() + "/OrvelKite/Download/output/shot").absoluteFilePath();
        QCOMPARE(job->localDownloadDirCustom, expected);
        QVERIFY(QFileInfo(expected).isDir() && !QFileInfo::exists(m_client->appDir() + "/gone"));
        // The download starts over there with the listing at hand: its file
        // is fetched without the farm being asked again for the same answer.
        QCOMPARE(paths(job->downloadList), QStringList{"a.png"});
        QVERIFY(job->isDownloading && !job->checkForFilesToDownload);
    }

    // A list with files starts the download (and the next pass for a job
    // waiting); an empty one reports the job finished once it no longer renders.
    void listStartsOrFinishesTheDownload()
    {
        KiteProject* job = m_client.renderedJob("shot", true);
        KiteProject* other = m_client.renderedJob("other", true);
        job->outputDirRequested = true;
        QSignalSpy started(m_client->plugin, &PluginNetConnection::downloadJobSignal);
        // A file of exactly 128 bytes is left out.
        m_client.list(job, QJsonArray{entry("a.png", 127), entry("b.png", 128), entry("c.png", 129)});
        QCOMPARE(paths(job->downloadList), (QStringList{"a.png", "c.png"}));
        QCOMPARE(job->downloadBytesTotal, qint64(127 + 129));
        QCOMPARE(started.size(), 1);
        QCOMPARE(m_client->settings->runningJobDownloads, 1);
        QVERIFY(job->isDownloading && !job->checkForFilesToDownload && !job->outputDirRequested);
        QCOMPARE(job->downloadProgressBase, 100.0);
        QVERIFY(other->checkForFilesToDownload);
        QTRY_COMPARE(m_client->sent("getOutputDir").size(), 1);
        QCOMPARE(dataOf(m_client->sent("getOutputDir").first()).value("scene").toString(), QStringLiteral("other"));

        m_client->settings->runningJobDownloads = 0;
        KiteProject* rendering = m_client.renderedJob("busy", true);
        KiteProject* rendered = m_client.renderedJob("done");
        QVERIFY(m_client.writeLocal(rendering, "a.png", 10) && m_client.writeLocal(rendered, "a.png", 10));
        QSignalSpy finished(m_client->plugin->downloadListUpdater, &DownloadListUpdater::jobDownloadFinishedSignal);
        rendering->checkForFilesToDownload = false;
        m_client.list(rendering, QJsonArray{entry("a.png", 10)});
        QCOMPARE(finished.size(), 0);
        // Nothing new while it renders: looked at again once a frame is done.
        QVERIFY(!rendering->checkForFilesToDownload);
        m_client->receive(message("frameStateChange", QString(), {{"scene", "busy"}, {"frame", 2}, {"state", "RENDERED"}}));
        QVERIFY(rendering->checkForFilesToDownload);
        rendered->outputDirRequested = true;
        m_client.list(rendered, QJsonArray{entry("a.png", 10)});
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first(), (QVariantList{QVariant::fromValue(rendered), 0}));
        // Counted up for the report and down again by the completion.
        QCOMPARE(m_client->settings->runningJobDownloads, 0);
        QVERIFY(!rendered->outputDirRequested);
    }

    void hostileNamesAreSkipped_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("parent") << "../escape/x.png";
        QTest::newRow("parent inside") << "ok/../../escape/x.png";
        QTest::newRow("only parent") << "..";
        QTest::newRow("absolute") << "/tmp/escape/x.png";
        QTest::newRow("drive letter") << "C:/escape/x.png";
        QTest::newRow("drive relative") << "C:escape.png";
        QTest::newRow("backslash") << "..\\escape\\x.png";
        QTest::newRow("newline") << "ok/x\n.png";
        QTest::newRow("nul") << QStringLiteral("ok/x") + QChar(0) + QStringLiteral(".png");
        QTest::newRow("device") << "ok/NUL.png";
        QTest::newRow("trailing dot") << "ok/x.png.";
        QTest::newRow("trailing space") << "ok/x.png ";
        QTest::newRow("dot") << "./x.png";
        QTest::newRow("three dots") << "...";
        QTest::newRow("empty component") << "ok//x.png";
        QTest::newRow("stream") << "x.png:stream";
        QTest::newRow("tab") << "x\t.png";
        QTest::newRow("delete") << QStringLiteral("x") + QChar(0x7f);
        QTest::newRow("com port") << "ok/com1.txt";
        QTest::newRow("lpt port") << "LPT9";
    }

    void hostileNamesAreSkipped()
    {
        QFETCH(QString, name);
        KiteProject* job = m_client.renderedJob("shot", true);
        // A file outside the job's folder that a hostile name would point at.
        const QString outside = m_client->appDir() + "/out/escape";
        QVERIFY(TestFiles::writeFile(outside + "/x.png", QByteArray(40, 'b')));
        const QString hostileFolder = name.section('/', 0, -2);
        m_client.list(job, QJsonArray{entry(name, 40), entry("ok/deep/a..b.png", 10), entry(".hidden", 2)},
                      QJsonArray{folder(hostileFolder.isEmpty() ? name : hostileFolder), folder("ok/deep"), folder("../made")});
        QCOMPARE(paths(job->downloadList), (QStringList{"ok/deep/a..b.png", ".hidden"}));
        QVERIFY(QFileInfo(job->localDownloadDirCustom + "/ok/deep").isDir()); // sub-folders are made
        QCOMPARE(job->downloadBytesTotal, qint64(12));
        QCOMPARE(job->bytesReceivedTotal, qint64(0));
        QCOMPARE(QDir(m_client->appDir() + "/out").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"escape", "shot"}));
        QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"x.png"});
        QVERIFY(m_client->logText().contains("file name from the server refused, skipped: " + OutputPaths::printable(name)));
    }

    void firstCompletionLooksAgainSecondFinishes()
    {
        KiteProject* job = m_client.renderedJob("shot");
        m_client->settings->runningJobDownloads = 1;
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        QSignalSpy next(m_client->plugin, &PluginNetConnection::downloadJobSignal);
        m_client->plugin->downloadJobFinishedSlot(job, 0);
        QCOMPARE(m_client->sent("getOutputDir").size(), 1);
        QVERIFY(ofType(messages, "DownloadEnd").isEmpty());
        QVERIFY(job->lastDownloadCheck && job->lastDownloadCheckReceived && !job->isDownloaded);
        // Not marked before the final look: a cfg read now must not end the download.
        QVERIFY(!m_client.cfgText("shot").contains("downloaded=true"));
        QCOMPARE(m_client->settings->runningJobDownloads, 0);
        m_client->settings->runningJobDownloads = 1;
        m_client->plugin->downloadJobFinishedSlot(job, 0);
        QCOMPARE(m_client->sent("getOutputDir").size(), 1);
        const QList<QVariantList> done = ofType(messages, "DownloadEnd");
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.first(), (QVariantList{"Download finished", "shot 100%... \nClick here to open folder", "DownloadEnd",
                                             QVariant::fromValue(job)}));
        QCOMPARE(next.size(), 1);
        QVERIFY(job->isDownloaded && m_client.cfgText("shot").contains("downloaded=true\r\n\r\nrestartDownload=false"));
        QVERIFY(job->downloadPriority == -1 && !job->lastDownloadCheck);
        QCOMPARE(m_client->sent("setDownloadComplete").size(), 1);
    }

    void errorRestarts_data()
    {
        QTest::addColumn<int>("earlierRestarts");
        QTest::addColumn<bool>("retried");
        QTest::newRow("9 earlier restarts") << 9 << true;
        QTest::newRow("10 earlier restarts") << 10 << false;
    }

    void errorRestarts()
    {
        QFETCH(int, earlierRestarts);
        QFETCH(bool, retried);
        KiteProject* job = m_client.renderedJob("shot");
        std::tie(job->downloadJobErrorCount, job->downloadJobErrorRestartCount) = std::make_pair(2, earlierRestarts);
        std::tie(job->checkForFilesToDownload, job->lastDownloadCheckReceived) = std::make_pair(false, true);
        job->failedDownloadFiles << "a.png";
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        m_client->plugin->downloadJobFinishedSlot(job, 1);
        QCOMPARE(job->hasDownloadError, !retried);
        QVERIFY(!job->isDownloaded && !job->downloadedMark && !m_client.cfgText("shot").contains("downloaded=true"));
        QVERIFY(ofType(messages, "DownloadEnd").isEmpty());
        QCOMPARE(job->downloadJobErrorRestartCount, 10);
        // A retry looks at the output again; the tenth failure is shown and
        // retried later.
        QCOMPARE(m_client->sent("getOutputDir").size(), retried ? 1 : 0);
        if (retried)
            QVERIFY(job->downloadJobErrorCount == 0 && job->failedDownloadFiles.isEmpty() && job->checkForFilesToDownload);
        else
            QVERIFY(job->downloadErrorMessageShown && job->downloadErrorRetryTimer && job->downloadErrorRetryTimer->isActive());
    }

    // Three restarts, an open overwrite question or a job still rendering hold
    // the completion: no "Download finished", the downloader takes the next job.
    void completionHeld()
    {
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        QSignalSpy next(m_client->plugin, &PluginNetConnection::downloadJobSignal);
        KiteProject* restarted = m_client.renderedJob("restarted");
        std::tie(restarted->downloadJobErrorRestartCount, restarted->lastDownloadCheckReceived) = std::make_pair(3, true);
        restarted->overwriteYesList.insert("a.png");
        m_client->plugin->downloadJobFinishedSlot(restarted, 0);
        QCOMPARE(next.size(), 1);
        // Restarted without resetting answers or error counts.
        QVERIFY(!restarted->isDownloaded && restarted->checkForFilesToDownload);
        QVERIFY(restarted->downloadJobErrorRestartCount == 3 && restarted->overwriteYesList.contains("a.png"));
        QVERIFY(m_client.cfgText("restarted").endsWith("downloaded=false\r\n"));
        KiteProject* asking = m_client.renderedJob("asking");
        asking->overwriteQuestionOpen = true;
        m_client->plugin->downloadJobFinishedSlot(asking, 0);
        QCOMPARE(next.size(), 2);
        QVERIFY(m_client->sent("getOutputDir").isEmpty());
        KiteProject* rendering = m_client.renderedJob("rendering", true);
        rendering->checkForFilesToDownload = false;
        for (int pass = 0; pass < 2; ++pass)
            m_client->plugin->downloadJobFinishedSlot(rendering, 0);
        QCOMPARE(next.size(), 4);
        QVERIFY(!rendering->isDownloaded && rendering->checkForFilesToDownload);
        QVERIFY(!m_client.cfgText("rendering").contains("downloaded=true"));
        QVERIFY(ofType(messages, "DownloadEnd").isEmpty() && m_client->sent("setDownloadComplete").isEmpty());
        // The next progress event's pass asks again.
        m_client->plugin->generateDownloadFileListSlot();
        QStringList asked;
        for (const QJsonObject& request : m_client->sent("getOutputDir"))
            asked << dataOf(request).value("scene").toString();
        QVERIFY(asked.contains("rendering"));
    }

    void updateJobEnd_data()
    {
        QTest::addColumn<bool>("failed");
        QTest::addColumn<bool>("firstRunDone");
        QTest::newRow("finished") << false << true;
        QTest::newRow("finished on the first run") << false << false;
        QTest::newRow("failed") << true << true;
    }

    void updateJobEnd()
    {
        QFETCH(bool, failed);
        QFETCH(bool, firstRunDone);
        KiteProject* job = m_client->addJob("updateDownload");
        std::tie(job->isUpdateJob, job->isUnknown, job->isDownloading) = std::make_tuple(true, false, true);
        job->downloadJobErrorCount = failed ? 1 : 0;
        KiteSettings* set = m_client->settings;
        std::tie(set->updateDownloadStarted, set->syncActive, set->firstRunDone) = std::make_tuple(true, false, firstRunDone);
        set->runningJobDownloads = 1;
        QSignalSpy updateDone(m_client->plugin, &PluginNetConnection::updateDownloadFinishedSignal);
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        m_client->plugin->downloadJobFinishedSlot(job, 0);
        QCOMPARE(updateDone.size(), failed ? 0 : 1);
        QCOMPARE(m_client->settings->syncActive, !failed && firstRunDone);
        QCOMPARE(m_client->sent("getUserToken").size(), !failed && !firstRunDone ? 1 : 0);
        // Never a look at a job output for the update job.
        QVERIFY(m_client->sent("getOutputDir").isEmpty());
        QCOMPARE(ofType(messages, "DownloadEnd").size(), failed ? 0 : 1);
        QCOMPARE(job->isDownloaded, !failed);
        QVERIFY(!QFileInfo::exists(m_client->userFolder() + "/updateDownload.cfg"));
    }

    void packAndOverlayRequests()
    {
        KiteProject* job = m_client.renderedJob("shot");
        DownloadFile file;
        file.path = "passes/alpha_0001.png";
        m_client->plugin->zipRequestSlot(file, job);
        m_client->plugin->generateOverlayRequestSlot(file, job);
        for (const char* action : {"pack", "generateOverlay"}) {
            QCOMPARE(m_client->sent(action).size(), 1);
            QCOMPARE(dataOf(m_client->sent(action).first()), (QJsonObject{{"scene", "shot"}, {"picture", file.path}}));
        }
        QSignalSpy overlays(m_client->plugin, &PluginNetConnection::overlayGeneratedSignal);
        m_client->receive(message("generateOverlay", "shot", {{"result", false}, {"filename", ""}}));
        QCOMPARE(overlays.size(), 0);
        m_client->receive(message("generateOverlay", "shot", {{"result", true}, {"filename", "passes/alpha_0001_overlaid.png"}}));
        QCOMPARE(overlays.size(), 1);
        QCOMPARE(overlays.first(), (QVariantList{"passes/alpha_0001_overlaid.png", QVariant::fromValue(job)}));
    }

private:
    Client m_client;
};

QTEST_MAIN(TestTransfersDownloads)
#include "tst_transfers_downloads.moc"
