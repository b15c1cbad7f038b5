#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "tst_downloads_fixture.h"
#include "transfers/downloadlistgenerator.h"
#include "transfers/downloadlistupdater.h"
#include "transfers/outputpaths.h"

#include <QSettings>

using namespace DownloadsFixture;

// Download passes and download lists, with the connection cut off: requests
// are recorded, answers fed in.
class TestDownloads : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_client.start(); }
    void cleanup() { m_client.stop(); }

    // Passes and the output listing.
    void passDoesNothingWhileHeldOrWithoutSync_data();
    void passDoesNothingWhileHeldOrWithoutSync();
    void passAsksForTheOutputOfARenderingJob();
    void passSkipsJobs_data();
    void passSkipsJobs();
    void numberedDefaultFolders_data();
    void numberedDefaultFolders();
    void outOfRenderPoints_data();
    void outOfRenderPoints();
    void onlyTheFirstReplyIsPassedOn();
    void replyForAnOutOfPointsJobNotifies();

    // The download list.
    void sizeOf128IsIgnored_data();
    void sizeOf128IsIgnored();
    void localFilesCompared_data();
    void localFilesCompared();
    void openQuestionIsNotAskedTwice();
    void trialOverlays();
    void missingLocalFolderTakesTheDefault();
    void missingSubFoldersAreCreated();
    void emptyListFinishesOnlyAfterRendering();
    void nonEmptyListStartsTheDownload();
    void unpaidAccountDoesNotStart();
    void otherJobsWaitingAreLookedAt();
    void hostileNamesAreSkipped_data();
    void hostileNamesAreSkipped();
    void outputPathRules_data();
    void outputPathRules();

private:
    Client m_client;
};

// --- passes -------------------------------------------------------------------

void TestDownloads::passDoesNothingWhileHeldOrWithoutSync_data()
{
    QTest::addColumn<bool>("syncActive");
    QTest::addColumn<bool>("onHold");
    QTest::newRow("sync inactive") << false << false;
    QTest::newRow("transfers on hold") << true << true;
}

void TestDownloads::passDoesNothingWhileHeldOrWithoutSync()
{
    QFETCH(bool, syncActive);
    QFETCH(bool, onHold);
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    m_client->settings->syncActive = syncActive;
    m_client->settings->transfersOnHold = onHold;
    m_client->plugin->generateDownloadFileListSlot();
    QVERIFY(m_client->sent(QStringLiteral("getOutputDir")).isEmpty());
    QVERIFY(job->checkForFilesToDownload);
}

void TestDownloads::passAsksForTheOutputOfARenderingJob()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    job->getOutputDirRunning = true;
    emit m_client->plugin->generateDownloadFileListSignal();

    // The pass runs after the event that asked for it.
    QTRY_COMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
    const QList<QJsonObject> sent = m_client->sent(QStringLiteral("getOutputDir"));
    const QJsonObject data = sent.first().value("data").toObject();
    QCOMPARE(data.value("scene").toString(), QStringLiteral("shot"));
    QCOMPARE(data.value("size").toBool(), true);
    QVERIFY(job->outputDirRequested);
    QVERIFY(!job->getOutputDirRunning);
    QVERIFY(!job->checkForFilesToDownload);
}

void TestDownloads::passSkipsJobs_data()
{
    QTest::addColumn<QString>("state");
    for (const char* state : {"unknown", "deleted", "deletedLocal", "downloadDisabled", "downloaded",
                              "nothingToCheck", "notStarted", "fileRunning"})
        QTest::newRow(state) << QString::fromLatin1(state);
}

void TestDownloads::passSkipsJobs()
{
    QFETCH(QString, state);
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    if (state == "unknown")
        job->isUnknown = true;
    else if (state == "deleted")
        job->isDeleted = true;
    else if (state == "deletedLocal")
        job->isDeletedLocal = true;
    else if (state == "downloadDisabled")
        job->downloadEnabled = false;
    else if (state == "downloaded")
        job->isDownloaded = true;
    else if (state == "nothingToCheck")
        job->checkForFilesToDownload = false;
    else if (state == "notStarted")
        job->isRendering = false;
    else if (state == "fileRunning")
        job->runningDownloadsOfJob = 1;
    m_client->plugin->generateDownloadFileListSlot();
    QVERIFY(m_client->sent(QStringLiteral("getOutputDir")).isEmpty());
}

