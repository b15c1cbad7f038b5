#include "jobs/kiteproject.h"
#include "net/floodlimiter.h"
#include "net/kitewebsocketconnection.h"
#include "net/messagesplitter.h"
#include "net/requestqueue.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/offlineclient.h"

#include <QtTest>

#include <algorithm>
#include <memory>

namespace {
// JSON written with single quotes, to keep the tests readable.
QString json(const char* text) { return QString::fromLatin1(text).replace(QLatin1Char('\''), QLatin1Char('"')); }

// Texts holding several objects, and the one the dispatch keeps (in the
// quotes of json()).
const char* const kSplits[][3] = {
    {"single object", "{'action':'login'}", "{'action':'login'}"},
    {"ping then login", "{'action':'ping'}{'action':'login','data':{}}", "{'action':'login','data':{}}"},
    {"brace inside a string", "{'a':'}{'}{'action':'b'}", "{'action':'b'}"},
    {"escaped quote inside a string", "{'a':'x\\\"}{\\\"'}{'action':'c'}", "{'action':'c'}"},
    {"escaped backslash ends before the quote", "{'a':'x\\\\'}{'action':'d'}", "{'action':'d'}"},
    {"nested objects stay whole", "{'a':{'b':{}}}", "{'a':{'b':{}}}"},
};
const char* const kConcatenatedPoints =
    "{'action':'getRenderpoints','data':{'result':7,'note':'\\\"}{'}}{'action':'getRenderpoints','data':{'result':-1}}";

// A null job name: no job; scene: of the data (undefined: none); carrierGoes:
// a carrier job is deleted once the envelope is made.
struct RouteCase { QString jobName, custom, customAction; QJsonObject envelopeCustom; QJsonValue scene; bool carrierGoes; };
// floodedBefore/After: windows in a row above the rate.
struct FloodCase { int requests, elapsedMs, floodedBefore; bool fires; int floodedAfter; };
// resume: the host resumes jobs that ran out of render points; jobs, per job
// (downloaded, pending, out of points, deleted): c restarted with confirmations
// reset, r restarted keeping them, o out of points, - neither.
struct AccountCase { QString answer; bool wasTrial, resume, isPaid; QString jobs; };
} // namespace
Q_DECLARE_METATYPE(RouteCase)
Q_DECLARE_METATYPE(FloodCase)
Q_DECLARE_METATYPE(AccountCase)

// Requests as they leave the plug-in (envelope, routing, pacing and merging,
// flood limit, asking again after a lost connection) and the account answers
// the dispatch hands to their handlers; the socket is cut off.
class TestNetRequests : public QObject
{
    Q_OBJECT

    std::unique_ptr<OfflineClient> m_client;
    qint64 m_now = 0; // the request queue's clock, where a test sets it

    PluginNetConnection* plugin() const { return m_client->plugin; }
    void receive(const char* text) { plugin()->parseJsonMessageSlot(json(text)); }
    QStringList actions(int from = 0, bool withScene = false) const
    {
        QStringList result;
        const QList<QJsonObject> sent = m_client->sent();
        for (int i = from; i < sent.size(); ++i)
            result << sent.at(i)["action"].toString() + (withScene ? ' ' + sent.at(i)["custom"]["scene"].toString() : "");
        return result;
    }
    // A login answer on the connection numbered `connection`.
    void loginOn(int connection, const QString& held = QString())
    {
        plugin()->webSocketConnection->openedConnections = connection;
        plugin()->webSocketConnection->messageAfterLoginBuffer = held;
        receive("{'action':'login','data':{'is_logged_in':true}}");
    }

private slots:
    void init()
    {
        m_client = std::make_unique<OfflineClient>();
        m_now = 0;
        // The connection's own reaction to a login (sending what it held) would open a socket.
        disconnect(plugin(), &PluginNetConnection::websocketLoginStatusSignal, nullptr, nullptr);
    }

    void cleanup() { m_client.reset(); }

