#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "tst_downloads_fixture.h"
#include "transfers/downloadcompletion.h"

#include <QTimer>

using namespace DownloadsFixture;

// The end of a download pass: retries, the final look, completion, the
// update download, and the pack and overlay requests.
class TestDownloadCompletion : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_client.start(); }
    void cleanup() { m_client.stop(); }

    void firstCompletionLooksAgainSecondFinishes();
    void errorRestarts_data();
    void errorRestarts();
    void threeRestartsHoldCompletion();
    void openOverwriteQuestionHoldsCompletion();
    void finalLookOutOfPoints_data();
    void finalLookOutOfPoints();
    void stillRenderingJobWaitsForTheNextPass();
    void failedPassIsNeverMarkedDownloaded();
    void updateJobEnd_data();
    void updateJobEnd();
    void packAndOverlayRequests();
    void offlineCycleEndsDownloaded();

private:
    Client m_client;
};

void TestDownloadCompletion::firstCompletionLooksAgainSecondFinishes()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    m_client->settings->runningJobDownloads = 1;
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    QSignalSpy next(m_client->plugin, &PluginNetConnection::downloadJobSignal);

    m_client->plugin->downloadJobFinishedSlot(job, 0);
    QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
    QVERIFY(messagesOfType(messages, "DownloadEnd").isEmpty());
    QVERIFY(job->lastDownloadCheck);
    QVERIFY(job->lastDownloadCheckReceived);
    QVERIFY(!job->isDownloaded);
    // Not marked before the final look: a cfg read now must not end the
    // download.
    QVERIFY(!m_client.cfgText("shot").contains(QStringLiteral("downloaded=true")));
    QCOMPARE(m_client->settings->runningJobDownloads, 0);

    m_client->settings->runningJobDownloads = 1;
    m_client->plugin->downloadJobFinishedSlot(job, 0);
    QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
    const QList<QList<QVariant>> done = messagesOfType(messages, "DownloadEnd");
    QCOMPARE(done.size(), 1);
    QCOMPARE(done.first().at(0).toString(), QStringLiteral("Download finished"));
    QCOMPARE(done.first().at(1).toString(), QStringLiteral("shot 100%... \nClick here to open folder"));
    QCOMPARE(done.first().at(3).value<KiteProject*>(), job);
    QCOMPARE(next.size(), 1);
    QVERIFY(job->isDownloaded);
    QVERIFY(m_client.cfgText("shot").contains(QStringLiteral("downloaded=true\r\n\r\nrestartDownload=false")));
    QCOMPARE(job->downloadPriority, -1);
    QVERIFY(!job->lastDownloadCheck);
    QCOMPARE(m_client->sent(QStringLiteral("setDownloadComplete")).size(), 1);
}

void TestDownloadCompletion::errorRestarts_data()
{
    QTest::addColumn<int>("earlierRestarts");
    QTest::addColumn<bool>("retried");
    QTest::newRow("9 earlier restarts") << 9 << true;
    QTest::newRow("10 earlier restarts") << 10 << false;
}

void TestDownloadCompletion::errorRestarts()
{
    QFETCH(int, earlierRestarts);
    QFETCH(bool, retried);
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    job->downloadJobErrorCount = 2;
    job->downloadJobErrorRestartCount = earlierRestarts;
    job->failedDownloadFiles << QStringLiteral("a.png");
    job->checkForFilesToDownload = false;
    job->lastDownloadCheckReceived = true;
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);

    m_client->plugin->downloadJobFinishedSlot(job, 1);
    QCOMPARE(job->hasDownloadError, !retried);
    QVERIFY(!job->isDownloaded);
    QVERIFY(!m_client.cfgText("shot").contains(QStringLiteral("downloaded=true")));
    QVERIFY(messagesOfType(messages, "DownloadEnd").isEmpty());
    if (retried) {
        QCOMPARE(job->downloadJobErrorRestartCount, 10);
        QCOMPARE(job->downloadJobErrorCount, 0);
        QVERIFY(job->failedDownloadFiles.isEmpty());
        QVERIFY(job->checkForFilesToDownload);
        // The retry's look at the output.
        QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
    } else {
        QCOMPARE(job->downloadJobErrorRestartCount, 10);
        QVERIFY(job->downloadErrorMessageShown);
        QVERIFY(m_client->sent(QStringLiteral("getOutputDir")).isEmpty());
        QVERIFY(job->downloadErrorRetryTimer && job->downloadErrorRetryTimer->isActive());
    }
}

