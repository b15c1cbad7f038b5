#include "jobs/kiteproject.h"
#include "net/floodlimiter.h"
#include "net/kitewebsocketconnection.h"
#include "net/messagesplitter.h"
#include "net/requestenvelope.h"
#include "net/requestqueue.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

// Requests as they leave the plug-in: envelope, routing, pacing and merging,
// flood limit and the project-state gate, observed on webSocketMessageSignal.
class TestRequests : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void routing_data();
    void routing();
    void carriersDeleteThemselves();
    void bookkeepingFlags();
    void floodLimit_data();
    void floodLimit();
    void floodLimitNeedsWindowsInARow_data();
    void floodLimitNeedsWindowsInARow();
    void burstLeavesPacedInOrder_data();
    void burstLeavesPacedInOrder();
    void accountReadsAreNotAskedAgainWhileOnTheirWay_data();
    void accountReadsAreNotAskedAgainWhileOnTheirWay();
    void waitingRequestsGoOutAfterTheNextLogin();
    void mutedPingIsNotCounted();
    void projectStatesGate();
    void projectStatesGuardTimerResends();
    void syncInactiveHoldsProjectStates();
    void splitter_data();
    void splitter();
    void sendResultForUnknownJob_data();
    void sendResultForUnknownJob();
    void getProjectFolderContentsRequest();
    void unansweredRequestsAreAskedAgainOnANewConnection();

private:
    QJsonObject lastSent(const QSignalSpy& spy) const;
    static QStringList actionsOf(const QSignalSpy& spy, int from);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KiteSettings> m_settings;
    PluginNetConnection* m_plugin = nullptr;
    qint64 m_now = 0; // the request queue's clock, where a test sets it
};

void TestRequests::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    {
        QSettings ini(m_dir->filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), m_dir->path());
        ini.setValue(QStringLiteral("Settings/kiteId"), QStringLiteral("kite-1"));
    }
    m_settings = std::make_unique<KiteSettings>();
    m_settings->setApplicationDirectory(m_dir->path());
    m_settings->load();
    m_settings->syncActive = true;
    m_plugin = new PluginNetConnection;
    m_plugin->setKiteSettings(m_settings.get());
    // Nothing leaves this process: the connection would open a socket.
    disconnect(m_plugin, &PluginNetConnection::webSocketMessageSignal, nullptr, nullptr);
}

void TestRequests::cleanup()
{
    delete m_plugin;
    m_plugin = nullptr;
    m_settings.reset();
    m_dir.reset();
}

QJsonObject TestRequests::lastSent(const QSignalSpy& spy) const
{
    return QJsonDocument::fromJson(spy.last().at(0).toString().toUtf8()).object();
}

QStringList TestRequests::actionsOf(const QSignalSpy& spy, int from)
{
    QStringList actions;
    for (int i = from; i < spy.count(); ++i)
        actions << QJsonDocument::fromJson(spy.at(i).at(0).toString().toUtf8()).object().value("action").toString();
    return actions;
}

void TestRequests::routing_data()
{
    QTest::addColumn<QString>("jobName");
    QTest::addColumn<QString>("custom");
    QTest::addColumn<QString>("customAction");
    QTest::addColumn<QJsonObject>("expectedCustom");
    QTest::addColumn<QJsonValue>("expectedScene");

    QTest::newRow("no routing") << QString() << QString() << QString() << QJsonObject() << QJsonValue();
    QTest::newRow("job with echoed action")
        << "A" << QString() << "pauseUpload" << QJsonObject{{"scene", "A"}, {"action", "pauseUpload"}}
        << QJsonValue("A");
    QTest::newRow("job without action") << "B" << QString() << QString() << QJsonObject{{"scene", "B"}}
                                        << QJsonValue("B");
    QTest::newRow("texture request of the live upload")
        << "liveUploadJob" << "appTexRequest" << QString() << QJsonObject{{"appTexRequest", true}}
        << QJsonValue("liveUploadJob");
    QTest::newRow("texture request of an exporter")
        << "carrier" << "appTexRequest" << QString() << QJsonObject{{"appTexRequest", true}} << QJsonValue();
    QTest::newRow("installation tag") << QString() << "kiteId" << QString() << QJsonObject{{"kiteId", "kite-1"}}
                                      << QJsonValue();
    QTest::newRow("link replaces job routing")
        << "" << "https://portal.example/x" << QString() << QJsonObject{{"linkUrl", "https://portal.example/x"}}
        << QJsonValue("");
}