void TestDownloads::numberedDefaultFolders_data()
{
    QTest::addColumn<QString>("defaultContent"); // "", "visible", "hidden"
    QTest::addColumn<bool>("otherJobUsesFirstNumber");
    QTest::addColumn<QString>("expectedSuffix");
    QTest::newRow("absent") << QString() << false << QString();
    QTest::newRow("empty folder used") << QStringLiteral("empty") << false << QString();
    QTest::newRow("hidden file only") << QStringLiteral("hidden") << false << QString();
    QTest::newRow("taken folder numbered") << QStringLiteral("visible") << false << QStringLiteral("_1");
    QTest::newRow("collision moves on") << QStringLiteral("visible") << true << QStringLiteral("_2");
}

void TestDownloads::numberedDefaultFolders()
{
    QFETCH(QString, defaultContent);
    QFETCH(bool, otherJobUsesFirstNumber);
    QFETCH(QString, expectedSuffix);

    const QString base = m_client->userFolder() + QStringLiteral("/OrvelKite/Download/output/shot");
    if (!defaultContent.isEmpty())
        QDir().mkpath(base);
    if (defaultContent == "visible")
        m_client->writeUserFile(QStringLiteral("OrvelKite/Download/output/shot/frame.png"), "x");
    if (defaultContent == "hidden")
        m_client->writeUserFile(QStringLiteral("OrvelKite/Download/output/shot/.hidden"), "x");
    if (otherJobUsesFirstNumber) {
        KiteProject* other = m_client->addJob(QStringLiteral("other"));
        other->localDownloadDirCustom = base + QStringLiteral("_1");
    }

    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    job->localDownloadDirCustom.clear();
    m_client->plugin->generateDownloadFileListSlot();

    const QString expected = QFileInfo(base + expectedSuffix).absoluteFilePath();
    QCOMPARE(job->localDownloadDirCustom, expected);
    QVERIFY(QFileInfo(expected).isDir());
    QVERIFY(m_client.cfgText(QStringLiteral("shot")).contains(QStringLiteral("\r\ndownloadpath=") + expected));
    // The folder was chosen in this pass; the next pass asks for the output.
    QVERIFY(m_client->sent(QStringLiteral("getOutputDir")).isEmpty());
    QVERIFY(job->checkForFilesToDownload);
    m_client->plugin->generateDownloadFileListSlot();
    QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
}

void TestDownloads::outOfRenderPoints_data()
{
    QTest::addColumn<int>("teamid");
    QTest::addColumn<bool>("teamPaid");
    QTest::addColumn<bool>("accountPaid");
    QTest::addColumn<bool>("outOfPoints");
    QTest::newRow("own job, paid account") << 0 << false << true << false;
    QTest::newRow("own job, unpaid account") << 0 << true << false << true;
    QTest::newRow("unpaid team, paid account") << 12 << false << true << true;
    QTest::newRow("paid team, unpaid account") << 12 << true << false << false;
}

void TestDownloads::outOfRenderPoints()
{
    QFETCH(int, teamid);
    QFETCH(bool, teamPaid);
    QFETCH(bool, accountPaid);
    QFETCH(bool, outOfPoints);
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    job->teamid = teamid;
    job->isPaid = teamPaid;
    m_client->settings->isPaid = accountPaid;

    QCOMPARE(DownloadListGenerator::isOutOfRenderPoints(job, m_client->settings), outOfPoints);
    m_client->plugin->generateDownloadFileListSlot();
    QCOMPARE(job->outOfRenderPoints, outOfPoints);
    QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), outOfPoints ? 0 : 1);
}

void TestDownloads::onlyTheFirstReplyIsPassedOn()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    job->lastDownloadCheck = true;
    QSignalSpy listings(m_client->plugin, &PluginNetConnection::fileListUpdateSignal);
    const QJsonObject reply = m_client.outputReply(job, QJsonArray{entry("a.png", 10)}, QJsonArray{folder("sub")});
    m_client->receive(reply);
    m_client->receive(reply);
    QCOMPARE(listings.size(), 1);
    QCOMPARE(listings.first().at(0).toJsonArray().size(), 1);
    QCOMPARE(listings.first().at(2).value<KiteProject*>(), job);
    QVERIFY(job->outputDirReceived);
    QVERIFY(job->lastDownloadCheckReceived);
    QCOMPARE(paths(job->downloadList), QStringList{"a.png"});
}

void TestDownloads::replyForAnOutOfPointsJobNotifies()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    m_client->settings->isPaid = false;
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    QSignalSpy listings(m_client->plugin, &PluginNetConnection::fileListUpdateSignal);
    m_client->receive(m_client.outputReply(job, QJsonArray{entry("a.png", 10)}));
    QCOMPARE(messagesOfType(messages, "OutOfRenderPoints").size(), 1);
    QCOMPARE(messages.first().at(0).toString(), QStringLiteral("Out of render points"));
    QCOMPARE(listings.size(), 0);
}