    void routing_data()
    {
        QTest::addColumn<RouteCase>("c");
        const QJsonValue none(QJsonValue::Undefined);
        QTest::newRow("no routing") << RouteCase{QString(), "", "", {}, none, false};
        QTest::newRow("job with echoed action") << RouteCase{"A", "", "pauseUpload", {{"scene", "A"}, {"action", "pauseUpload"}}, "A", false};
        QTest::newRow("job without action") << RouteCase{"B", "", "", {{"scene", "B"}}, "B", false};
        QTest::newRow("texture request of the live upload") << RouteCase{"liveUploadJob", "appTexRequest", "", {{"appTexRequest", true}}, "liveUploadJob", false};
        QTest::newRow("texture request of an exporter") << RouteCase{"carrier", "appTexRequest", "", {{"appTexRequest", true}}, none, true};
        QTest::newRow("installation tag") << RouteCase{QString(), "kiteId", "", {{"kiteId", "kite-test-id"}}, none, false};
        QTest::newRow("link replaces job routing") << RouteCase{"", "https://portal.example/x", "", {{"linkUrl", "https://portal.example/x"}}, "", true};
    }
    void routing()
    {
        QFETCH(RouteCase, c);
        QPointer<KiteProject> job = c.jobName.isNull() ? nullptr : new KiteProject(m_client->settings, c.jobName, QString(), this);
        plugin()->makeRequest("getTexFiles", QJsonObject{{"n", 1}}, job, c.custom, c.customAction);
        QJsonObject data{{"n", 1}}, envelope{{"action", "getTexFiles"}};
        if (!c.scene.isUndefined())
            data.insert("scene", c.scene);
        envelope.insert("data", data);
        if (!c.envelopeCustom.isEmpty())
            envelope.insert("custom", c.envelopeCustom);
        QCOMPARE(m_client->sent(), QList<QJsonObject>{envelope});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(job.isNull(), c.carrierGoes || c.jobName.isNull());
        delete job.data();
    }

    void bookkeepingAndSendResult_data()
    {
        QTest::addColumn<QJsonObject>("data");
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("deadline requester") << QJsonObject{{"scene", "Unknown"}}
            << QJsonObject{{"clientType", "deadline"}, {"result", "Received"}, {"error", false}, {"scene", "Unknown"}};
        QTest::newRow("control centre requester") << QJsonObject{{"scene", "U2"}, {"controlcenter_id", "cc-7"}}
            << QJsonObject{{"clientType", "controlcenter"}, {"controlcenter_id", "cc-7"}, {"clientId", "cc-7"}, {"result", "Received"},
                           {"error", false}, {"scene", "U2"}};
    }
    // An application request for a job the client does not know is still
    // answered, and creates no job; the flags other handlers wait on are set.
    void bookkeepingAndSendResult()
    {
        QFETCH(QJsonObject, data);
        QFETCH(QJsonObject, expected);
        m_client->receive(QJsonObject{{"action", "pauseUpload"}, {"data", data}});
        QCOMPARE(m_client->sent(), QList<QJsonObject>{(QJsonObject{{"action", "sendResult"}, {"id", "orvel"}, {"requestId", "orvel"},
            {"custom", QJsonObject{{"scene", data.value("scene")}, {"action", "pauseUpload"}}}, {"data", expected}})});
        QVERIFY(m_client->settings->jobList.isEmpty());

        KiteProject job(m_client->settings, "J", QString());
        plugin()->makeRequest("getTexFolderContents", QJsonObject(), &job);
        plugin()->makeRequest("checkFiles", QJsonObject(), &job);
        plugin()->makeRequest("autoupdate", QJsonObject());
        plugin()->makeRequest("getPluginConfig", QJsonObject{{"program", "max"}});
        QVERIFY(job.texFolderRequestRunning && job.waitingForCheckFiles && m_client->settings->autoupdateRequested);
        QVERIFY(m_client->settings->lastPluginConfigRequestMax.isValid() && !m_client->settings->lastPluginConfigRequestC4d.isValid());
        emit m_client->settings->getProjectFolderContentsSignal(2);
        QCOMPARE(m_client->sent().last().value("data").toObject(),
                 (QJsonObject{{"size", true}, {"serverNumberUpload", 2}, {"custom", QJsonObject{{"serverNumberUpload", 2}}}}));
    }