void TestRequests::routing()
{
    QFETCH(QString, jobName);
    QFETCH(QString, custom);
    QFETCH(QString, customAction);
    QFETCH(QJsonObject, expectedCustom);
    QFETCH(QJsonValue, expectedScene);

    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    KiteProject* job = jobName.isNull() ? nullptr : new KiteProject(m_settings.get(), jobName, QString(), this);
    m_plugin->makeRequest(QStringLiteral("getTexFiles"), QJsonObject{{"n", 1}}, job, custom, customAction);

    QCOMPARE(sent.count(), 1);
    const QJsonObject envelope = lastSent(sent);
    QCOMPARE(envelope.value("action").toString(), QStringLiteral("getTexFiles"));
    QCOMPARE(envelope.value("custom").toObject(), expectedCustom);
    QCOMPARE(envelope.contains("custom"), !expectedCustom.isEmpty());
    const QJsonObject data = envelope.value("data").toObject();
    QCOMPARE(data.value("n").toInt(), 1);
    QCOMPARE(data.value("scene"), expectedScene.isNull() ? QJsonValue(QJsonValue::Undefined) : expectedScene);
    QVERIFY(!envelope.contains("id"));
}

void TestRequests::carriersDeleteThemselves()
{
    QPointer<KiteProject> carrier = new KiteProject(m_settings.get(), QString(), QString(), this);
    QPointer<KiteProject> liveJob = new KiteProject(m_settings.get(), QStringLiteral("liveUploadJob"), QString(), this);
    m_plugin->makeRequest(QStringLiteral("getUserToken"), QJsonObject(), carrier, QStringLiteral("http://a"));
    m_plugin->makeRequest(QStringLiteral("getTexFiles"), QJsonObject(), liveJob, QStringLiteral("appTexRequest"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(carrier.isNull());
    QVERIFY(!liveJob.isNull());
}

void TestRequests::bookkeepingFlags()
{
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    KiteProject job(m_settings.get(), QStringLiteral("J"), QString());
    m_plugin->makeRequest(QStringLiteral("getTexFolderContents"), QJsonObject(), &job);
    m_plugin->makeRequest(QStringLiteral("checkFiles"), QJsonObject(), &job);
    m_plugin->makeRequest(QStringLiteral("autoupdate"), QJsonObject());
    m_plugin->makeRequest(QStringLiteral("getPluginConfig"), QJsonObject{{"program", "max"}});
    QVERIFY(job.texFolderRequestRunning);
    QVERIFY(job.waitingForCheckFiles);
    QVERIFY(m_settings->autoupdateRequested);
    QVERIFY(m_settings->lastPluginConfigRequestMax.isValid());
    QVERIFY(!m_settings->lastPluginConfigRequestC4d.isValid());

    m_plugin->makeRequest(QStringLiteral("sendResult"), QJsonObject());
    QCOMPARE(lastSent(sent).value("id").toString(), QStringLiteral("orvel"));
    QCOMPARE(lastSent(sent).value("requestId").toString(), QStringLiteral("orvel"));
}

void TestRequests::floodLimit_data()
{
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("elapsedMs");
    QTest::addColumn<int>("floodedBefore"); // windows in a row above the rate so far
    QTest::addColumn<bool>("fires");
    QTest::addColumn<int>("floodedAfter");

    const int last = FloodLimiter::defaultWindowsInARow - 1;
    QTest::newRow("251 in 1.1 s, the last such window in a row") << 251 << 1100 << last << true << 0;
    QTest::newRow("251 in 1.1 s, first such window") << 251 << 1100 << 0 << false << 1;
    QTest::newRow("150 in 1.1 s ends the row") << 150 << 1100 << last << false << 0;
    QTest::newRow("403 in 2.5 s counts whole seconds") << 403 << 2500 << last << true << 0;
    QTest::newRow("401 in 2.5 s is 200 per second") << 401 << 2500 << last << false << 0;
}

void TestRequests::floodLimit()
{
    QFETCH(int, requests);
    QFETCH(int, elapsedMs);
    QFETCH(int, floodedBefore);
    QFETCH(bool, fires);
    QFETCH(int, floodedAfter);

    const QDateTime t0 = QDateTime::currentDateTime();
    m_plugin->floodLimiter = FloodLimiter(t0);
    m_plugin->floodLimiter.messageCount = requests - 1;
    m_plugin->floodLimiter.floodedWindows = floodedBefore;
    // The window closes only with a request made more than a second after it opened.
    QVERIFY(!FloodLimiter(t0).count(t0.addMSecs(1000)));

    QSignalSpy closes(m_plugin, &PluginNetConnection::disconnectWebSocketSignal);
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    m_plugin->floodLimiter.messageWindowStart = QDateTime::currentDateTime().addMSecs(-elapsedMs);
    m_plugin->makeRequest(QStringLiteral("getUserInfo"), QJsonObject());

    QCOMPARE(closes.count(), fires ? 1 : 0);
    QCOMPARE(sent.count(), 1); // the request that tripped the limit still goes out
    QCOMPARE(m_plugin->floodLimiter.messageCount, 0);
    QCOMPARE(m_plugin->floodLimiter.floodedWindows, floodedAfter);
}

void TestRequests::floodLimitNeedsWindowsInARow_data()
{
    // Phases one after the other: so many requests, spread evenly over so
    // many milliseconds.
    QTest::addColumn<QList<int>>("phases");
    QTest::addColumn<int>("disconnects");
    // Requests the queue lets out per second; 0: its backlog is not told.
    QTest::addColumn<int>("drain");

    QTest::newRow("runaway sender, 250 a second for 32 s") << QList<int>{8000, 32000} << 1 << 0;
    QTest::newRow("runaway sender, 250 a second for 63 s") << QList<int>{15750, 63000} << 2 << 0;
    QTest::newRow("250 a second for 25 s") << QList<int>{6250, 25000} << 0 << 0;
    QTest::newRow("runaway sender, the queue's backlog grows") << QList<int>{8000, 32000} << 1 << 150;
    QTest::newRow("250 a second, the queue keeps up") << QList<int>{8000, 32000} << 0 << 300;
    QTest::newRow("a projects list: 7500 at once, then 50 a second") << QList<int>{7500, 0, 500, 10000} << 0 << 0;
    QTest::newRow("100000 events in 2 s, then 30 a second") << QList<int>{100000, 2000, 300, 10000} << 0 << 0;
    QTest::newRow("bursts with a calm second between")
        << QList<int>{2000, 0, 30, 1500, 2000, 0, 30, 1500, 2000, 0, 30, 1500, 2000, 0, 30, 1500, 2000, 0, 30, 1500}
        << 0 << 0;
}

void TestRequests::floodLimitNeedsWindowsInARow()
{
    QFETCH(QList<int>, phases);
    QFETCH(int, disconnects);
    QFETCH(int, drain);

    const QDateTime t0 = QDateTime::currentDateTime();
    FloodLimiter limiter(t0);
    qint64 start = 0;
    qint64 asked = 0;
    int fired = 0;
    for (int p = 0; p + 1 < phases.size(); p += 2) {
        const int requests = phases.at(p);
        const int spreadMs = phases.at(p + 1);
        for (int i = 0; i < requests; ++i) {
            const qint64 at = start + qint64(i) * spreadMs / requests;
            const int waiting = drain > 0 ? int(qMax<qint64>(0, ++asked - drain * at / 1000)) : -1;
            fired += limiter.count(t0.addMSecs(at), waiting);
        }
        start += spreadMs;
    }
    QCOMPARE(fired, disconnects);
}

void TestRequests::burstLeavesPacedInOrder_data()
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

void TestRequests::burstLeavesPacedInOrder()
{
    QFETCH(QString, action);
    QFETCH(int, copiesSent);

    constexpr int budget = 4;
    RequestQueue* queue = m_plugin->requestQueue;
    queue->setBudget(budget);
    queue->setClock([this] { return m_now; });
    m_plugin->floodLimiter = FloodLimiter(QDateTime::currentDateTime());
    QStringList sent; // action, or the marker of a progress report
    QList<qint64> sentAt;
    QObject receiver;
    connect(m_plugin, &PluginNetConnection::webSocketMessageSignal, &receiver, [&](const QString& text) {
        const QJsonObject envelope = QJsonDocument::fromJson(text.toUtf8()).object();
        const QJsonValue marker = envelope.value("data").toObject().value("marker");
        sent << (marker.isUndefined() ? envelope.value("action").toString() : marker.toString());
        sentAt << m_now;
    });
    KiteProject job(m_settings.get(), QStringLiteral("shot"), QString());

    // The budget's worth leaves at once; then three copies of the request,
    // each followed by a progress report, wait.
    for (int i = 0; i < budget; ++i)
        m_plugin->makeRequest(QStringLiteral("getProgressInfos"), QJsonObject{{"id", QString::number(i)}});
    QCOMPARE(sent.size(), budget);
    for (const char* marker : {"M0", "M1", "M2"}) {
        m_plugin->makeRequest(action, QJsonObject{{"n", 1}}, &job);
        m_plugin->makeRequest(QStringLiteral("setUploadProgress"), QJsonObject{{"marker", marker}}, &job);
    }
    QCOMPARE(sent.size(), budget);
    QVERIFY(queue->drainTimer().isActive());
    QCOMPARE(queue->drainTimer().interval(), RequestQueue::windowMs);

    for (int step = 0; step < 10 && queue->waitingCount() > 0; ++step) {
        QVERIFY(queue->drainTimer().isActive());
        m_now += queue->drainTimer().interval();
        queue->drain();
    }
    QCOMPARE(queue->waitingCount(), 0);
    QVERIFY(!queue->drainTimer().isActive());
    const QStringList expected = copiesSent == 3 ? QStringList{action, "M0", action, "M1", action, "M2"}
                                                 : QStringList{action, "M0", "M1", "M2"};
    QCOMPARE(sent.mid(budget), expected);
    for (qint64 from : qAsConst(sentAt)) {
        const auto inWindow = std::count_if(sentAt.cbegin(), sentAt.cend(), [from](qint64 at) {
            return at >= from && at < from + RequestQueue::windowMs;
        });
        QVERIFY(inWindow <= budget);
    }
    // The flood limit counted what the queue took in, not the merged copies.
    QCOMPARE(m_plugin->floodLimiter.messageCount, sent.size());
}

void TestRequests::accountReadsAreNotAskedAgainWhileOnTheirWay_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("end");

    for (const char* action : {"getRenderpoints", "getUserInfo"}) {
        for (const char* end : {"answer", "lost connection", "new login", "no answer for two minutes"})
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(action, end))) << action << end;
    }
}