// --- the download list ------------------------------------------------------------

void TestDownloads::sizeOf128IsIgnored_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("listed");
    QTest::newRow("127") << qint64(127) << true;
    QTest::newRow("128") << qint64(128) << false;
    QTest::newRow("129") << qint64(129) << true;
}

void TestDownloads::sizeOf128IsIgnored()
{
    QFETCH(qint64, size);
    QFETCH(bool, listed);
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    m_client.list(job, QJsonArray{entry("frame.png", size)});
    QCOMPARE(job->downloadList.size(), listed ? 1 : 0);
    QCOMPARE(job->downloadBytesTotal, listed ? size : 0);
}

void TestDownloads::localFilesCompared_data()
{
    QTest::addColumn<qint64>("localSize");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<QString>("answer"); // "", "overwriteAll", "ignoreAll", "yes"
    QTest::addColumn<qint64>("expectedLocalSize"); // -1: not in the list
    QTest::addColumn<bool>("asked");
    QTest::addColumn<qint64>("received");

    QTest::newRow("complete") << qint64(500) << false << QString() << qint64(-1) << false << qint64(500);
    QTest::newRow("interrupted") << qint64(200) << true << QString() << qint64(200) << false << qint64(200);
    QTest::newRow("different size asks") << qint64(200) << false << QString() << qint64(-1) << true << qint64(0);
    QTest::newRow("ignore all") << qint64(200) << false << QStringLiteral("ignoreAll") << qint64(-1) << false << qint64(0);
    QTest::newRow("overwrite all") << qint64(200) << false << QStringLiteral("overwriteAll") << qint64(200) << false
                                   << qint64(0);
    QTest::newRow("answered yes") << qint64(700) << false << QStringLiteral("yes") << qint64(700) << false << qint64(0);
}

void TestDownloads::localFilesCompared()
{
    QFETCH(qint64, localSize);
    QFETCH(bool, marker);
    QFETCH(QString, answer);
    QFETCH(qint64, expectedLocalSize);
    QFETCH(bool, asked);
    QFETCH(qint64, received);

    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    QVERIFY(m_client.writeLocal(job, QStringLiteral("passes/alpha.png"), localSize));
    if (marker)
        QVERIFY(m_client.writeLocal(job, QStringLiteral("passes/alpha.png.dlstarted"), 0));
    job->overwriteAll = answer == "overwriteAll";
    job->ignoreAll = answer == "ignoreAll";
    if (answer == "yes")
        job->overwriteYesList.insert(QStringLiteral("passes/alpha.png"));

    QSignalSpy questions(m_client->plugin->downloadListUpdater, &DownloadListUpdater::confirmOverwriteSignal);
    m_client.list(job, QJsonArray{entry("passes/alpha.png", 500)}, QJsonArray{folder("passes")});

    if (expectedLocalSize < 0) {
        QVERIFY(job->downloadList.isEmpty());
    } else {
        QCOMPARE(job->downloadList.size(), 1);
        QCOMPARE(job->downloadList.first().path, QStringLiteral("passes/alpha.png"));
        QCOMPARE(job->downloadList.first().size, qint64(500));
        QCOMPARE(job->downloadList.first().localSize, expectedLocalSize);
    }
    QCOMPARE(questions.size(), asked ? 1 : 0);
    if (asked)
        QCOMPARE(questions.first(), (QList<QVariant>{false, false, true}));
    QCOMPARE(job->pendingOverwriteList, asked ? QStringList{"passes/alpha.png"} : QStringList());
    QCOMPARE(job->overwriteQuestionOpen, asked);
    QCOMPARE(job->bytesReceivedTotal, received);
    QCOMPARE(job->downloadBytesTotal, qint64(500));
}

void TestDownloads::openQuestionIsNotAskedTwice()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    QVERIFY(m_client.writeLocal(job, QStringLiteral("a.png"), 10));
    QSignalSpy questions(m_client->plugin->downloadListUpdater, &DownloadListUpdater::confirmOverwriteSignal);
    m_client.list(job, QJsonArray{entry("a.png", 20)});
    m_client.list(job, QJsonArray{entry("a.png", 20)});
    QCOMPARE(questions.size(), 1);
    QCOMPARE(job->pendingOverwriteList, QStringList{"a.png"});
}

