// The farm simulator as seen by a plain WebSocket client: login, account
// queries, recording, pushes, refusals, restart and wss://, the licence
// tunnel and maintenance answers, and the program's command line.
#include "farmaccounts.h"
#include "farmsimoptions.h"
#include "farmsimulator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <memory>

namespace {
const char* const kAccounts = R"({"accounts": [
  {"user": "alice", "password": "pw", "isTrial": true, "renderpoints": 42.5,
   "login": {"enableTeams": true, "subdomainWss": "eu1", "maxRunningDownloads": "3", "customFtpPass": "ftp",
             "teams": [{"id": "7", "name": "Team, A", "approxrp": "0.0", "rp_available": "12.5",
                        "active": true, "trial": false}],
             "extraFlag": {"nested": [1, 2]}}},
  {"user": "bob", "password": "pw", "login": {"isBlocked": true}},
  {"user": "a&b #c", "password": "pw"}]})";

QJsonObject loginData(const QString& user, const QString& pass)
{
    return {{"user", user}, {"pass", pass}, {"client", "kite"}, {"getTeams", "getTeams"}, {"customFtpPass", "1"}};
}

// A WebSocket client that keeps every text it receives.
class Client : public QObject
{
public:
    Client()
    {
        connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) { texts << text; });
    }
    bool open(const QUrl& url)
    {
        QSignalSpy connected(&socket, &QWebSocket::connected);
        socket.open(url);
        return connected.wait(10000);
    }
    void send(const QString& action, const QJsonObject& data, const QJsonValue& custom = QJsonValue::Undefined)
    {
        QJsonObject message{{"action", action}, {"data", data}};
        if (!custom.isUndefined())
            message.insert("custom", custom);
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }
    // Sends and returns the next message that arrives (empty after 5 s).
    QJsonObject request(const QString& action, const QJsonObject& data,
                        const QJsonValue& custom = QJsonValue::Undefined)
    {
        const int before = texts.size();
        send(action, data, custom);
        if (!QTest::qWaitFor([&] { return texts.size() > before; }, 5000))
            return {};
        return QJsonDocument::fromJson(texts.at(before).toUtf8()).object();
    }
    QWebSocket socket;
    QStringList texts;
};
} // namespace

class TstFarmSim : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { sim.reset(); }
    void loginAcceptedPassesOptionsThrough();
    void loginRefused_data();
    void loginRefused();
    void loginAsOtherUserClosesSocket();
    void accountQueriesEchoCustom();
    void userTokenIsRecorded();
    void requestsBeforeLoginAreNotAnswered();
    void unknownPathIsRefused();
    void recordsEveryMessageInOrder();
    void prefixAndEncodedUserName();
    void pushesAndCloseReachClient();
    void stopAndResumeListeningOnSamePort();
    void secureSocket();
    void programPrintsUrlAndStopsOnSigterm();
    void sshInfoPortsOrError();
    void autoupdateAndPluginConfig();
    void sendFileIsRecorded();
    void commandLine_data();
    void commandLine();

private:
    std::unique_ptr<FarmSimulator> sim;
};

void TstFarmSim::init()
{
    sim = std::make_unique<FarmSimulator>();
    FarmAccounts accounts;
    QString error;
    QVERIFY2(FarmAccounts::fromJson(kAccounts, accounts, &error), qPrintable(error));
    sim->setAccounts(accounts);
    QVERIFY2(sim->listen(QHostAddress::LocalHost, 0), qPrintable(sim->errorString()));
    QVERIFY(sim->serverPort() != 0);
}

void TstFarmSim::loginAcceptedPassesOptionsThrough()
{
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    const QJsonObject answer = client.request("login", loginData("alice", "pw"));
    QCOMPARE(answer.value("action").toString(), QString("login"));
    QVERIFY(!answer.contains("custom"));
    QJsonObject expected = sim->accounts().find("alice")->login;
    expected.insert("is_logged_in", true);
    QCOMPARE(answer.value("data").toObject(), expected);
    QCOMPARE(answer.value("data")["maxRunningDownloads"], QJsonValue("3")); // wrong type kept
    QVERIFY(sim->isLoggedIn("alice"));
}