void TestRequests::accountReadsAreNotAskedAgainWhileOnTheirWay()
{
    QFETCH(QString, action);
    QFETCH(QString, end);

    disconnect(m_plugin, &PluginNetConnection::websocketLoginStatusSignal, nullptr, nullptr);
    m_plugin->requestQueue->setClock([this] { return m_now; });
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    const QJsonObject sync{{"custom", QJsonObject{{"info", "syncslot"}}}};
    m_plugin->makeRequest(action, QJsonObject{{"virtual", true}});
    m_plugin->makeRequest(action, QJsonObject{{"virtual", true}});
    m_plugin->makeRequest(action, sync);
    m_plugin->parseJsonMessageSlot(QStringLiteral(R"({"action":"getTeams","data":{}})"));
    m_now += 60000;
    m_plugin->makeRequest(action, sync);
    QCOMPARE(sent.count(), 1);

    if (end == QLatin1String("answer")) {
        m_plugin->parseJsonMessageSlot(QStringLiteral(R"({"action":"%1","data":{"result":5,"isTrial":false}})").arg(action));
    } else if (end == QLatin1String("lost connection")) {
        emit m_plugin->webSocketConnection->websocketTimeoutSignal();
    } else if (end == QLatin1String("new login")) {
        m_plugin->webSocketConnection->openedConnections += 1;
        m_plugin->parseJsonMessageSlot(QStringLiteral(R"({"action":"login","data":{"is_logged_in":true}})"));
    } else {
        m_now += RequestQueue::accountReadPatienceMs;
    }
    m_plugin->makeRequest(action, sync);
    QCOMPARE(actionsOf(sent, 0), (QStringList{action, action}));
}