void TestDownloadCompletion::threeRestartsHoldCompletion()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    job->downloadJobErrorRestartCount = 3;
    job->lastDownloadCheckReceived = true;
    job->overwriteYesList.insert(QStringLiteral("a.png"));
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    QSignalSpy next(m_client->plugin, &PluginNetConnection::downloadJobSignal);

    m_client->plugin->downloadJobFinishedSlot(job, 0);
    QVERIFY(messagesOfType(messages, "DownloadEnd").isEmpty());
    QCOMPARE(next.size(), 1);
    // Restarted without resetting answers or error counts.
    QVERIFY(!job->isDownloaded);
    QVERIFY(job->checkForFilesToDownload);
    QCOMPARE(job->downloadJobErrorRestartCount, 3);
    QVERIFY(job->overwriteYesList.contains(QStringLiteral("a.png")));
    QVERIFY(m_client.cfgText("shot").endsWith(QStringLiteral("downloaded=false\r\n")));
    QVERIFY(m_client->sent(QStringLiteral("setDownloadComplete")).isEmpty());
}

void TestDownloadCompletion::openOverwriteQuestionHoldsCompletion()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    job->overwriteQuestionOpen = true;
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    QSignalSpy next(m_client->plugin, &PluginNetConnection::downloadJobSignal);
    m_client->plugin->downloadJobFinishedSlot(job, 0);
    QVERIFY(m_client->sent(QStringLiteral("getOutputDir")).isEmpty());
    QVERIFY(messagesOfType(messages, "DownloadEnd").isEmpty());
    QVERIFY(m_client->sent(QStringLiteral("setDownloadComplete")).isEmpty());
    QCOMPARE(next.size(), 1);
}

void TestDownloadCompletion::finalLookOutOfPoints_data()
{
    QTest::addColumn<int>("teamid");
    QTest::addColumn<bool>("teamPaid");
    QTest::addColumn<bool>("accountPaid");
    QTest::addColumn<QString>("title");
    QTest::newRow("own job") << 0 << true << false << QStringLiteral("Out of render points");
    QTest::newRow("unpaid team, unpaid account") << 12 << false << false << QStringLiteral("Out of render points");
    QTest::newRow("unpaid team, paid account") << 12 << false << true << QStringLiteral("Team out of render points");
}

void TestDownloadCompletion::finalLookOutOfPoints()
{
    QFETCH(int, teamid);
    QFETCH(bool, teamPaid);
    QFETCH(bool, accountPaid);
    QFETCH(QString, title);
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    job->teamid = teamid;
    job->isPaid = teamPaid;
    m_client->settings->isPaid = accountPaid;
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    m_client->plugin->downloadJobFinishedSlot(job, 0);
    const QList<QList<QVariant>> notices = messagesOfType(messages, "OutOfRenderPoints");
    QCOMPARE(notices.size(), 1);
    QCOMPARE(notices.first().at(0).toString(), title);
    QCOMPARE(notices.first().at(1).toString(), title);
    QVERIFY(m_client->sent(QStringLiteral("getOutputDir")).isEmpty());
}

void TestDownloadCompletion::stillRenderingJobWaitsForTheNextPass()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"), true);
    job->checkForFilesToDownload = false;
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    QSignalSpy next(m_client->plugin, &PluginNetConnection::downloadJobSignal);
    for (int pass = 0; pass < 2; ++pass)
        m_client->plugin->downloadJobFinishedSlot(job, 0);
    QVERIFY(!job->isDownloaded);
    QVERIFY(job->checkForFilesToDownload);
    QVERIFY(messagesOfType(messages, "DownloadEnd").isEmpty());
    QVERIFY(m_client->sent(QStringLiteral("setDownloadComplete")).isEmpty());
    QVERIFY(!m_client.cfgText("shot").contains(QStringLiteral("downloaded=true")));
    QCOMPARE(next.size(), 2);
    // The next progress event's pass asks again.
    m_client->plugin->generateDownloadFileListSlot();
    QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
}

void TestDownloadCompletion::failedPassIsNeverMarkedDownloaded()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    job->downloadJobErrorCount = 1;
    m_client->plugin->downloadJobFinishedSlot(job, 1);
    QVERIFY(!m_client.cfgText("shot").contains(QStringLiteral("downloaded=true")));
    QVERIFY(!job->downloadedMark);
    QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
}

void TestDownloadCompletion::updateJobEnd_data()
{
    QTest::addColumn<bool>("failed");
    QTest::addColumn<bool>("firstRunDone");
    QTest::newRow("finished") << false << true;
    QTest::newRow("finished on the first run") << false << false;
    QTest::newRow("failed") << true << true;
}