void TestDownloads::trialOverlays()
{
    m_client->settings->isTrial = true;
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    {
        QSettings info(m_client->userFolder() + QStringLiteral("/shot.trialinfo"), QSettings::IniFormat);
        info.setValue(QStringLiteral("originalFiles/frame_0001.png"), 3000);
        info.setValue(QStringLiteral("overlayFiles/frame_0001.png"), 3007);
    }
    QVERIFY(m_client.writeLocal(job, QStringLiteral("frame_0001.png"), 3007));
    m_client.list(job, QJsonArray{entry("frame_0001.png", 3000), entry("frame_0001_overlaid.png", 3007),
                         entry("frame_0002.png", 3100)});
    // The overlaid copy counts as the complete file; the server's overlaid
    // copies are never fetched on their own.
    QCOMPARE(paths(job->downloadList), QStringList{"frame_0002.png"});
    QCOMPARE(job->bytesReceivedTotal, qint64(3007));
    QVERIFY(job->pendingOverwriteList.isEmpty());

    // Without a trial account the same local file differs in size.
    m_client->settings->isTrial = false;
    job->downloadList.clear();
    m_client.list(job, QJsonArray{entry("frame_0001.png", 3000)});
    QCOMPARE(job->pendingOverwriteList, QStringList{"frame_0001.png"});
}

void TestDownloads::missingLocalFolderTakesTheDefault()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    job->localDownloadDirCustom = m_client->appDir() + QStringLiteral("/gone");
    job->checkForFilesToDownload = false;
    m_client.list(job, QJsonArray{entry("a.png", 10)});
    const QString expected = m_client->userFolder() + QStringLiteral("/OrvelKite/Download/output/shot");
    QCOMPARE(job->localDownloadDirCustom, QFileInfo(expected).absoluteFilePath());
    QVERIFY(QFileInfo(expected).isDir());
    QVERIFY(!QFileInfo::exists(m_client->appDir() + QStringLiteral("/gone")));
    // The listing is dropped; the download starts over from there.
    QVERIFY(job->downloadList.isEmpty());
    QVERIFY(job->checkForFilesToDownload);
}

void TestDownloads::missingSubFoldersAreCreated()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    m_client.list(job, QJsonArray{entry("passes/deep/a.png", 10)}, QJsonArray{folder("passes"), folder("passes/deep")});
    QVERIFY(QFileInfo(job->localDownloadDirCustom + QStringLiteral("/passes/deep")).isDir());
    QCOMPARE(paths(job->downloadList), QStringList{"passes/deep/a.png"});
}

void TestDownloads::emptyListFinishesOnlyAfterRendering()
{
    KiteProject* rendering = m_client.makeJob(QStringLiteral("busy"), true);
    KiteProject* rendered = m_client.makeJob(QStringLiteral("done"));
    QVERIFY(m_client.writeLocal(rendering, QStringLiteral("a.png"), 10));
    QVERIFY(m_client.writeLocal(rendered, QStringLiteral("a.png"), 10));
    QSignalSpy finished(m_client->plugin->downloadListUpdater, &DownloadListUpdater::jobDownloadFinishedSignal);

    rendering->checkForFilesToDownload = false;
    m_client.list(rendering, QJsonArray{entry("a.png", 10)});
    QCOMPARE(finished.size(), 0);
    // Nothing new while it renders: looked at again once a frame is done.
    QVERIFY(!rendering->checkForFilesToDownload);
    m_client->receive(QJsonObject{{"action", "frameStateChange"},
                                  {"data", QJsonObject{{"scene", "busy"}, {"frame", 2}, {"state", "RENDERED"}}}});
    QVERIFY(rendering->checkForFilesToDownload);

    rendered->outputDirRequested = true;
    m_client.list(rendered, QJsonArray{entry("a.png", 10)});
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).value<KiteProject*>(), rendered);
    QCOMPARE(finished.first().at(1).toInt(), 0);
    // Counted up for the report and down again by the completion.
    QCOMPARE(m_client->settings->runningJobDownloads, 0);
    QVERIFY(!rendered->outputDirRequested);
}

void TestDownloads::nonEmptyListStartsTheDownload()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    job->outputDirRequested = true;
    QSignalSpy started(m_client->plugin, &PluginNetConnection::downloadJobSignal);
    m_client.list(job, QJsonArray{entry("a.png", 10), entry("b.png", 20)});
    QCOMPARE(started.size(), 1);
    QCOMPARE(m_client->settings->runningJobDownloads, 1);
    QVERIFY(job->isDownloading);
    QVERIFY(!job->checkForFilesToDownload);
    QVERIFY(!job->outputDirRequested);
    QCOMPARE(job->downloadProgressBase, 100.0);
    QCOMPARE(job->downloadBytesTotal, qint64(30));
}