void TestRequests::waitingRequestsGoOutAfterTheNextLogin()
{
    disconnect(m_plugin, &PluginNetConnection::websocketLoginStatusSignal, nullptr, nullptr);
    RequestQueue* queue = m_plugin->requestQueue;
    queue->setBudget(2);
    queue->setClock([this] { return m_now; });
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    auto report = [this](int n) {
        m_plugin->makeRequest(QStringLiteral("setDownloadProgress"), QJsonObject{{"n", n}});
    };
    for (int n = 0; n < 4; ++n)
        report(n);
    QCOMPARE(sent.count(), 2);

    // The connection is lost: the next request makes the first waiting one
    // go to the connection, which keeps it and opens the socket again; the
    // others wait for the login, however long.
    emit m_plugin->webSocketConnection->websocketFailedSignal();
    QVERIFY(!queue->drainTimer().isActive());
    m_now += 5000;
    report(4);
    QCOMPARE(sent.count(), 3);
    m_now += 5000;
    queue->drain();
    QCOMPARE(sent.count(), 3);

    m_plugin->webSocketConnection->openedConnections = 1;
    m_plugin->webSocketConnection->messageAfterLoginBuffer = sent.last().at(0).toString();
    m_plugin->parseJsonMessageSlot(QStringLiteral(R"({"action":"login","data":{"is_logged_in":true}})"));
    QTRY_COMPARE(sent.count(), 5);
    QList<int> order;
    for (const QList<QVariant>& message : qAsConst(sent))
        order << QJsonDocument::fromJson(message.at(0).toString().toUtf8()).object().value("data").toObject().value("n").toInt();
    QCOMPARE(order, (QList<int>{0, 1, 2, 3, 4}));
}

