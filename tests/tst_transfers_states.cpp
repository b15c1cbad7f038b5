#include "jobs/localprojectsscanner.h"
#include "net/inboundqueue.h"
#include "transfers/projectstates.h"
#include "transfers_fixture.h"

#include <QAction>

using namespace Transfers;

namespace {
QJsonObject projectsReply(const QJsonArray& projects)
{
    return QJsonObject{{"action", "getProjectStates"}, {"data", QJsonObject{{"projects", projects}}}};
}

QString infoOf(const QJsonObject& envelope)
{
    return dataOf(envelope).value("custom").toObject().value("info").toString();
}

QJsonObject progress(const QString& scene, const QString& id, const QString& state, const QString& started,
                     const QString& engines, const QString& percent)
{
    return QJsonObject{{"action", "getProgressInfos"},
                       {"data", QJsonObject{{"scene", scene}, {"id", id}, {"State", state}, {"started", started},
                                            {"engines", engines}, {"ispaid", "true"}, {"progress", percent}}}};
}
} // namespace

// The job list kept in step with the server: look-ups, the projects list and
// the pushed state, frame and progress events.
class TestTransfersStates : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_client.start(); }
    void cleanup() { m_client.stop(); }

    // A message is tied to its job by the id, else by the name; jobs deleted
    // here never match. A match by id marks the job known to the server.
    void lookUps_data()
    {
        QTest::addColumn<QJsonObject>("message");
        QTest::addColumn<QString>("expected"); // "name/id" of the job found
        QTest::addColumn<bool>("known");       // isUnknown and isNotInDb cleared
        const auto data = [](const QString& scene, const QString& id) {
            return QJsonObject{{"data", QJsonObject{{"scene", scene}, {"id", id}}}};
        };
        QTest::newRow("by id") << data("other", "id-b") << "B/id-b" << true;
        QTest::newRow("by name with empty id: the first of two") << data("B", "") << "B/id-b" << false;
        QTest::newRow("by name when the id is new") << data("B", "id-new") << "B/id-b" << true;
        QTest::newRow("the second by its id") << data("B", "id-b2") << "B/id-b" << true;
        QTest::newRow("by id before a later name") << data("B", "id-a") << "A/id-a" << true;
        QTest::newRow("deleted jobs never match") << data("D", "") << "" << false;
        QTest::newRow("a job deleted here is passed over") << data("C", "") << "C/id-c" << false;
        QTest::newRow("renamed, found under its new name") << data("E2", "") << "E2/id-e" << false;
        QTest::newRow("renamed, not under its old one") << data("E", "") << "" << false;
        QTest::newRow("by the id it got later") << data("x", "id-e") << "E2/id-e" << true;
        QTest::newRow("nothing matches") << data("nope", "nope") << "" << false;
        QTest::newRow("custom scene wins when it finds a job")
            << QJsonObject{{"data", QJsonObject{{"scene", "A"}}}, {"custom", QJsonObject{{"scene", "E2"}}}} << "E2/id-e" << false;
        QTest::newRow("data scene stays when custom finds nothing")
            << QJsonObject{{"data", data("A", "id-a")["data"]}, {"custom", QJsonObject{{"scene", "zzz"}}}} << "A/id-a" << true;
        QTest::newRow("top-level scene looks up custom id")
            << QJsonObject{{"scene", "x"}, {"custom", QJsonObject{{"id", "id-c"}}}} << "C/id-c" << true;
        QTest::newRow("top-level scene without an id finds no job") << QJsonObject{{"scene", "x"}} << "" << false;
        QTest::newRow("null scene is no scene") << QJsonObject{{"data", QJsonObject{{"scene", QJsonValue::Null}}}} << "" << false;
    }

    void lookUps()
    {
        QFETCH(QJsonObject, message);
        m_client->addJob("A", "id-a");
        m_client->addJob("B", "id-b")->isNotInDb = false;
        m_client->addJob("B", "id-b2");
        m_client->addJob("D")->isDeleted = true;
        m_client->addJob("C")->isDeletedLocal = true;
        m_client->addJob("C", "id-c");
        KiteProject* e = m_client->addJob("E");
        m_client->addJob("N"); // not submitted yet: no id
        // Look-ups have seen the list before the job changes its name and id.
        QVERIFY(m_client->plugin->findJobByName(nullptr, "E", QString()) == e);
        e->rename("E2");
        e->setJobId("id-e");
        KiteProject* found = m_client->plugin->projectStates->resolveJob(message);
        QTEST(found ? found->name + QLatin1Char('/') + found->jobId : QString(), "expected");
        if (found) {
            QTEST(!found->isUnknown, "known");
            QTEST(!found->isNotInDb, "known");
        }
        KiteProject fallback(m_client->settings, "F", QString());
        QCOMPARE(m_client->plugin->findJobById(&fallback, "missing"), &fallback);
        QCOMPARE(m_client->plugin->findJobByName(&fallback, "missing", QString()), &fallback);
    }

    // New jobs take the list's defaults, known ones are updated, a job deleted
    // here gets a new record; the first list after a login rescans the folder.
    void projectsListMergedIntoJobs()
    {
        KiteProject* local = m_client->addJob("scene1");
        KiteProject* gone = m_client->addJob("gone", "5");
        gone->isDeletedLocal = true;
        QSignalSpy menu(m_client->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
        m_client->writeJob("fresh", {"renderer=vray"});
        m_client->plugin->rescanAfterLogin = true;
        m_client->receive(projectsReply({
            QJsonObject{{"name", "plain"}, {"id", "1"}, {"status", "RENDERABLE"}},
            QJsonObject{{"name", "flags"}, {"id", "2"}, {"status", "QUEUED"}, {"teamid", "17"}, {"isTrial", true},
                        {"isPaid", false}, {"download_enabled", false}, {"server_download", 2}, {"queued", true}},
            QJsonObject{{"name", "scene1"}, {"id", "77"}, {"status", "RENDERING"}},
            QJsonObject{{"name", "gone"}, {"id", "5"}, {"status", "RENDERED"}},
        }));
        QCOMPARE(m_client->settings->jobList.size(), 5);
        KiteProject* plain = m_client->job("plain");
        QCOMPARE(plain->jobId, QStringLiteral("1"));
        QVERIFY(plain->isPaid && !plain->isTrial && plain->downloadEnabled);
        QVERIFY(plain->serverNumber == 1 && plain->teamid == 0 && plain->isUploaded); // RENDERABLE: uploaded
        KiteProject* flags = m_client->job("flags");
        QVERIFY(flags->isTrial && !flags->isPaid && !flags->downloadEnabled && flags->isQueued);
        QVERIFY(flags->teamid == 17 && flags->serverNumber == 2);
        QCOMPARE(local->jobId, QStringLiteral("77"));
        QVERIFY(local->isRendering && !local->isUnknown && m_client->settings->jobList.last() != gone);
        QCOMPARE(m_client->settings->jobList.last()->name, QStringLiteral("gone"));
        QCOMPARE(menu.count(), 1);
        QVERIFY(!m_client->plugin->getProjectStatesRunning);
        // Only the first list after a login has the projects folder looked at again.
        QCOMPARE(m_client->sent("getProjectFolderContents").size(), 1);
        QVERIFY(!m_client->plugin->rescanAfterLogin && TestFiles::writeFile(m_client->projectsFolder() + "/di2_orv_refresh.txt", {}));
        m_client->receive(projectsReply({}));
        QCOMPARE(m_client->sent("getProjectFolderContents").size(), 1);
    }

    // Handled in slices (one step a turn here), a long list still comes before
    // the messages behind it, and a job's events keep their order.
    void orderKeptAcrossSlices()
    {
        InboundQueue* queue = m_client->plugin->inboundQueue;
        queue->setSliceMs(0);
        const auto text = [](const QJsonObject& o) { return QString::fromUtf8(QJsonDocument(o).toJson()); };
        const auto state = [&](const char* id, const char* to) {
            return text({{"action", "jobStateChange"}, {"data", QJsonObject{{"jobid", id}, {"state", to}}}});
        };
        queue->take(text(projectsReply({QJsonObject{{"name", "a"}, {"id", "1"}, {"status", "RENDERING"}},
                                        QJsonObject{{"name", "b"}, {"id", "2"}, {"status", "RENDERING"}}})));
        for (const QString& event : {state("2", "RENDERED"), state("1", "PAUSED"), state("1", "RENDERED")})
            queue->take(event);
        QVERIFY(!queue->isIdle());
        QTRY_VERIFY(queue->isIdle());
        QVERIFY(m_client->job("a")->renderComplete && !m_client->job("a")->isPaused && m_client->job("b")->renderComplete);
        for (const QJsonObject& poll : m_client->sent("getProjectStates"))
            QVERIFY(infoOf(poll) != "jobstatechange");
    }

    // The projects folder's cfg files are read over several slices as well,
    // all of them before the message behind the folder's listing.
    void folderScanComesBeforeTheMessagesBehindIt()
    {
        InboundQueue* queue = m_client->plugin->inboundQueue;
        queue->setSliceMs(0);
        for (const char* name : {"a", "b", "c", "d"})
            m_client->writeJob(name, {"renderer=vray"});
        // A job removed while the upload pass goes over the jobs (the user
        // deletes it) is left out of the pass.
        connect(m_client->plugin->localProjectsScanner, &LocalProjectsScanner::jobForUploadSignal, this,
                [this](KiteProject* job) {
                    if (job->name != "a")
                        return;
                    KiteProject* gone = m_client->job("b");
                    m_client->settings->jobList.removeOne(gone);
                    gone->deleteLater();
                });
        const auto text = [](const QJsonObject& o) { return QString::fromUtf8(QJsonDocument(o).toJson()); };
        queue->take(text({{"action", "getProjectFolderContents"}, {"data", QJsonArray()}, {"serverNumberUpload", 1}}));
        QVERIFY(!queue->isIdle());
        queue->take(text(projectsReply({QJsonObject{{"name", "d"}, {"id", "3"}, {"status", "RENDERING"}}})));
        QTRY_VERIFY(queue->isIdle());
        QStringList jobs;
        for (const KiteProject* job : qAsConst(m_client->settings->jobList))
            jobs << job->name + '/' + job->jobId;
        QCOMPARE(jobs, (QStringList{"a/", "c/", "d/3"}));
        QCOMPARE(m_client->sent("getProjectStates").size(), 1);
        QStringList uploads;
        for (const QJsonObject& request : m_client->sent("getTexFolderContents"))
            uploads << request.value("data").toObject().value("scene").toString();
        QCOMPARE(uploads, (QStringList{"a", "c", "d"}));
    }

    void sameReplyAgainChangesNothing_data()
    {
        QTest::addColumn<QString>("status");
        for (const char* status : {"QUEUED", "RENDERING", "RENDERED", "PAUSED"})
            QTest::newRow(status) << QString::fromLatin1(status);
    }

    // A projects list that says again what the client knows: no status line,
    // menu entry, file, request or notification changes, for a job exported here
    // and for one only the farm knows.
    void sameReplyAgainChangesNothing()
    {
        QFETCH(QString, status);
        m_client->writeJob("local", {"renderer=vray", "uploadfinished=true",
                                     "downloadpath=" + m_client->userFolder() + "/out/local"});
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
                entries << info.filePath() + ' ' + QString::number(info.size()) + ' ' + info.symLinkTarget();
            }
            entries.sort();
            return entries;
        };
        const QStringList before = tree();
        const int requests = m_client->sent().size();
        QSignalSpy localChanged(m_client->job("local")->jobAction, &QAction::changed);
        QSignalSpy remoteChanged(m_client->job("remote")->jobAction, &QAction::changed);
        QSignalSpy notifications(m_client->settings, &KiteSettings::showMessageSignal);
        m_client->receive(reply);
        m_client->plugin->generateDownloadFileListSlot();
        QCOMPARE(tree(), before);
        QCOMPARE(m_client->sent().mid(requests), QList<QJsonObject>());
        QCOMPARE(localChanged.count() + remoteChanged.count(), 0);
        QCOMPARE(notifications.count(), 0);
    }

    void failedUploadRetriedWhileRetriesLeft_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("errorCount");
        QTest::addColumn<bool>("retried");
        for (const char* status : {"ERROR_UPL", "UPLOADING"}) {
            QTest::addRow("%s, 29 failures: retried", status) << status << 29 << true;
            QTest::addRow("%s, 30 failures: not again", status) << status << 30 << false;
        }
    }

    // Listed as failed or as still uploading, an upload this client does not
    // run is started over, at most 30 times.
    void failedUploadRetriedWhileRetriesLeft()
    {
        QFETCH(QString, status);
        QFETCH(int, errorCount);
        QFETCH(bool, retried);
        KiteProject* job = m_client->addJob("up", "9");
        job->errorCount = errorCount;
        m_client->receive(projectsReply({QJsonObject{
            {"name", "up"}, {"id", "9"}, {"status", status}, {"error_text", "550 /home/ftphomes/anna/tex/a.png: no space"}}}));
        QCOMPARE(job->uploadErrorText, status == "ERROR_UPL" ? QStringLiteral("550 /anna/tex/a.png: no space") : QString());
        // A retry starts again from the server's folder listing.
        QCOMPARE(m_client->sent("getProjectFolderContents").size(), retried ? 1 : 0);
        QCOMPARE(job->uploadRestartPending, retried);
        QCOMPARE(job->errorCount, errorCount);
    }

    void serverRequestedDownloadRestart()
    {
        m_client->writeJob("again", {"renderer=vray", "restartDownloadCount=1"});
        KiteProject* job = m_client->addJob("again", "3");
        std::tie(job->restartDownloadCount, job->isDownloaded) = std::make_pair(1, true);
        m_client->plugin->projectStates->restartRepeatMs = 10;
        QSignalSpy lists(m_client->plugin, &PluginNetConnection::generateDownloadFileListSignal);
        const QJsonObject reply = projectsReply(
            {QJsonObject{{"name", "again"}, {"id", "3"}, {"status", "RENDERED"}, {"restartDownloadCount", 2}}});
        m_client->receive(reply);
        QVERIFY(job->restartDownloadCount == 2 && !job->isDownloaded && job->checkForFilesToDownload);
        QCOMPARE(lists.count(), 1);
        QVERIFY(m_client.cfgText("again").contains("restartDownloadCount=2"));
        // Once more after the delay.
        job->isDownloaded = true;
        QTRY_VERIFY(!job->isDownloaded);
        // Equal counts do nothing.
        job->isDownloaded = true;
        m_client->receive(reply);
        QVERIFY(job->isDownloaded);
    }

    // One poll at a time: asked for while one is out, one more follows its
    // answer; a lost answer is given up after the guard time.
    void pollsNeverOverlap()
    {
        PluginNetConnection* plugin = m_client->plugin;
        const auto polls = [this] {
            QStringList infos;
            for (const QJsonObject& poll : m_client->sent("getProjectStates"))
                infos << infoOf(poll) + (dataOf(poll)["client_type"] == "kite" ? "" : " without client type");
            return infos;
        };
        for (int i = 0; i < 3; ++i)
            plugin->getProjectStatesSlot();
        QCOMPARE(polls(), QStringList{"slot"});
        QVERIFY(plugin->getProjectStatesTimer->interval() == 120000 && plugin->getProjectStatesTimer->isActive());
        m_client->receive(projectsReply({}));
        QCOMPARE(polls(), (QStringList{"slot", "whilerunning"}));
        QVERIFY(plugin->getProjectStatesRunning);
        m_client->receive(projectsReply({}));
        QCOMPARE(polls().size(), 2);
        QVERIFY(!plugin->getProjectStatesRunning && !plugin->getProjectStatesTimer->isActive());
        plugin->getProjectStatesSlot();
        plugin->getProjectStatesTimerSlot();
        QCOMPARE(polls(), (QStringList{"slot", "whilerunning", "slot", "timer"}));
        QVERIFY(plugin->getProjectStatesRunning && plugin->getProjectStatesTimer->isActive());
        m_client->settings->syncActive = false;
        m_client->receive(projectsReply({}));
        plugin->getProjectStatesSlot();
        QVERIFY(polls().size() == 4 && !plugin->getProjectStatesRunning);
    }

    void unsafeNamesFromTheServerTouchNoFile()
    {
        // A cfg outside the user's folder that a hostile name would reach.
        const QString outside = m_client->projectsFolder() + "/victim.cfg";
        QVERIFY(TestFiles::writeFile(outside, "restartDownloadCount=0\r\n"));
        m_client->receive(projectsReply({
            QJsonObject{{"name", "../victim"}, {"id", "1"}, {"status", "RENDERED"}, {"restartDownloadCount", 3}},
            QJsonObject{{"name", ".."}, {"id", "2"}, {"status", "RENDERED"}, {"restartDownloadCount", 3}},
        }));
        QCOMPARE(m_client->settings->jobList.size(), 2);
        QCOMPARE(m_client->settings->jobList.first()->restartDownloadCount, 3); // tracked all the same
        QCOMPARE(TestFiles::readFile(outside), QByteArray("restartDownloadCount=0\r\n"));
    }

    void progressReports_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("started");
        QTest::addColumn<int>("selector"); // the notification step setting
        QTest::addColumn<QList<int>>("reported");
        QTest::addColumn<bool>("queued");
        QTest::addColumn<QList<int>>("notified");
        QTest::newRow("queued without engines") << "QUEUED" << "0" << 1 << QList<int>{12} << true << QList<int>();
        QTest::newRow("renderable clears it") << "RENDERABLE" << "0" << 1 << QList<int>{12} << false << QList<int>();
        QTest::newRow("paused clears it") << "PAUSED" << "0" << 1 << QList<int>{12} << false << QList<int>();
        QTest::newRow("started and engines clear it") << "RENDERING" << "3" << 1 << QList<int>{12} << false << QList<int>();
        QTest::newRow("non-numeric counts as 0") << "QUEUED" << "x" << 1 << QList<int>{12} << true << QList<int>();
        QTest::newRow("every 25%") << "RENDERING" << "1" << 1 << QList<int>{10, 24, 25, 49, 50} << false << QList<int>{25, 50};
        QTest::newRow("every 10%") << "RENDERING" << "1" << 0 << QList<int>{5, 10, 15, 20} << false << QList<int>{10, 20};
        QTest::newRow("every 50%") << "RENDERING" << "1" << 2 << QList<int>{49, 50, 99, 100} << false << QList<int>{50, 100};
        QTest::newRow("unknown selector: only 100%") << "RENDERING" << "1" << 7 << QList<int>{50, 99, 100} << false << QList<int>{100};
    }

    // Progress reports: whether the job waits in the queue, and a notification
    // at each step of the chosen size.
    void progressReports()
    {
        QFETCH(QString, state);
        QFETCH(QString, started);
        QFETCH(QList<int>, reported);
        QFETCH(int, selector);
        m_client->settings->NotificationProgressEnabled = true;
        m_client->settings->NotificationProgress = selector;
        m_client->settings->isPaid = true;
        KiteProject* job = m_client->addJob("p", "21");
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        for (int percent : reported)
            m_client->receive(progress("p", "21", state, started, "4", QString::number(percent)));
        QTEST(job->isQueued, "queued");
        QCOMPARE(job->renderProgress, reported.last());
        QVERIFY(!m_client->settings->isPaid); // "true" is not "1"
        QList<int> seen;
        for (const QVariantList& args : qAsConst(messages)) {
            QCOMPARE(args.at(0).toString(), QStringLiteral("Render Progress"));
            QCOMPARE(args.at(2).toString(), QStringLiteral("Progress"));
            QCOMPARE(args.at(3).value<KiteProject*>(), job);
            QVERIFY(args.at(1).toString().startsWith("p "));
            seen << args.at(1).toString().section(' ', -1).chopped(1).toInt();
        }
        QTEST(seen, "notified");
    }

    // A state event for a known job asks for its progress; for an unknown one,
    // for the whole projects list. Render points are asked for either way.
    void pushedJobEvents()
    {
        m_client->receive(QJsonObject{{"action", "jobStateChange"}, {"data", QJsonObject{{"jobid", "404"}, {"state", "RENDERING"}}}});
        QCOMPARE(m_client->sent("getProjectStates").size(), 1);
        QCOMPARE(infoOf(m_client->sent("getProjectStates").first()), QStringLiteral("jobstatechange"));
        QCOMPARE(m_client->sent("getProgressInfos").size(), 0);
        KiteProject* job = m_client->addJob("k", "42");
        m_client->receive(QJsonObject{{"action", "jobStateChange"}, {"data", QJsonObject{{"jobid", 42}, {"state", "QUEUED"}}}});
        QVERIFY(job->isQueued);
        QCOMPARE(m_client->sent("getProgressInfos").size(), 1);
        QCOMPARE(dataOf(m_client->sent("getProgressInfos").first()), (QJsonObject{{"id", "42"}, {"scene", "k"}}));
        QCOMPARE(dataOf(m_client->sent("getRenderpoints").value(0)).value("virtual").toBool(), true);
        m_client->receive(projectsReply({}));
        // Out of points: every job not downloaded yet.
        KiteProject* a = m_client->addJob("a");
        m_client->clearSent();
        KiteProject* done = m_client->addJob("done");
        done->isDownloaded = true;
        m_client->receive(QJsonObject{{"action", "jobOutOfPoints"}, {"data", QJsonObject()}});
        QVERIFY(a->outOfRenderPoints && !done->outOfRenderPoints);
        // An upload from another machine: one job, shown as such.
        QSignalSpy menu(m_client->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
        const QJsonObject uploading{{"action", "projectUploading"}, {"data", QJsonObject{{"scene", "elsewhere"}}}};
        m_client->receive(uploading);
        m_client->receive(uploading);
        QCOMPARE(m_client->settings->jobList.size(), 4);
        QCOMPARE(menu.count(), 1);
        QVERIFY(m_client->job("elsewhere")->jobAction->text().contains("REMOTE UPLOAD"));
        // Uploaded: a poll, not for a local job.
        m_client->receive(QJsonObject{{"action", "projectUploaded"}, {"data", QJsonObject{{"scene", "unknown"}}}});
        QCOMPARE(infoOf(m_client->sent("getProjectStates").first()), QStringLiteral("uploaded"));
        m_client->receive(projectsReply({}));
        a->isLocal = true;
        m_client->receive(QJsonObject{{"action", "projectUploaded"}, {"data", QJsonObject{{"scene", "a"}}}});
        QCOMPARE(m_client->sent("getProjectStates").size(), 1);
        m_client->receive(QJsonObject{{"action", "projectUploaded"}, {"data", QJsonObject{{"scene", "done"}}}});
        QCOMPARE(m_client->sent("getProjectStates").size(), 2);
        QCOMPARE(infoOf(m_client->sent("getProjectStates").last()), QStringLiteral("uploaded2"));
        // An event without an id is no event of a job the farm has not
        // numbered yet.
        KiteProject* unsubmitted = m_client->addJob("unsubmitted");
        m_client->clearSent();
        m_client->receive(QJsonObject{{"action", "jobStateChange"}, {"data", QJsonObject{{"state", "RENDERING"}}}});
        QVERIFY(!unsubmitted->isRendering);
        QCOMPARE(m_client->sent("getProgressInfos").size(), 0);
    }

private:
    Client m_client;
};

QTEST_MAIN(TestTransfersStates)
#include "tst_transfers_states.moc"
