#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/offlineclient.h"
#include "transfers/projectstates.h"

#include <QAction>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
QJsonObject projectsReply(const QJsonArray& projects)
{
    return QJsonObject{{"action", "getProjectStates"}, {"data", QJsonObject{{"projects", projects}}}};
}

QString infoOf(const QJsonObject& envelope)
{
    return envelope.value("data").toObject().value("custom").toObject().value("info").toString();
}
} // namespace

// The job list kept in step with the server: lookups, the projects reply and
// the pushed state, frame and progress events.
class TestProjectStates : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void findJobByName_data();
    void findJobByName();
    void resolveJob_data();
    void resolveJob();
    void newProjectsTakeTheListDefaults();
    void knownJobIsUpdatedNotDuplicated();
    void sameReplyAgainChangesNothing_data();
    void sameReplyAgainChangesNothing();
    void deletedJobGetsANewRecord();
    void failedUploadRetriedWhileRetriesLeft_data();
    void failedUploadRetriedWhileRetriesLeft();
    void serverRequestedDownloadRestart();
    void whileRunningRequestFollowsTheReplyOnce();
    void firstReplyAfterLoginRescans();
    void unsafeNamesFromTheServerTouchNoFile();
    void queuedFromProgress_data();
    void queuedFromProgress();
    void progressNotificationSteps_data();
    void progressNotificationSteps();
    void stateChangeOfUnknownJobPolls();
    void stateChangeOfKnownJob();
    void outOfPointsSparesDownloadedJobs();
    void remoteUploadCreatesOneJob();
    void projectUploadedRequests();

private:
    std::unique_ptr<OfflineClient> m_client;
};

void TestProjectStates::init()
{
    m_client = std::make_unique<OfflineClient>();
}

void TestProjectStates::cleanup()
{
    m_client.reset();
}

void TestProjectStates::findJobByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("expected"); // "name/id" of the job found
    QTest::addColumn<bool>("unknownAfter");
    QTest::addColumn<bool>("notInDbAfter");

    QTest::newRow("by id") << "other" << "id-b" << "B/id-b" << false << false;
    QTest::newRow("by name with empty id: the first of two") << "B" << "" << "B/id-b" << true << true;
    QTest::newRow("by name when the id is new") << "B" << "id-new" << "B/id-b" << false << false;
    QTest::newRow("the second by its id") << "B" << "id-b2" << "B/id-b" << false << false;
    QTest::newRow("by id before a later name") << "B" << "id-a" << "A/id-a" << false << false;
    QTest::newRow("deleted jobs never match") << "D" << "" << "" << true << true;
    QTest::newRow("a job deleted here is passed over") << "C" << "" << "C/id-c" << true << true;
    QTest::newRow("renamed, found under its new name") << "E2" << "" << "E2/id-e" << true << true;
    QTest::newRow("renamed, not under its old one") << "E" << "" << "" << true << true;
    QTest::newRow("by the id it got later") << "x" << "id-e" << "E2/id-e" << false << false;
    QTest::newRow("nothing matches") << "nope" << "nope" << "" << true << true;
}