void TestRequests::mutedPingIsNotCounted()
{
    m_settings->pingRequestsMuted = true;
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    const int before = m_plugin->floodLimiter.messageCount;
    m_plugin->makeRequest(QStringLiteral("ping"), QJsonObject());
    QCOMPARE(sent.count(), 0);
    QCOMPARE(m_plugin->floodLimiter.messageCount, before);
}

void TestRequests::projectStatesGate()
{
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    m_plugin->makeRequest(QStringLiteral("getProjectStates"), QJsonObject());
    QCOMPARE(sent.count(), 1);
    QCOMPARE(lastSent(sent).value("data").toObject().value("client_type").toString(), QStringLiteral("kite"));
    QVERIFY(m_plugin->getProjectStatesRunning);
    QVERIFY(m_plugin->getProjectStatesTimer->isActive());
    QCOMPARE(m_plugin->getProjectStatesTimer->interval(), 120000);

    m_plugin->makeRequest(QStringLiteral("getProjectStates"), QJsonObject());
    QCOMPARE(sent.count(), 1);
    QVERIFY(m_plugin->getProjectsStatesRequestWhileRunning);
}

void TestRequests::projectStatesGuardTimerResends()
{
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    m_plugin->makeRequest(QStringLiteral("getProjectStates"), QJsonObject());
    m_plugin->makeRequest(QStringLiteral("getProjectStates"), QJsonObject());
    QCOMPARE(sent.count(), 1);

    // The answer never comes: the guard's slot (called here instead of
    // waiting two minutes) clears the gate and polls again.
    m_plugin->getProjectStatesTimerSlot();
    QCOMPARE(sent.count(), 2);
    const QJsonObject data = lastSent(sent).value("data").toObject();
    QCOMPARE(data.value("custom").toObject().value("info").toString(), QStringLiteral("timer"));
    QVERIFY(m_plugin->getProjectStatesRunning);
    QVERIFY(!m_plugin->getProjectsStatesRequestWhileRunning);
    QVERIFY(m_plugin->getProjectStatesTimer->isActive());
}