    void floodLimit_data()
    {
        QTest::addColumn<FloodCase>("c");
        const int last = FloodLimiter::defaultWindowsInARow - 1;
        QTest::newRow("251 in 1.1 s, the last such window in a row") << FloodCase{251, 1100, last, true, 0};
        QTest::newRow("251 in 1.1 s, first such window") << FloodCase{251, 1100, 0, false, 1};
        QTest::newRow("150 in 1.1 s ends the row") << FloodCase{150, 1100, last, false, 0};
        QTest::newRow("403 in 2.5 s counts whole seconds") << FloodCase{403, 2500, last, true, 0};
        QTest::newRow("401 in 2.5 s is 200 per second") << FloodCase{401, 2500, last, false, 0};
        QTest::newRow("a window closes only after more than a second") << FloodCase{1000, 1000, last, false, last};
    }
    void floodLimit()
    {
        QFETCH(FloodCase, c);
        const QDateTime t0 = QDateTime::currentDateTime();
        FloodLimiter limiter(t0.addMSecs(-c.elapsedMs));
        limiter.messageCount = c.requests - 1;
        limiter.floodedWindows = c.floodedBefore;
        QCOMPARE(limiter.count(t0), c.fires);
        QCOMPARE(limiter.floodedWindows, c.floodedAfter);
        QCOMPARE(limiter.messageCount, c.elapsedMs > 1000 ? 0 : c.requests);
    }

    void floodLimitNeedsWindowsInARow_data()
    {
        // Phases one after the other: so many requests, spread evenly over so many ms.
        QTest::addColumn<QList<int>>("phases");
        QTest::addColumn<int>("disconnects");
        QTest::addColumn<int>("drain"); // requests the queue lets out per second; 0: its backlog is not told
        QTest::newRow("runaway sender, 250 a second for 32 s") << QList<int>{8000, 32000} << 1 << 0;
        QTest::newRow("runaway sender, 250 a second for 63 s") << QList<int>{15750, 63000} << 2 << 0;
        QTest::newRow("250 a second for 25 s") << QList<int>{6250, 25000} << 0 << 0;
        QTest::newRow("runaway sender, the queue's backlog grows") << QList<int>{8000, 32000} << 1 << 150;
        QTest::newRow("250 a second, the queue keeps up") << QList<int>{8000, 32000} << 0 << 300;
        QTest::newRow("a projects list: 7500 at once, then 50 a second") << QList<int>{7500, 0, 500, 10000} << 0 << 0;
        QTest::newRow("100000 events in 2 s, then 30 a second") << QList<int>{100000, 2000, 300, 10000} << 0 << 0;
        QList<int> bursts;
        for (int i = 0; i < 5; ++i)
            bursts << 2000 << 0 << 30 << 1500;
        QTest::newRow("bursts with a calm second between") << bursts << 0 << 0;
    }
    void floodLimitNeedsWindowsInARow()
    {
        QFETCH(QList<int>, phases);
        QFETCH(int, disconnects);
        QFETCH(int, drain);
        const QDateTime t0 = QDateTime::currentDateTime();
        FloodLimiter limiter(t0);
        qint64 start = 0, asked = 0;
        int fired = 0;
        for (int p = 0; p + 1 < phases.size(); p += 2) {
            for (int i = 0; i < phases.at(p); ++i) {
                const qint64 at = start + qint64(i) * phases.at(p + 1) / phases.at(p);
                const int waiting = drain > 0 ? int(qMax<qint64>(0, ++asked - drain * at / 1000)) : -1;
                fired += limiter.count(t0.addMSecs(at), waiting);
            }
            start += phases.at(p + 1);
        }
        QCOMPARE(fired, disconnects);
    }