void TstFarmSim::loginRefused_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("pass");
    QTest::addColumn<bool>("blocked");
    QTest::newRow("wrong password") << "alice" << "nope" << false;
    QTest::newRow("unknown user") << "carol" << "pw" << false;
    QTest::newRow("blocked") << "bob" << "pw" << true;
}

void TstFarmSim::loginRefused()
{
    QFETCH(QString, user);
    QFETCH(QString, pass);
    QFETCH(bool, blocked);
    Client client;
    QVERIFY(client.open(sim->socketUrl(user)));
    const QJsonObject answer = client.request("login", loginData(user, pass));
    QCOMPARE(answer.value("data").toObject(), (QJsonObject{{"is_logged_in", false}, {"isBlocked", blocked}}));
    QVERIFY(!sim->isLoggedIn(user));
}

void TstFarmSim::loginAsOtherUserClosesSocket()
{
    Client client;
    QSignalSpy disconnected(&client.socket, &QWebSocket::disconnected);
    QVERIFY(client.open(sim->socketUrl("alice")));
    const QJsonObject answer = client.request("login", loginData("bob", "pw"));
    QCOMPARE(answer.value("data")["is_logged_in"], QJsonValue(false));
    QTRY_COMPARE(disconnected.size(), 1);
    QCOMPARE(client.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
}

void TstFarmSim::accountQueriesEchoCustom()
{
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    client.request("login", loginData("alice", "pw"));
    const QJsonObject custom{{"scene", "A"}, {"action", "pauseUpload"}};
    QJsonObject answer = client.request("getRenderpoints", {{"virtual", true}}, custom);
    QCOMPARE(answer.value("action").toString(), QString("getRenderpoints"));
    QCOMPARE(answer.value("custom").toObject(), custom);
    QCOMPARE(answer.value("data")["result"].toDouble(), 42.5);
    QCOMPARE(client.request("getUserInfo", {}).value("data").toObject(),
             (QJsonObject{{"isTrial", true}, {"username", "alice"}}));
    QCOMPARE(client.request("getTeams", {}).value("data")["teams"].toArray(),
             sim->accounts().find("alice")->teams());

    QVERIFY(sim->setRenderPoints("alice", -1));
    QVERIFY(sim->setTrial("alice", false));
    QCOMPARE(client.request("getRenderpoints", {}).value("data")["result"].toDouble(), -1.0);
    QCOMPARE(client.request("getUserInfo", {}).value("data")["isTrial"], QJsonValue(false));
}

void TstFarmSim::userTokenIsRecorded()
{
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    client.request("login", loginData("alice", "pw"));
    const QJsonObject custom{{"linkUrl", "http://127.0.0.1/portal?x=1"}};
    const QJsonObject answer = client.request("getUserToken", {{"scene", ""}}, custom);
    QCOMPARE(answer.value("custom").toObject(), custom);
    const QString token = answer.value("data")["token"].toString();
    QVERIFY(token.size() >= 16);
    QCOMPARE(sim->issuedTokens("alice"), QStringList{token});
    QCOMPARE(sim->userForToken(token), QString("alice"));
}

void TstFarmSim::requestsBeforeLoginAreNotAnswered()
{
    Client client;
    QSignalSpy received(sim.get(), &FarmSimulator::messageReceived);
    QVERIFY(client.open(sim->socketUrl("alice")));
    client.send("getUserInfo", {});
    QVERIFY(received.wait(5000));
    QCOMPARE(received.at(0).at(2).toString(), QString("getUserInfo"));
    // Answers keep request order, so the first answer is the login's.
    QCOMPARE(client.request("login", loginData("alice", "pw")).value("action").toString(), QString("login"));
    QCOMPARE(client.texts.size(), 1);
}

void TstFarmSim::unknownPathIsRefused()
{
    QSignalSpy refused(sim.get(), &FarmSimulator::connectionRefused);
    QUrl url = sim->socketUrl("alice");
    url.setPath("/queue/other");
    Client client;
    QSignalSpy disconnected(&client.socket, &QWebSocket::disconnected);
    client.socket.open(url);
    QVERIFY(disconnected.wait(5000));
    QCOMPARE(refused.size(), 1);
    QCOMPARE(refused.at(0).at(0).toString(), QString("/queue/other"));
    QCOMPARE(sim->connectionCount(), 0);
}

void TstFarmSim::recordsEveryMessageInOrder()
{
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    client.request("login", loginData("alice", "pw"));
    client.send("ping", {});
    client.send("sendResult", {{"result", "Received"}});
    client.socket.sendTextMessage("{\"action\":");
    QTRY_COMPARE(sim->receivedCount(), 4);
    const QVector<FarmReceivedMessage> messages = sim->receivedMessages();
    QStringList actions;
    for (const FarmReceivedMessage& message : messages)
        actions << message.action;
    QCOMPARE(actions, (QStringList{"login", "ping", "sendResult", ""}));
    QCOMPARE(messages.at(2).object.value("data")["result"].toString(), QString("Received"));
    QCOMPARE(messages.at(3).text, QString("{\"action\":"));
    QVERIFY(!messages.at(3).isValid);
    QCOMPARE(messages.at(1).user, QString("alice"));
    QCOMPARE(messages.at(1).path, QString("/queue/socket"));
    QVERIFY(messages.at(0).time <= messages.at(3).time);
    QCOMPARE(sim->receivedMessages("ping").size(), 1);
}

void TstFarmSim::prefixAndEncodedUserName()
{
    QSignalSpy opened(sim.get(), &FarmSimulator::connectionOpened);
    Client client;
    // Built the way the client builds it: template base + encoded name.
    const QString base = sim->serverUrl().toString() + "/eu1";
    const QUrl url(base + "/queue/socket?username=" + QUrl::toPercentEncoding("a&b #c"), QUrl::TolerantMode);
    QVERIFY(client.open(url));
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened.at(0).at(1).toString(), QString("a&b #c"));
    QCOMPARE(opened.at(0).at(2).toString(), QString("eu1"));
    QCOMPARE(client.request("login", loginData("a&b #c", "pw")).value("data")["is_logged_in"], QJsonValue(true));
    QCOMPARE(sim->receivedMessages().at(0).prefix, QString("eu1"));
    QCOMPARE(sim->connectionPrefixes("a&b #c"), QStringList{"eu1"});
}