void TestProjectStates::findJobByName()
{
    QFETCH(QString, name);
    QFETCH(QString, id);
    QFETCH(QString, expected);
    QFETCH(bool, unknownAfter);
    QFETCH(bool, notInDbAfter);

    m_client->addJob(QStringLiteral("A"), QStringLiteral("id-a"));
    KiteProject* b = m_client->addJob(QStringLiteral("B"), QStringLiteral("id-b"));
    b->isNotInDb = false;
    m_client->addJob(QStringLiteral("B"), QStringLiteral("id-b2"));
    m_client->addJob(QStringLiteral("D"))->isDeleted = true;
    m_client->addJob(QStringLiteral("C"))->isDeletedLocal = true;
    m_client->addJob(QStringLiteral("C"), QStringLiteral("id-c"));
    KiteProject* e = m_client->addJob(QStringLiteral("E"));
    // Look-ups have seen the list before the job changes its name and id.
    QVERIFY(m_client->plugin->findJobByName(nullptr, QStringLiteral("E"), QString()) == e);
    e->isNotInDb = true;
    e->rename(QStringLiteral("E2"));
    e->setJobId(QStringLiteral("id-e"));

    KiteProject* found = m_client->plugin->findJobByName(nullptr, name, id);
    QCOMPARE(found ? found->name + QLatin1Char('/') + found->jobId : QString(), expected);
    if (found) {
        QCOMPARE(found->isUnknown, unknownAfter);
        QCOMPARE(found->isNotInDb, notInDbAfter);
    }
    QCOMPARE(m_client->plugin->findJobById(nullptr, QStringLiteral("id-a"))->name, QStringLiteral("A"));
    KiteProject fallback(m_client->settings, QStringLiteral("F"), QString());
    QCOMPARE(m_client->plugin->findJobById(&fallback, QStringLiteral("missing")), &fallback);
}

void TestProjectStates::resolveJob_data()
{
    QTest::addColumn<QJsonObject>("message");
    QTest::addColumn<QString>("expected");

    QTest::newRow("data scene") << QJsonObject{{"data", QJsonObject{{"scene", "A"}}}} << "A";
    QTest::newRow("custom scene wins when it finds a job")
        << QJsonObject{{"data", QJsonObject{{"scene", "A"}}}, {"custom", QJsonObject{{"scene", "B"}}}} << "B";
    QTest::newRow("data scene stays when custom finds nothing")
        << QJsonObject{{"data", QJsonObject{{"scene", "A"}}}, {"custom", QJsonObject{{"scene", "zzz"}}}} << "A";
    QTest::newRow("top-level scene looks up custom id")
        << QJsonObject{{"scene", "x"}, {"custom", QJsonObject{{"id", "id-b"}}}} << "B";
    QTest::newRow("null scene is no scene") << QJsonObject{{"data", QJsonObject{{"scene", QJsonValue::Null}}}} << "";
}

void TestProjectStates::resolveJob()
{
    QFETCH(QJsonObject, message);
    QFETCH(QString, expected);
    m_client->addJob(QStringLiteral("A"), QStringLiteral("id-a"));
    m_client->addJob(QStringLiteral("B"), QStringLiteral("id-b"));
    KiteProject* job = m_client->plugin->projectStates->resolveJob(message);
    QCOMPARE(job ? job->name : QString(), expected);
}