void TestRequests::syncInactiveHoldsProjectStates()
{
    m_settings->syncActive = false;
    m_plugin->getProjectStatesRunning = true;
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    m_plugin->makeRequest(QStringLiteral("getProjectStates"), QJsonObject());
    QCOMPARE(sent.count(), 0);
    QVERIFY(!m_plugin->getProjectStatesRunning);
}

void TestRequests::splitter_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("single object") << R"({"action":"login"})" << R"({"action":"login"})";
    QTest::newRow("ping then login") << R"({"action":"ping"}{"action":"login","data":{}})"
                                     << R"({"action":"login","data":{}})";
    QTest::newRow("brace inside a string") << R"({"a":"}{"}{"action":"b"})" << R"({"action":"b"})";
    QTest::newRow("escaped quote inside a string")
        << R"({"a":"x\"}{\""}{"action":"c"})" << R"({"action":"c"})";
    QTest::newRow("escaped backslash ends before the quote")
        << R"({"a":"x\\"}{"action":"d"})" << R"({"action":"d"})";
    QTest::newRow("nested objects stay whole") << R"({"a":{"b":{}}})" << R"({"a":{"b":{}}})";
}

void TestRequests::splitter()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(MessageSplitter::lastObject(text), expected);
}

void TestRequests::sendResultForUnknownJob_data()
{
    QTest::addColumn<QJsonObject>("data");
    QTest::addColumn<QJsonObject>("expected");

    QTest::newRow("deadline requester")
        << QJsonObject{{"scene", "Unknown"}}
        << QJsonObject{{"clientType", "deadline"}, {"result", "Received"}, {"error", false}, {"scene", "Unknown"}};
    QTest::newRow("control centre requester")
        << QJsonObject{{"scene", "U2"}, {"controlcenter_id", "cc-7"}}
        << QJsonObject{{"clientType", "controlcenter"}, {"controlcenter_id", "cc-7"}, {"clientId", "cc-7"},
                       {"result", "Received"}, {"error", false}, {"scene", "U2"}};
}

void TestRequests::sendResultForUnknownJob()
{
    QFETCH(QJsonObject, data);
    QFETCH(QJsonObject, expected);

    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    const QJsonObject message{{"action", "pauseUpload"}, {"data", data}};
    m_plugin->parseJsonMessageSlot(QString::fromUtf8(QJsonDocument(message).toJson()));

    QCOMPARE(sent.count(), 1);
    const QJsonObject envelope = lastSent(sent);
    QCOMPARE(envelope.value("action").toString(), QStringLiteral("sendResult"));
    QCOMPARE(envelope.value("id").toString(), QStringLiteral("orvel"));
    QCOMPARE(envelope.value("custom").toObject(),
             (QJsonObject{{"scene", data.value("scene")}, {"action", "pauseUpload"}}));
    QCOMPARE(envelope.value("data").toObject(), expected);
    QVERIFY(m_settings->jobList.isEmpty());
}

void TestRequests::getProjectFolderContentsRequest()
{
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    emit m_settings->getProjectFolderContentsSignal(2);
    QCOMPARE(sent.count(), 1);
    const QJsonObject data = lastSent(sent).value("data").toObject();
    QCOMPARE(data, (QJsonObject{{"size", true}, {"serverNumberUpload", 2}, {"custom", QJsonObject{{"serverNumberUpload", 2}}}}));
}