void TestDownloadCompletion::updateJobEnd()
{
    QFETCH(bool, failed);
    QFETCH(bool, firstRunDone);
    auto* job = new KiteProject(m_client->settings, QStringLiteral("updateDownload"), QString(), m_client->settings);
    job->isUpdateJob = true;
    job->isUnknown = false;
    job->isDownloading = true;
    job->downloadPriority = 99999;
    job->localDownloadDir = m_client->appDir() + QStringLiteral("/plugins");
    job->downloadJobErrorCount = failed ? 1 : 0;
    m_client->settings->jobList.append(job);
    m_client->settings->updateDownloadStarted = true;
    m_client->settings->syncActive = false;
    m_client->settings->firstRunDone = firstRunDone;
    m_client->settings->controlCenterUrl = QStringLiteral("https://portal.invalid/cc");
    m_client->settings->runningJobDownloads = 1;
    QSignalSpy updateDone(m_client->plugin, &PluginNetConnection::updateDownloadFinishedSignal);
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);

    m_client->plugin->downloadJobFinishedSlot(job, 0);
    QCOMPARE(updateDone.size(), failed ? 0 : 1);
    QCOMPARE(m_client->settings->syncActive, !failed && firstRunDone);
    QCOMPARE(m_client->sent(QStringLiteral("getUserToken")).size(), !failed && !firstRunDone ? 1 : 0);
    // Never a look at a job output for the update job, and an update that
    // failed is not reported finished.
    QVERIFY(m_client->sent(QStringLiteral("getOutputDir")).isEmpty());
    QCOMPARE(messagesOfType(messages, "DownloadEnd").size(), failed ? 0 : 1);
    QCOMPARE(job->isDownloaded, !failed);
    QVERIFY(!QFileInfo::exists(m_client->userFolder() + QStringLiteral("/updateDownload.cfg")));
}

void TestDownloadCompletion::packAndOverlayRequests()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    DownloadFile file;
    file.path = QStringLiteral("passes/alpha_0001.png");
    m_client->plugin->zipRequestSlot(file, job);
    m_client->plugin->generateOverlayRequestSlot(file, job);
    for (const char* action : {"pack", "generateOverlay"}) {
        const QList<QJsonObject> sent = m_client->sent(QString::fromLatin1(action));
        QCOMPARE(sent.size(), 1);
        const QJsonObject data = sent.first().value("data").toObject();
        QCOMPARE(data.value("scene").toString(), QStringLiteral("shot"));
        QCOMPARE(data.value("picture").toString(), file.path);
    }

    QSignalSpy overlays(m_client->plugin, &PluginNetConnection::overlayGeneratedSignal);
    const QJsonObject custom{{"scene", "shot"}};
    m_client->receive(QJsonObject{{"action", "generateOverlay"},
                                  {"data", QJsonObject{{"result", false}, {"filename", ""}}},
                                  {"custom", custom}});
    QCOMPARE(overlays.size(), 0);
    m_client->receive(QJsonObject{{"action", "generateOverlay"},
                                  {"data", QJsonObject{{"result", true}, {"filename", "passes/alpha_0001_overlaid.png"}}},
                                  {"custom", custom}});
    QCOMPARE(overlays.size(), 1);
    QCOMPARE(overlays.first().at(0).toString(), QStringLiteral("passes/alpha_0001_overlaid.png"));
    QCOMPARE(overlays.first().at(1).value<KiteProject*>(), job);
}

void TestDownloadCompletion::offlineCycleEndsDownloaded()
{
    KiteProject* job = m_client.makeJob(QStringLiteral("shot"));
    const QJsonArray files{entry("frame_0001.png", 3101), entry("passes/alpha_0001.png", 1537)};
    const QJsonArray folders{folder("passes")};
    QSignalSpy started(m_client->plugin, &PluginNetConnection::downloadJobSignal);
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);

    m_client->plugin->generateDownloadFileListSlot();
    QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 1);
    m_client->receive(m_client.outputReply(job, files, folders));
    QCOMPARE(started.size(), 1);
    QCOMPARE(job->downloadList.size(), 2);

    // What a downloader does with the list.
    for (const DownloadFile& file : qAsConst(job->downloadList))
        QVERIFY(m_client.writeLocal(job, file.path, file.size));
    job->downloadList.clear();
    m_client->plugin->downloadJobFinishedSlot(job, 0);
    QCOMPARE(m_client->sent(QStringLiteral("getOutputDir")).size(), 2);

    // The final look finds everything in place.
    m_client->receive(m_client.outputReply(job, files, folders));
    QCOMPARE(messagesOfType(messages, "DownloadEnd").size(), 1);
    QVERIFY(job->isDownloaded);
    QCOMPARE(m_client->settings->runningJobDownloads, 0);
    QCOMPARE(job->bytesReceivedTotal, qint64(3101 + 1537));
    QCOMPARE(m_client->sent(QStringLiteral("setDownloadProgress")).size(), 1);
    QCOMPARE(m_client->sent(QStringLiteral("setDownloadComplete")).size(), 1);
}

QTEST_MAIN(TestDownloadCompletion)
#include "tst_downloads_completion.moc"