void TestDownloads::unpaidAccountDoesNotStart()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    m_client->settings->isPaid = false;
    QSignalSpy started(m_client->plugin, &PluginNetConnection::downloadJobSignal);
    m_client.list(job, QJsonArray{entry("a.png", 10)});
    QCOMPARE(started.size(), 0);
    QVERIFY(job->outOfRenderPoints);
}

void TestDownloads::otherJobsWaitingAreLookedAt()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    KiteProject* other = m_client.makeJob(QStringLiteral("other"), true);
    QVERIFY(other->checkForFilesToDownload);
    m_client.list(job, QJsonArray{entry("a.png", 10)});
    // The next pass asked for the waiting job's output.
    QTRY_COMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
    const QList<QJsonObject> sent = m_client->sent(QStringLiteral("getOutputDir"));
    QCOMPARE(sent.first().value("data").toObject().value("scene").toString(), QStringLiteral("other"));
}

void TestDownloads::hostileNamesAreSkipped_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("parent") << QStringLiteral("../escape/x.png");
    QTest::newRow("parent inside") << QStringLiteral("ok/../../escape/x.png");
    QTest::newRow("only parent") << QStringLiteral("..");
    QTest::newRow("absolute") << QStringLiteral("/tmp/escape/x.png");
    QTest::newRow("drive letter") << QStringLiteral("C:/escape/x.png");
    QTest::newRow("drive relative") << QStringLiteral("C:escape.png");
    QTest::newRow("backslash") << QStringLiteral("..\\escape\\x.png");
    QTest::newRow("newline") << QStringLiteral("ok/x\n.png");
    QTest::newRow("nul") << QStringLiteral("ok/x") + QChar(0) + QStringLiteral(".png");
    QTest::newRow("device") << QStringLiteral("ok/NUL.png");
    QTest::newRow("trailing dot") << QStringLiteral("ok/x.png.");
}

void TestDownloads::hostileNamesAreSkipped()
{
    QFETCH(QString, name);
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    // A file outside the job's folder that a hostile name would point at.
    const QString outside = m_client->appDir() + QStringLiteral("/out/escape");
    QDir().mkpath(outside);
    QFile bait(outside + QStringLiteral("/x.png"));
    QVERIFY(bait.open(QIODevice::WriteOnly));
    bait.write(QByteArray(40, 'b'));
    bait.close();

    const QString hostileFolder = name.section(QLatin1Char('/'), 0, -2);
    m_client.list(job, QJsonArray{entry(name, 40), entry("ok/good.png", 10)},
         QJsonArray{folder(hostileFolder.isEmpty() ? name : hostileFolder), folder("ok"), folder("../made")});

    QCOMPARE(paths(job->downloadList), QStringList{"ok/good.png"});
    QCOMPARE(job->downloadBytesTotal, qint64(10));
    QCOMPARE(job->bytesReceivedTotal, qint64(0));
    QVERIFY(!QFileInfo::exists(m_client->appDir() + QStringLiteral("/out/made")));
    // Nothing was created next to the job's folder.
    QCOMPARE(QDir(m_client->appDir() + QStringLiteral("/out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"escape", "shot"}));
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"x.png"});
    QVERIFY(m_client->logText().contains(QStringLiteral("file name from the server refused, skipped: ")
                                         + OutputPaths::printable(name)));
}

void TestDownloads::outputPathRules_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "frame_0001.png" << true;
    QTest::newRow("sub-folder") << "passes/alpha_0001.png" << true;
    QTest::newRow("dots inside") << "a..b/x.y.png" << true;
    QTest::newRow("hidden") << ".hidden" << true;
    QTest::newRow("console-like") << "console.png" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "./x.png" << false;
    QTest::newRow("three dots") << "..." << false;
    QTest::newRow("empty component") << "a//b.png" << false;
    QTest::newRow("trailing slash") << "a/" << false;
    QTest::newRow("colon") << "x.png:stream" << false;
    QTest::newRow("tab") << "x\t.png" << false;
    QTest::newRow("delete") << QStringLiteral("x") + QChar(0x7f) << false;
    QTest::newRow("trailing space") << "x.png " << false;
    QTest::newRow("com port") << "sub/com1.txt" << false;
    QTest::newRow("lpt port") << "LPT9" << false;
}

void TestDownloads::outputPathRules()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(OutputPaths::isSafeRelativePath(path), safe);
    QVERIFY(OutputPaths::isSafeFolder(QString()));
}

QTEST_MAIN(TestDownloads)
#include "tst_downloads.moc"