QTEST_MAIN(TestRequests)
#include "tst_requests.moc"

void TestRequests::unansweredRequestsAreAskedAgainOnANewConnection()
{
    // The connection's own reaction to a login (sending what it held) stays
    // out of this test: it would open a socket.
    disconnect(m_plugin, &PluginNetConnection::websocketLoginStatusSignal, nullptr, nullptr);
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    auto* shot = new KiteProject(m_settings.get(), QStringLiteral("shot"), QString(), m_settings.get());
    auto* other = new KiteProject(m_settings.get(), QStringLiteral("other"), QString(), m_settings.get());
    m_settings->jobList << shot << other;

    m_plugin->makeRequest(QStringLiteral("getOutputDir"), QJsonObject{{"size", true}}, shot);
    m_plugin->makeRequest(QStringLiteral("addjob"), QJsonObject{{"prio", 51}}, shot);
    m_plugin->makeRequest(QStringLiteral("checkFiles"), QJsonObject(), other);
    const QString held = sent.last().at(0).toString();
    m_plugin->makeRequest(QStringLiteral("getTexFolderContents"), QJsonObject(), other);
    m_plugin->makeRequest(QStringLiteral("getUserInfo"), QJsonObject()); // not kept
    m_plugin->parseJsonMessageSlot(QStringLiteral(
        R"({"action":"getTexFolderContents","custom":{"scene":"other"},"data":{"files":[]}})"));

    // A login on a new connection: the unanswered requests go out again, but
    // not the one the connection held and sends itself, and not "addjob"
    // before the projects list tells whether the farm took it.
    const QString login = QStringLiteral(R"({"action":"login","data":{"is_logged_in":true}})");
    m_plugin->webSocketConnection->openedConnections = 1;
    m_plugin->webSocketConnection->messageAfterLoginBuffer = held;
    int before = sent.count();
    m_plugin->parseJsonMessageSlot(login);
    QStringList again = actionsOf(sent, before);
    QCOMPARE(again.count(QStringLiteral("getOutputDir")), 1);
    QCOMPARE(again.count(QStringLiteral("checkFiles")), 0);
    QCOMPARE(again.count(QStringLiteral("getTexFolderContents")), 0);
    QCOMPARE(again.count(QStringLiteral("addjob")), 0);

    // The farm lists the job as not submitted: "addjob" once more.
    before = sent.count();
    m_plugin->parseJsonMessageSlot(QStringLiteral(
        R"({"action":"getProjectStates","data":{"projects":[{"name":"shot","id":"7","status":"RENDERABLE"}]}})"));
    QCOMPARE(actionsOf(sent, before).count(QStringLiteral("addjob")), 1);

    // A login answer repeated on the same connection asks for nothing again.
    before = sent.count();
    m_plugin->webSocketConnection->messageAfterLoginBuffer.clear();
    m_plugin->parseJsonMessageSlot(login);
    again = actionsOf(sent, before);
    QCOMPARE(again.count(QStringLiteral("getOutputDir")) + again.count(QStringLiteral("checkFiles")), 0);

    // Answered or deleted: nothing is kept.
    m_plugin->parseJsonMessageSlot(QStringLiteral(
        R"({"action":"getOutputDir","custom":{"scene":"shot"},"data":{"files":[],"folders":[]}})"));
    m_plugin->parseJsonMessageSlot(QStringLiteral(
        R"({"action":"addjob","custom":{"scene":"shot"},"data":{"id":"7"}})"));
    other->isDeleted = true;
    m_plugin->webSocketConnection->openedConnections = 2;
    before = sent.count();
    m_plugin->parseJsonMessageSlot(login);
    again = actionsOf(sent, before);
    for (const char* action : {"getOutputDir", "addjob", "checkFiles", "getTexFolderContents"})
        QVERIFY2(!again.contains(QLatin1String(action)), action);
}