void TestProjectStates::newProjectsTakeTheListDefaults()
{
    QSignalSpy menu(m_client->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
    m_client->receive(projectsReply({
        QJsonObject{{"name", "plain"}, {"id", "1"}, {"status", "RENDERABLE"}},
        QJsonObject{{"name", "flags"}, {"id", "2"}, {"status", "QUEUED"}, {"teamid", "17"}, {"isTrial", true},
                    {"isPaid", false}, {"download_enabled", false}, {"server_download", 2}, {"queued", true}},
    }));
    QCOMPARE(m_client->settings->jobList.size(), 2);
    KiteProject* plain = m_client->job(QStringLiteral("plain"));
    QCOMPARE(plain->jobId, QStringLiteral("1"));
    QVERIFY(plain->isPaid);
    QVERIFY(!plain->isTrial);
    QVERIFY(plain->downloadEnabled);
    QCOMPARE(plain->serverNumber, 1);
    QCOMPARE(plain->teamid, 0);
    QVERIFY(plain->isUploaded); // RENDERABLE
    KiteProject* flags = m_client->job(QStringLiteral("flags"));
    QCOMPARE(flags->teamid, 17);
    QVERIFY(flags->isTrial);
    QVERIFY(!flags->isPaid);
    QVERIFY(!flags->downloadEnabled);
    QCOMPARE(flags->serverNumber, 2);
    QVERIFY(flags->isQueued);
    QCOMPARE(menu.count(), 1);
    QVERIFY(!m_client->plugin->getProjectStatesRunning);
}

void TestProjectStates::knownJobIsUpdatedNotDuplicated()
{
    KiteProject* local = m_client->addJob(QStringLiteral("scene1"));
    m_client->receive(projectsReply({QJsonObject{{"name", "scene1"}, {"id", "77"}, {"status", "RENDERING"}}}));
    QCOMPARE(m_client->settings->jobList.size(), 1);
    QCOMPARE(local->jobId, QStringLiteral("77"));
    QVERIFY(local->isRendering);
    QVERIFY(!local->isUnknown);
}

void TestProjectStates::sameReplyAgainChangesNothing_data()
{
    QTest::addColumn<QString>("status");
    for (const char* status : {"QUEUED", "RENDERING", "RENDERED", "PAUSED"})
        QTest::newRow(status) << QString::fromLatin1(status);
}

// A projects list that says again what the client knows: no status line, icon
// or menu entry changes, no file or folder is written, no request is sent and
// no notification shown - for a job exported here and for one only the farm
// knows.
void TestProjectStates::sameReplyAgainChangesNothing()
{
    QFETCH(QString, status);
    m_client->settings->isPaid = true;
    m_client->writeJob(QStringLiteral("local"), {QStringLiteral("renderer=vray"), QStringLiteral("uploadfinished=true"),
                                                 QStringLiteral("downloadpath=") + m_client->userFolder()
                                                     + QStringLiteral("/out/local")});
    const QJsonObject reply = projectsReply({QJsonObject{{"name", "local"}, {"id", "1"}, {"status", status}},
                                             QJsonObject{{"name", "remote"}, {"id", "2"}, {"status", status}}});
    m_client->receive(reply);
    m_client->plugin->generateDownloadFileListSlot();
    m_client->plugin->generateDownloadFileListSlot(); // the jobs that got a folder are looked at

    auto tree = [this] {
        QStringList entries;
        QDirIterator it(m_client->projectsFolder(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            entries << info.filePath() + QLatin1Char(' ') + QString::number(info.size()) + QLatin1Char(' ')
                    + info.symLinkTarget();
        }
        entries.sort();
        return entries;
    };
    const QStringList before = tree();
    const int requests = m_client->sent().size();
    QList<std::shared_ptr<QSignalSpy>> changes;
    for (const QString& name : {QStringLiteral("local"), QStringLiteral("remote")})
        changes << std::make_shared<QSignalSpy>(m_client->job(name)->jobAction, &QAction::changed);
    QSignalSpy notifications(m_client->settings, &KiteSettings::showMessageSignal);

    m_client->receive(reply);
    m_client->plugin->generateDownloadFileListSlot();
    QCOMPARE(tree(), before);
    QCOMPARE(m_client->sent().mid(requests), QList<QJsonObject>());
    QCOMPARE(changes.at(0)->count() + changes.at(1)->count(), 0);
    QCOMPARE(notifications.count(), 0);
}

void TestProjectStates::deletedJobGetsANewRecord()
{
    KiteProject* old = m_client->addJob(QStringLiteral("gone"), QStringLiteral("5"));
    old->isDeletedLocal = true;
    m_client->receive(projectsReply({QJsonObject{{"name", "gone"}, {"id", "5"}, {"status", "RENDERED"}}}));
    QCOMPARE(m_client->settings->jobList.size(), 2);
    QVERIFY(m_client->settings->jobList.last() != old);
}

void TestProjectStates::failedUploadRetriedWhileRetriesLeft_data()
{
    QTest::addColumn<int>("errorCount");
    QTest::addColumn<bool>("retried");

    QTest::newRow("29 failures: retried") << 29 << true;
    QTest::newRow("30 failures: shown") << 30 << false;
}

void TestProjectStates::failedUploadRetriedWhileRetriesLeft()
{
    QFETCH(int, errorCount);
    QFETCH(bool, retried);

    KiteProject* job = m_client->addJob(QStringLiteral("up"), QStringLiteral("9"));
    job->errorCount = errorCount;
    m_client->receive(projectsReply({QJsonObject{
        {"name", "up"}, {"id", "9"}, {"status", "ERROR_UPL"},
        {"error_text", "550 /home/ftphomes/anna/tex/a.png: no space"}}}));
    QCOMPARE(job->uploadErrorText, QStringLiteral("550 /anna/tex/a.png: no space"));
    // A retry starts again from the server's folder listing.
    QCOMPARE(m_client->sent(QStringLiteral("getProjectFolderContents")).size(), retried ? 1 : 0);
    QCOMPARE(job->uploadRestartPending, retried);
    QCOMPARE(job->errorCount, errorCount);
}

void TestProjectStates::serverRequestedDownloadRestart()
{
    m_client->writeJob(QStringLiteral("again"), {QStringLiteral("renderer=vray"), QStringLiteral("restartDownloadCount=1")});
    KiteProject* job = m_client->addJob(QStringLiteral("again"), QStringLiteral("3"));
    job->restartDownloadCount = 1;
    job->isDownloaded = true;
    m_client->plugin->projectStates->restartRepeatMs = 10;
    QSignalSpy lists(m_client->plugin, &PluginNetConnection::generateDownloadFileListSignal);

    m_client->receive(projectsReply({QJsonObject{{"name", "again"}, {"id", "3"}, {"status", "RENDERED"}, {"restartDownloadCount", 2}}}));
    QCOMPARE(job->restartDownloadCount, 2);
    QVERIFY(!job->isDownloaded);
    QVERIFY(job->checkForFilesToDownload);
    QCOMPARE(lists.count(), 1);
    QFile cfg(m_client->userFolder() + QStringLiteral("/again.cfg"));
    QVERIFY(cfg.open(QIODevice::ReadOnly));
    QVERIFY(cfg.readAll().contains("restartDownloadCount=2"));

    // Once more after the delay.
    job->isDownloaded = true;
    QTRY_VERIFY(!job->isDownloaded);

    // Equal counts do nothing.
    job->isDownloaded = true;
    m_client->receive(projectsReply({QJsonObject{{"name", "again"}, {"id", "3"}, {"status", "RENDERED"}, {"restartDownloadCount", 2}}}));
    QVERIFY(job->isDownloaded);
}

void TestProjectStates::whileRunningRequestFollowsTheReplyOnce()
{
    m_client->plugin->getProjectStatesSlot();
    m_client->plugin->getProjectStatesSlot();
    m_client->plugin->getProjectStatesSlot();
    QCOMPARE(m_client->sent(QStringLiteral("getProjectStates")).size(), 1);
    QCOMPARE(infoOf(m_client->sent(QStringLiteral("getProjectStates")).first()), QStringLiteral("slot"));

    m_client->receive(projectsReply({}));
    const QList<QJsonObject> polls = m_client->sent(QStringLiteral("getProjectStates"));
    QCOMPARE(polls.size(), 2);
    QCOMPARE(infoOf(polls.last()), QStringLiteral("whilerunning"));
    QVERIFY(m_client->plugin->getProjectStatesRunning);

    m_client->receive(projectsReply({}));
    QCOMPARE(m_client->sent(QStringLiteral("getProjectStates")).size(), 2);
    QVERIFY(!m_client->plugin->getProjectStatesRunning);
    QVERIFY(!m_client->plugin->getProjectStatesTimer->isActive());
}

void TestProjectStates::firstReplyAfterLoginRescans()
{
    m_client->writeJob(QStringLiteral("fresh"), {QStringLiteral("renderer=vray")});
    auto touchMarker = [this] {
        QFile marker(m_client->projectsFolder() + QStringLiteral("/di2_orv_refresh.txt"));
        QVERIFY(marker.open(QIODevice::WriteOnly));
    };
    touchMarker();
    m_client->plugin->rescanAfterLogin = true;
    m_client->receive(projectsReply({}));
    QCOMPARE(m_client->sent(QStringLiteral("getProjectFolderContents")).size(), 1);
    QVERIFY(!m_client->plugin->rescanAfterLogin);

    touchMarker();
    m_client->receive(projectsReply({}));
    QCOMPARE(m_client->sent(QStringLiteral("getProjectFolderContents")).size(), 1);
}

void TestProjectStates::unsafeNamesFromTheServerTouchNoFile()
{
    // A cfg outside the user's folder that a hostile name would reach.
    QFile outside(m_client->projectsFolder() + QStringLiteral("/victim.cfg"));
    QVERIFY(outside.open(QIODevice::WriteOnly));
    outside.write("restartDownloadCount=0\r\n");
    outside.close();

    m_client->receive(projectsReply({
        QJsonObject{{"name", "../victim"}, {"id", "1"}, {"status", "RENDERED"}, {"restartDownloadCount", 3}},
        QJsonObject{{"name", ".."}, {"id", "2"}, {"status", "RENDERED"}, {"restartDownloadCount", 3}},
    }));
    QCOMPARE(m_client->settings->jobList.size(), 2);
    QCOMPARE(m_client->settings->jobList.first()->restartDownloadCount, 3); // tracked all the same
    QVERIFY(outside.open(QIODevice::ReadOnly));
    QCOMPARE(outside.readAll(), QByteArray("restartDownloadCount=0\r\n"));
}

void TestProjectStates::queuedFromProgress_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("started");
    QTest::addColumn<QString>("engines");
    QTest::addColumn<bool>("queued");

    QTest::newRow("queued without engines") << "QUEUED" << "0" << "4" << true;
    QTest::newRow("renderable clears it") << "RENDERABLE" << "0" << "4" << false;
    QTest::newRow("paused clears it") << "PAUSED" << "0" << "4" << false;
    QTest::newRow("started and engines clear it") << "RENDERING" << "3" << "4" << false;
    QTest::newRow("non-numeric counts as 0") << "QUEUED" << "x" << "4" << true;
}

void TestProjectStates::queuedFromProgress()
{
    QFETCH(QString, state);
    QFETCH(QString, started);
    QFETCH(QString, engines);
    QFETCH(bool, queued);

    KiteProject* job = m_client->addJob(QStringLiteral("q"), QStringLiteral("11"));
    m_client->receive(QJsonObject{{"action", "getProgressInfos"},
                                  {"data", QJsonObject{{"scene", "q"}, {"id", "11"}, {"State", state}, {"started", started},
                                                       {"engines", engines}, {"ispaid", "true"}, {"progress", "12"}}}});
    QCOMPARE(job->isQueued, queued);
    QCOMPARE(job->renderProgress, 12);
    QVERIFY(!m_client->settings->isPaid); // "true" is not "1"
}

void TestProjectStates::progressNotificationSteps_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<QList<int>>("reported");
    QTest::addColumn<QList<int>>("notified");

    QTest::newRow("every 25%") << 1 << QList<int>{10, 24, 25, 49, 50} << QList<int>{25, 50};
    QTest::newRow("every 10%") << 0 << QList<int>{5, 10, 15, 20} << QList<int>{10, 20};
    QTest::newRow("unknown selector: only 100%") << 7 << QList<int>{50, 99, 100} << QList<int>{100};
}