    void burstLeavesPacedInOrder_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("copiesSent"); // of three made while the first waits
        for (const char* read : {"getProgressInfos", "getOutputDir", "getProjectFolderContents", "getTexFiles",
                                 "textureCacheLookup", "getUserInfo", "getRenderpoints"})
            QTest::newRow(read) << QString::fromLatin1(read) << 1;
        for (const char* each : {"setUploadProgress", "setDownloadProgress", "setDownloadComplete", "sendResult",
                                 "getTexFolderContents", "setuploadstarted", "createDirs", "checkFiles",
                                 "setuploadchecked", "addjob", "sendFile"})
            QTest::newRow(each) << QString::fromLatin1(each) << 3;
    }
    // A burst leaves in order, never more than the budget in any second;
    // identical reads are merged, requests whose every copy matters are not.
    void burstLeavesPacedInOrder()
    {
        QFETCH(QString, action);
        QFETCH(int, copiesSent);
        constexpr int budget = 4;
        RequestQueue* queue = plugin()->requestQueue;
        QVERIFY(queue->budget() < FloodLimiter::maxRequestsPerSecond); // paced below what the server accepts
        queue->setBudget(budget);
        queue->setClock([this] { return m_now; });
        plugin()->floodLimiter = FloodLimiter(QDateTime::currentDateTime());
        QList<qint64> sentAt;
        connect(plugin(), &PluginNetConnection::webSocketMessageSignal, this, [&] { sentAt << m_now; });
        KiteProject job(m_client->settings, "shot", QString());

        // The budget's worth leaves at once; then three copies of the request,
        // each followed by a progress report, wait.
        for (int i = 0; i < budget; ++i)
            plugin()->makeRequest("getProgressInfos", QJsonObject{{"id", QString::number(i)}});
        QCOMPARE(m_client->sent().size(), budget);
        for (const char* marker : {"M0", "M1", "M2"}) {
            plugin()->makeRequest(action, QJsonObject{{"n", 1}}, &job);
            plugin()->makeRequest("setUploadProgress", QJsonObject{{"marker", marker}}, &job);
        }
        QCOMPARE(m_client->sent().size(), budget);
        QVERIFY(queue->drainTimer().isActive());
        QCOMPARE(queue->drainTimer().interval(), RequestQueue::windowMs);
        for (int step = 0; step < 10 && queue->waitingCount() > 0; ++step) {
            QVERIFY(queue->drainTimer().isActive());
            m_now += queue->drainTimer().interval();
            queue->drain();
        }
        QCOMPARE(queue->waitingCount(), 0);
        QVERIFY(!queue->drainTimer().isActive());

        QStringList sent; // action, or the marker of a progress report
        for (const QJsonObject& envelope : m_client->sent().mid(budget)) {
            const QJsonValue marker = envelope.value("data").toObject().value("marker");
            sent << (marker.isUndefined() ? envelope.value("action").toString() : marker.toString());
        }
        QCOMPARE(sent, (copiesSent == 3 ? QStringList{action, "M0", action, "M1", action, "M2"}
                                        : QStringList{action, "M0", "M1", "M2"}));
        for (qint64 from : qAsConst(sentAt))
            QVERIFY(std::count_if(sentAt.cbegin(), sentAt.cend(),
                                  [from](qint64 at) { return at >= from && at < from + RequestQueue::windowMs; }) <= budget);
        // The flood limit counted what the queue took in, not the merged copies.
        QCOMPARE(plugin()->floodLimiter.messageCount, m_client->sent().size());
    }

    void accountReadsAreNotAskedAgainWhileOnTheirWay_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("end");
        for (const char* action : {"getRenderpoints", "getUserInfo"}) {
            for (const char* end : {"answer", "lost connection", "new login", "no answer for two minutes"})
                QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(action, end))) << action << end;
        }
    }
    void accountReadsAreNotAskedAgainWhileOnTheirWay()
    {
        QFETCH(QString, action);
        QFETCH(QString, end);
        plugin()->requestQueue->setClock([this] { return m_now; });
        const QJsonObject sync{{"custom", QJsonObject{{"info", "syncslot"}}}};
        plugin()->makeRequest(action, QJsonObject{{"virtual", true}});
        plugin()->makeRequest(action, QJsonObject{{"virtual", true}});
        plugin()->makeRequest(action, sync);
        receive("{'action':'getTeams','data':{}}"); // another answer does not count
        m_now += 60000;
        plugin()->makeRequest(action, sync);
        QCOMPARE(m_client->sent().size(), 1);

        if (end == QLatin1String("answer"))
            plugin()->parseJsonMessageSlot(json("{'action':'%1','data':{'result':5,'isTrial':false}}").arg(action));
        else if (end == QLatin1String("lost connection"))
            emit plugin()->webSocketConnection->websocketTimeoutSignal();
        else if (end == QLatin1String("new login"))
            loginOn(plugin()->webSocketConnection->openedConnections + 1);
        else
            m_now += RequestQueue::accountReadPatienceMs;
        plugin()->makeRequest(action, sync);
        QCOMPARE(actions(), (QStringList{action, action}));
    }

    void waitingRequestsGoOutAfterTheNextLogin()
    {
        RequestQueue* queue = plugin()->requestQueue;
        queue->setBudget(2);
        queue->setClock([this] { return m_now; });
        auto report = [this](int n) { plugin()->makeRequest("setDownloadProgress", QJsonObject{{"n", n}}); };
        for (int n = 0; n < 4; ++n)
            report(n);
        QCOMPARE(m_client->sent().size(), 2);

        // The connection is lost: the next request makes the first waiting one go
        // to the connection, which keeps it and opens the socket again; the others
        // wait for the login, however long.
        emit plugin()->webSocketConnection->websocketFailedSignal();
        QVERIFY(!queue->drainTimer().isActive());
        m_now += 5000;
        report(4);
        QCOMPARE(m_client->sent().size(), 3);
        m_now += 5000;
        queue->drain();
        QCOMPARE(m_client->sent().size(), 3);

        loginOn(1, QString::fromUtf8(QJsonDocument(m_client->sent().last()).toJson(QJsonDocument::Compact)));
        QTRY_COMPARE(m_client->sent().size(), 5);
        QList<int> order;
        for (const QJsonObject& envelope : m_client->sent())
            order << envelope.value("data").toObject().value("n").toInt();
        QCOMPARE(order, (QList<int>{0, 1, 2, 3, 4}));
    }

    void unansweredRequestsAreAskedAgainOnANewConnection()
    {
        KiteProject* shot = m_client->addJob("shot");
        KiteProject* other = m_client->addJob("other");
        plugin()->makeRequest("getOutputDir", QJsonObject{{"size", true}}, shot);
        plugin()->makeRequest("addjob", QJsonObject{{"prio", 51}}, shot);
        // Both jobs wait for requests of the same kind.
        for (KiteProject* job : {shot, other}) {
            plugin()->makeRequest("createDirs", QJsonObject{{"dirs", QJsonArray{"tex"}}}, job);
            plugin()->makeRequest("checkFiles", QJsonObject(), job);
        }
        const QString held = QString::fromUtf8(QJsonDocument(m_client->sent().last()).toJson(QJsonDocument::Compact));
        plugin()->makeRequest("getTexFolderContents", QJsonObject(), other);
        plugin()->makeRequest("getUserInfo", QJsonObject()); // not kept
        receive("{'action':'getTexFolderContents','custom':{'scene':'other'},'data':{'files':[]}}");

        // A login on a new connection: the unanswered requests of every job go
        // out again, but not the one the connection held and sends itself, and
        // not "addjob" before the projects list tells whether the farm took it.
        int before = m_client->sent().size();
        loginOn(1, held);
        QStringList again = actions(before, true);
        again.sort();
        QCOMPARE(again, (QStringList{"checkFiles shot", "createDirs other", "createDirs shot", "getOutputDir shot"}));

        // The farm lists the job as not submitted: "addjob" once more.
        before = m_client->sent().size();
        receive("{'action':'getProjectStates','data':{'projects':[{'name':'shot','id':'7','status':'RENDERABLE'}]}}");
        QCOMPARE(actions(before).count("addjob"), 1);

        // A login answer repeated on the same connection asks for nothing again.
        before = m_client->sent().size();
        loginOn(1);
        QVERIFY(!actions(before).contains("getOutputDir") && !actions(before).contains("checkFiles"));

        // Answered or deleted: nothing is kept.
        receive("{'action':'getOutputDir','custom':{'scene':'shot'},'data':{'files':[],'folders':[]}}");
        receive("{'action':'addjob','custom':{'scene':'shot'},'data':{'id':'7'}}");
        receive("{'action':'createDirs','custom':{'scene':'shot'},'data':{'result':true}}");
        receive("{'action':'checkFiles','custom':{'scene':'shot'},'data':{'result':false}}");
        other->isDeleted = true;
        before = m_client->sent().size();
        loginOn(2);
        for (const char* action : {"getOutputDir", "addjob", "checkFiles", "getTexFolderContents", "createDirs"})
            QVERIFY2(!actions(before).contains(QLatin1String(action)), action);
    }

    void splitter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        for (const auto& split : kSplits)
            QTest::newRow(split[0]) << json(split[1]) << json(split[2]);
    }
    void splitter()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(MessageSplitter::lastObject(text), expected);
    }

    void refusedLogin_data()
    {
        QTest::addColumn<bool>("blocked");
        QTest::newRow("refused: told, and the socket closed") << false;
        QTest::newRow("blocked account: only the socket closed") << true;
    }
    void refusedLogin()
    {
        QFETCH(bool, blocked);
        QSignalSpy success(plugin(), &PluginNetConnection::loginSuccessSignal);
        QSignalSpy disconnects(plugin(), &PluginNetConnection::disconnectWebSocketSignal);
        receive(blocked ? "{'action':'login','data':{'is_logged_in':false,'isBlocked':true}}" : "{'action':'login','data':{}}");
        QCOMPARE(success.count(), blocked ? 0 : 1);
        QCOMPARE(success.value(0).value(0), blocked ? QVariant() : QVariant(1));
        QCOMPARE(disconnects.count(), 1);
    }

    void accountAnswersMoveJobs_data()
    {
        QTest::addColumn<AccountCase>("c");
        const QString points = json("{'action':'getRenderpoints','data':{'result':%1}}");
        const QString info = json("{'action':'getUserInfo','data':{'isTrial':%1}}");
        QTest::newRow("below 0: jobs not downloaded run out") << AccountCase{points.arg(-1), false, true, false, "-ooo"};
        QTest::newRow("two objects in one text: the last counts") << AccountCase{json(kConcatenatedPoints), false, true, false, "-ooo"};
        QTest::newRow("0: paid, nothing resumes") << AccountCase{points.arg(0), false, true, true, "--oo"};
        QTest::newRow("points again: live jobs out of points resume") << AccountCase{points.arg(12.5), false, true, true, "--ro"};
        QTest::newRow("points again, the host does not resume") << AccountCase{points.arg(12.5), false, false, true, "--oo"};
        QTest::newRow("trial ends: every live job downloads again") << AccountCase{info.arg("false"), true, true, false, "ccco"};
        QTest::newRow("still a trial") << AccountCase{info.arg("true"), true, true, false, "--oo"};
    }
    void accountAnswersMoveJobs()
    {
        QFETCH(AccountCase, c);
        KiteSettings* s = m_client->settings;
        s->isTrial = c.wasTrial;
        s->isPaid = c.answer.contains("getRenderpoints") ? !c.isPaid : c.isPaid;
        s->resumeOutOfPointsJobs = c.resume;
        const QList<KiteProject*> jobs{m_client->addJob("downloaded", "1"), m_client->addJob("pending", "2"),
                                       m_client->addJob("outOfPoints", "3"), m_client->addJob("deleted", "4")};
        jobs[0]->isDownloaded = true;
        jobs[2]->outOfRenderPoints = jobs[3]->outOfRenderPoints = true;
        jobs[3]->isDeleted = true;
        for (KiteProject* job : jobs) {
            job->overwriteAll = true;
            job->checkForFilesToDownload = false;
        }
        plugin()->parseJsonMessageSlot(c.answer);
        QCOMPARE(s->isPaid, c.isPaid);
        QCOMPARE(s->isTrial, c.answer.contains("true"));
        QString seen;
        for (KiteProject* job : jobs)
            seen += job->checkForFilesToDownload ? (job->overwriteAll ? 'r' : 'c') : (job->outOfRenderPoints ? 'o' : '-');
        QCOMPARE(seen, c.jobs);
    }
};

QTEST_MAIN(TestNetRequests)
#include "tst_net_requests.moc"
