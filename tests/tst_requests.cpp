#include "jobs/kiteproject.h"
#include "net/floodlimiter.h"
#include "net/kitewebsocketconnection.h"
#include "net/messagesplitter.h"
#include "net/requestenvelope.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Requests as they leave the plug-in: envelope, routing, flood limit and the
// project-state gate, observed on webSocketMessageSignal.
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
    QTest::addColumn<bool>("fires");

    QTest::newRow("251 in 1.1 s") << 251 << 1100 << true;
    QTest::newRow("150 in 1.1 s") << 150 << 1100 << false;
    QTest::newRow("403 in 2.5 s counts whole seconds") << 403 << 2500 << true;
    QTest::newRow("401 in 2.5 s is 200 per second") << 401 << 2500 << false;
}

void TestRequests::floodLimit()
{
    QFETCH(int, requests);
    QFETCH(int, elapsedMs);
    QFETCH(bool, fires);

    const QDateTime t0 = QDateTime::currentDateTime();
    m_plugin->floodLimiter = FloodLimiter(t0);
    m_plugin->floodLimiter.messageCount = requests - 1;
    // The window closes only with a request made more than a second after it opened.
    QVERIFY(!FloodLimiter(t0).count(t0.addMSecs(1000)));

    QSignalSpy closes(m_plugin, &PluginNetConnection::disconnectWebSocketSignal);
    QSignalSpy sent(m_plugin, &PluginNetConnection::webSocketMessageSignal);
    m_plugin->floodLimiter.messageWindowStart = QDateTime::currentDateTime().addMSecs(-elapsedMs);
    m_plugin->makeRequest(QStringLiteral("getUserInfo"), QJsonObject());

    QCOMPARE(closes.count(), fires ? 1 : 0);
    QCOMPARE(sent.count(), 1); // the request that tripped the limit still goes out
    QCOMPARE(m_plugin->floodLimiter.messageCount, 0);
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