void TestProjectStates::progressNotificationSteps()
{
    QFETCH(int, selector);
    QFETCH(QList<int>, reported);
    QFETCH(QList<int>, notified);

    m_client->settings->NotificationProgressEnabled = true;
    m_client->settings->NotificationProgress = selector;
    KiteProject* job = m_client->addJob(QStringLiteral("p"), QStringLiteral("21"));
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    for (int progress : reported) {
        m_client->receive(QJsonObject{{"action", "getProgressInfos"},
                                      {"data", QJsonObject{{"scene", "p"}, {"id", "21"}, {"State", "RENDERING"},
                                                           {"started", "1"}, {"engines", "1"}, {"progress", QString::number(progress)}}}});
    }
    QList<int> seen;
    for (const QList<QVariant>& args : qAsConst(messages)) {
        QCOMPARE(args.at(2).toString(), QStringLiteral("Progress"));
        QCOMPARE(args.at(3).value<KiteProject*>(), job);
        seen << args.at(1).toString().section(QLatin1Char(' '), -1).chopped(1).toInt();
    }
    QCOMPARE(seen, notified);
}

void TestProjectStates::stateChangeOfUnknownJobPolls()
{
    m_client->receive(QJsonObject{{"action", "jobStateChange"}, {"data", QJsonObject{{"jobid", "404"}, {"state", "RENDERING"}}}});
    const QList<QJsonObject> polls = m_client->sent(QStringLiteral("getProjectStates"));
    QCOMPARE(polls.size(), 1);
    QCOMPARE(infoOf(polls.first()), QStringLiteral("jobstatechange"));
    QCOMPARE(m_client->sent(QStringLiteral("getRenderpoints")).size(), 1);
    QCOMPARE(m_client->sent(QStringLiteral("getProgressInfos")).size(), 0);
}