void TstFarmSim::pushesAndCloseReachClient()
{
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    client.request("login", loginData("alice", "pw"));
    QCOMPARE(sim->pushToUser("alice", {{"action", "renderpointsBought"}}), 1);
    QCOMPARE(sim->pushRawToUser("alice", "{\"action\":\"getRend"), 1);
    QTRY_COMPARE(client.texts.size(), 3);
    QCOMPARE(client.texts.at(1), QString("{\"action\":\"renderpointsBought\"}"));
    QCOMPARE(client.texts.at(2), QString("{\"action\":\"getRend"));
    QCOMPARE(sim->pushToUser("bob", {{"action", "x"}}), 0);

    QSignalSpy closed(sim.get(), &FarmSimulator::connectionClosed);
    QCOMPARE(sim->closeUserConnections("alice", QWebSocketProtocol::CloseCodeGoingAway, "bye"), 1);
    QTRY_COMPARE(client.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(client.socket.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
    QCOMPARE(client.socket.closeReason(), QString("bye"));
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(sim->connectionCount(), 0);
}

void TstFarmSim::stopAndResumeListeningOnSamePort()
{
    const quint16 port = sim->serverPort();
    sim->stopListening();
    QVERIFY(!sim->isListening());
    Client refused;
    QSignalSpy failed(&refused.socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
    refused.socket.open(sim->socketUrl("alice"));
    QVERIFY(failed.wait(5000));
    QVERIFY(sim->resumeListening());
    QCOMPARE(sim->serverPort(), port);
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    QCOMPARE(client.request("login", loginData("alice", "pw")).value("data")["is_logged_in"], QJsonValue(true));
}

void TstFarmSim::secureSocket()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString cert = dir.filePath("cert.pem");
    const QString key = dir.filePath("key.pem");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                              "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert});
    if (!openssl.waitForStarted())
        QSKIP("openssl is not installed");
    QVERIFY(openssl.waitForFinished(60000));
    QVERIFY2(openssl.exitCode() == 0, openssl.readAll().constData());

    sim = std::make_unique<FarmSimulator>();
    sim->setAccounts(FarmAccounts());
    FarmAccount alice;
    alice.user = "alice";
    alice.password = "pw";
    sim->accounts().insert(alice);
    QString error;
    QVERIFY2(sim->loadTls(cert, key, &error), qPrintable(error));
    QVERIFY(sim->listen());
    QCOMPARE(sim->serverUrl().scheme(), QString("wss"));

    Client client;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(tls.caCertificates() + QSslCertificate::fromPath(cert));
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    client.socket.setSslConfiguration(tls);
    QVERIFY(client.open(sim->socketUrl("alice")));
    QCOMPARE(client.request("login", loginData("alice", "pw")).value("data")["is_logged_in"], QJsonValue(true));
}

void TstFarmSim::programPrintsUrlAndStopsOnSigterm()
{
    const QString program = QCoreApplication::applicationDirPath() + "/farmsim";
    if (!QFileInfo::exists(program))
        QSKIP("farmsim is not built next to the test");
    QTemporaryDir dir;
    QFile accounts(dir.filePath("accounts.json"));
    QVERIFY(accounts.open(QIODevice::WriteOnly));
    accounts.write(kAccounts);
    accounts.close();

    QProcess refused;
    refused.start(program, {"--listen", "0.0.0.0:0", "--accounts", accounts.fileName()});
    QVERIFY(refused.waitForFinished(10000));
    QVERIFY(refused.exitCode() != 0);

    QProcess farmsim;
    farmsim.start(program, {"--listen", "127.0.0.1:0", "--accounts", accounts.fileName(), "--projects", "5"});
    QTRY_VERIFY_WITH_TIMEOUT(farmsim.canReadLine(), 10000);
    const QString line = QString::fromUtf8(farmsim.readLine()).trimmed();
    QVERIFY2(QRegularExpression("^listening on ws://127\\.0\\.0\\.1:\\d+$").match(line).hasMatch(), qPrintable(line));
    Client client;
    QVERIFY(client.open(QUrl(line.mid(13) + "/queue/socket?username=alice")));
    QCOMPARE(client.request("login", loginData("alice", "pw")).value("data")["is_logged_in"], QJsonValue(true));
    // Every account has the projects --projects asked for.
    const QJsonArray projects = client.request("getProjectStates", {}).value("data")["projects"].toArray();
    QCOMPARE(projects.size(), 5);
    QCOMPARE(projects.at(4).toObject().value("name"), QJsonValue("project00005"));
    farmsim.terminate();
    QVERIFY(farmsim.waitForFinished(10000));
    QCOMPARE(farmsim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(farmsim.exitCode(), 0);
    QVERIFY(farmsim.readAllStandardOutput().isEmpty());
}

void TstFarmSim::sshInfoPortsOrError()
{
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    client.request("login", loginData("alice", "pw"));
    const QJsonObject request{{"localPort1", 5053}, {"localPort2", 5054}, {"localPort3", 5055},
                              {"serverHost", "licence.local"}, {"licenseCount", 2}, {"licenseLimit", 2}};
    QCOMPARE(client.request("sshInfo", request).value("data").toObject(),
             (QJsonObject{{"port1", "47001"}, {"port2", "47002"}, {"port3", "47003"}}));
    sim->setSshInfoFailures("alice", 2);
    sim->setSshInfoPorts("alice", 50001, 50002, 50003);
    QCOMPARE(client.request("sshInfo", request).value("data").toObject(), (QJsonObject{{"Error", true}}));
    QCOMPARE(client.request("sshInfo", request).value("data").toObject(), (QJsonObject{{"Error", true}}));
    QCOMPARE(client.request("sshInfo", request).value("data").toObject(),
             (QJsonObject{{"port1", "50001"}, {"port2", "50002"}, {"port3", "50003"}}));
    sim->setSshInfoFailures("alice", -1);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(client.request("sshInfo", request).value("data")["Error"], QJsonValue(true));
    QCOMPARE(sim->receivedMessages("sshInfo").at(0).object.value("data").toObject(), request);
}

void TstFarmSim::autoupdateAndPluginConfig()
{
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    client.request("login", loginData("alice", "pw"));
    QCOMPARE(client.request("autoupdate", {{"custom", "autoupdate"}}).value("data").toObject(),
             (QJsonObject{{"content", QJsonObject{{"version", "1.0"}, {"build", 0}, {"files", QJsonArray()}}}}));
    const QJsonObject content{{"version", "1.2"}, {"build", 7}, {"files", QJsonArray{"KiteClient.exe:1234"}}};
    sim->setAutoupdateContent(content);
    QCOMPARE(client.request("autoupdate", {{"custom", "autoupdate"}}).value("data")["content"].toObject(), content);

    sim->setPluginConfig("max", 5, "[plugins]\r\nvray=1\r\n");
    QCOMPARE(client.request("getPluginConfig", {{"program", "max"}}).value("data").toObject(),
             (QJsonObject{{"program", "max"}, {"version", 5}, {"content", "[plugins]\r\nvray=1\r\n"}}));
    QCOMPARE(client.request("getPluginConfig", {{"program", "c4d"}}).value("data").toObject(),
             (QJsonObject{{"program", "c4d"}, {"version", 0}, {"content", ""}}));
}

void TstFarmSim::sendFileIsRecorded()
{
    Client client;
    QVERIFY(client.open(sim->socketUrl("alice")));
    client.request("login", loginData("alice", "pw"));
    QSignalSpy received(sim.get(), &FarmSimulator::fileReceived);
    const QString content = QString::fromUtf8("file date: Mon Jan 1 10:00:00 2024\nline \xc3\xa4\n");
    client.send("sendFile", {{"filename", "logFile.log"}, {"content", content}});
    client.send("sendFile", {{"filename", "../settings.ini"}, {"content", ""}});
    QTRY_COMPARE(received.size(), 2);
    QCOMPARE(received.at(0), (QVariantList{"alice", "logFile.log"}));
    const QVector<FarmReceivedFile> files = sim->receivedFiles("alice");
    QCOMPARE(files.size(), 2);
    QCOMPARE(files.at(0).fileName, QString("logFile.log"));
    QCOMPARE(files.at(0).content, content.toUtf8());
    QCOMPARE(files.at(0).size(), qint64(content.toUtf8().size()));
    QCOMPARE(files.at(1).fileName, QString("../settings.ini"));
    QCOMPARE(files.at(1).size(), qint64(0));
    QVERIFY(sim->receivedFiles("bob").isEmpty());
    // Not answered.
    QCOMPARE(client.request("getRenderpoints", {}).value("action").toString(), QString("getRenderpoints"));
    QCOMPARE(client.texts.size(), 2);
}

void TstFarmSim::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("storage");
    QTest::addColumn<int>("paceMs");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("projects");
    const QStringList base{"farmsim", "--accounts", "a.json"};
    QTest::newRow("defaults") << base << true << "" << 500 << 4 << 0;
    QTest::newRow("all") << base + QStringList{"--storage", "/tmp/farm", "--pace-ms", "0", "--frames", "12",
                                               "--projects", "5000"}
                         << true << "/tmp/farm" << 0 << 12 << 5000;
    QTest::newRow("negative pace") << base + QStringList{"--pace-ms", "-5"} << false << "" << 500 << 4 << 0;
    QTest::newRow("frames not a number") << base + QStringList{"--frames", "many"} << false << "" << 500 << 4 << 0;
    QTest::newRow("negative projects") << base + QStringList{"--projects", "-1"} << false << "" << 500 << 4 << 0;
    QTest::newRow("no accounts") << QStringList{"farmsim", "--storage", "/tmp/farm"} << false << "" << 500 << 4 << 0;
}

void TstFarmSim::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, ok);
    FarmSimOptions options;
    QString error;
    QCOMPARE(FarmSimOptions::parse(arguments, options, error), ok);
    QCOMPARE(error.isEmpty(), ok);
    if (!ok)
        return;
    QTEST(options.storageDir, "storage");
    QTEST(options.paceMs, "paceMs");
    QTEST(options.frames, "frames");
    QTEST(options.projects, "projects");
}

QTEST_GUILESS_MAIN(TstFarmSim)
#include "tst_farmsim.moc"