void TestProjectStates::stateChangeOfKnownJob()
{
    KiteProject* job = m_client->addJob(QStringLiteral("k"), QStringLiteral("42"));
    m_client->receive(QJsonObject{{"action", "jobStateChange"}, {"data", QJsonObject{{"jobid", 42}, {"state", "QUEUED"}}}});
    QVERIFY(job->isQueued);
    const QList<QJsonObject> progress = m_client->sent(QStringLiteral("getProgressInfos"));
    QCOMPARE(progress.size(), 1);
    QCOMPARE(progress.first().value("data").toObject(), (QJsonObject{{"id", "42"}, {"scene", "k"}}));
    QCOMPARE(m_client->sent(QStringLiteral("getRenderpoints")).first().value("data").toObject().value("virtual").toBool(), true);
}

void TestProjectStates::outOfPointsSparesDownloadedJobs()
{
    KiteProject* a = m_client->addJob(QStringLiteral("a"));
    KiteProject* b = m_client->addJob(QStringLiteral("b"));
    KiteProject* done = m_client->addJob(QStringLiteral("done"));
    done->isDownloaded = true;
    m_client->receive(QJsonObject{{"action", "jobOutOfPoints"}, {"data", QJsonObject()}});
    QVERIFY(a->outOfRenderPoints);
    QVERIFY(b->outOfRenderPoints);
    QVERIFY(!done->outOfRenderPoints);
}

void TestProjectStates::remoteUploadCreatesOneJob()
{
    QSignalSpy menu(m_client->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
    const QJsonObject message{{"action", "projectUploading"}, {"data", QJsonObject{{"scene", "elsewhere"}}}};
    m_client->receive(message);
    m_client->receive(message);
    QCOMPARE(m_client->settings->jobList.size(), 1);
    QCOMPARE(menu.count(), 1);
    QVERIFY(m_client->settings->jobList.first()->jobAction->text().contains(QLatin1String("REMOTE UPLOAD")));
}

void TestProjectStates::projectUploadedRequests()
{
    m_client->receive(QJsonObject{{"action", "projectUploaded"}, {"data", QJsonObject{{"scene", "unknown"}}}});
    KiteProject* remote = m_client->addJob(QStringLiteral("remote"));
    m_client->receive(QJsonObject{{"action", "projectUploaded"}, {"data", QJsonObject{{"scene", "remote"}}}});
    KiteProject* local = m_client->addJob(QStringLiteral("local"));
    local->isLocal = true;
    m_client->receive(QJsonObject{{"action", "projectUploaded"}, {"data", QJsonObject{{"scene", "local"}}}});
    Q_UNUSED(remote)
    const QList<QJsonObject> polls = m_client->sent(QStringLiteral("getProjectStates"));
    QCOMPARE(polls.size(), 1); // the second one waits behind the first
    QCOMPARE(infoOf(polls.first()), QStringLiteral("uploaded"));
    QVERIFY(m_client->plugin->getProjectsStatesRequestWhileRunning);
}

QTEST_MAIN(TestProjectStates)
#include "tst_projectstates.moc"
