#include "farmsimulator.h"
#include "jobs/kiteproject.h"
#include "net/kitewebsocketconnection.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/clientfixture.h"
#include "support/messagecapture.h"

#include <QDesktopServices>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <memory>

namespace {
// Receives the links the client hands to the desktop.
class LinkCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("<missing>");
}
} // namespace

// The client against the farm simulator over a real loopback WebSocket.
class TestServerConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loginMessageCarriesTheAccountData();
    void heldRequestLeavesOnlyAfterTheLogin();
    void onlyTheLatestHeldRequestSurvives();
    void refusedAndBlockedLogins_data();
    void refusedAndBlockedLogins();
    void userNameReachesTheServerWhole();
    void newSubdomainSavesAndReconnects();
    void accountOptionsAreApplied();
    void floodLimitClosesTheConnection();
    void projectStatesGateOverTheSocket();
    void concatenatedObjectsUseTheLast();
    void teamFilesWritten();
    void emptyTeamListRemovesTeamFiles();
    void renderPointsAndPurchase();
    void tokenLinks_data();
    void tokenLinks();
    void oversizedMessageClosesTheConnection();
    void lostLoginIsReported();
    void secretsNeverReachLogOrDebugOutput();
    void tlsNeedsATrustedCertificate();

private:
    void addAccount(const QString& user, const QString& password, const QJsonObject& login = QJsonObject());
    bool startAndLogIn(const ClientFixture::Options& options = ClientFixture::Options());
    static QStringList actions(const FarmSimulator& sim);

    std::unique_ptr<ClientFixture> m_client;
    LinkCatcher m_links;
    QSslConfiguration m_defaultSsl;
};

void TestServerConnection::init()
{
    m_defaultSsl = QSslConfiguration::defaultConfiguration();
    m_client = std::make_unique<ClientFixture>();
    m_links.opened.clear();
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_links, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_links, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_links, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("javascript"), &m_links, "open");
    addAccount(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"),
               QJsonObject{{"customFtpPass", "ftp-secret-0815"}});
}

void TestServerConnection::cleanup()
{
    m_client.reset();
    QSslConfiguration::setDefaultConfiguration(m_defaultSsl);
    for (const char* scheme : {"https", "http", "file", "javascript"})
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

void TestServerConnection::addAccount(const QString& user, const QString& password, const QJsonObject& login)
{
    FarmAccount account;
    account.user = user;
    account.password = password;
    account.renderPoints = 42.5;
    account.login = login;
    m_client->simulator.accounts().insert(account);
}

bool TestServerConnection::startAndLogIn(const ClientFixture::Options& options)
{
    if (!m_client->start(options))
        return false;
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->loginSlot(options.user, options.password);
    return success.wait(10000) && success.first().first().toInt() == 0;
}

QStringList TestServerConnection::actions(const FarmSimulator& sim)
{
    QStringList result;
    for (const FarmReceivedMessage& message : sim.receivedMessages())
        result << message.action;
    return result;
}

void TestServerConnection::loginMessageCarriesTheAccountData()
{
    QVERIFY(startAndLogIn());
    const QVector<FarmReceivedMessage> logins = m_client->simulator.receivedMessages(QStringLiteral("login"));
    QCOMPARE(logins.size(), 1);
    const QJsonObject envelope = logins.first().object;
    QCOMPARE(envelope.keys(), (QStringList{"action", "data"}));
    const QJsonObject data = envelope.value("data").toObject();
    const QStringList members{"client",       "customFtpPass", "getTeams",   "isBeta",       "kiteHostname", "kiteId",
                              "kiteOSName",   "kiteVersion",   "pass",       "use30plugins", "user"};
    QCOMPARE(data.keys(), members);
    QCOMPARE(data.value("user").toString(), QStringLiteral("anna"));
    QCOMPARE(data.value("pass").toString(), QStringLiteral("anna-pass-4711"));
    QCOMPARE(data.value("client").toString(), QStringLiteral("kite"));
    QCOMPARE(data.value("getTeams").toString(), QStringLiteral("getTeams"));
    QCOMPARE(data.value("customFtpPass").toString(), QStringLiteral("1"));
    QCOMPARE(data.value("kiteId").toString(), m_client->settings->kiteId);
    QCOMPARE(data.value("kiteHostname").toString(), m_client->settings->kiteHostname);
    QCOMPARE(data.value("kiteOSName").toString(), QSysInfo::prettyProductName());
    QCOMPARE(data.value("kiteVersion").toString(), QStringLiteral("1.2.321"));
    QCOMPARE(data.value("isBeta").toString(), QStringLiteral("0"));
    QCOMPARE(data.value("use30plugins").toString(), QStringLiteral("0"));

    QVERIFY(m_client->settings->websocketLoggedIn);
    QCOMPARE(m_client->settings->customFtpPass, QStringLiteral("ftp-secret-0815"));
    QVERIFY(m_client->plugin->updateTimer.isActive());
    QCOMPARE(m_client->plugin->updateTimer.interval(), 10000);
}

void TestServerConnection::heldRequestLeavesOnlyAfterTheLogin()
{
    QVERIFY(m_client->start(ClientFixture::Options()));
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->makeRequest(QStringLiteral("getUserInfo"), QJsonObject());
    QVERIFY(success.wait(10000));
    QTRY_COMPARE(actions(m_client->simulator), (QStringList{"login", "getUserInfo"}));
    // The server answered it, so it arrived on a logged-in socket.
    QTRY_VERIFY(m_client->simulator.receivedCount(QStringLiteral("getUserInfo")) == 1);
    QVERIFY(m_client->plugin->webSocketConnection->messageAfterLoginBuffer.isEmpty());
}

void TestServerConnection::onlyTheLatestHeldRequestSurvives()
{
    QVERIFY(m_client->start(ClientFixture::Options()));
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    QSignalSpy status(m_client->plugin, &PluginNetConnection::updateStatusInfoSignal);
    m_client->plugin->makeRequest(QStringLiteral("getUserInfo"), QJsonObject());
    m_client->plugin->makeRequest(QStringLiteral("getRenderpoints"), QJsonObject{{"virtual", true}});
    QVERIFY(success.wait(10000));
    QVERIFY(status.wait(10000)); // the render-points answer
    QCOMPARE(actions(m_client->simulator), (QStringList{"login", "getRenderpoints"}));
    QCOMPARE(m_client->settings->renderPoints, 42.5);
}

void TestServerConnection::refusedAndBlockedLogins_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("blocked");
    QTest::addColumn<QList<int>>("statuses");

    QTest::newRow("wrong password") << "nope" << false << QList<int>{1};
    QTest::newRow("blocked account") << "anna-pass-4711" << true << QList<int>{};
}

void TestServerConnection::refusedAndBlockedLogins()
{
    QFETCH(QString, password);
    QFETCH(bool, blocked);
    QFETCH(QList<int>, statuses);

    if (blocked)
        QVERIFY(m_client->simulator.setLoginOption(QStringLiteral("anna"), QStringLiteral("isBlocked"), true));
    ClientFixture::Options options;
    options.password = password;
    QVERIFY(m_client->start(options));
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    QSignalSpy closed(&m_client->simulator, &FarmSimulator::connectionClosed);
    QSignalSpy failed(m_client->plugin, &PluginNetConnection::websocketFailedSignal);

    m_client->plugin->loginSlot(options.user, options.password);

    QVERIFY(closed.wait(10000)); // the client closes the socket
    QTRY_COMPARE(failed.count(), 1);
    QList<int> seen;
    for (const QList<QVariant>& args : qAsConst(success))
        seen << args.first().toInt();
    QCOMPARE(seen, statuses);
    QVERIFY(!m_client->settings->websocketLoggedIn);
}

void TestServerConnection::userNameReachesTheServerWhole()
{
    const QString user = QStringLiteral("a b&c#d%20");
    addAccount(user, QStringLiteral("pw"));
    ClientFixture::Options options;
    options.user = user;
    options.password = QStringLiteral("pw");
    QVERIFY(startAndLogIn(options));
    QCOMPARE(m_client->simulator.receivedMessages().first().user, user);
}

void TestServerConnection::newSubdomainSavesAndReconnects()
{
    QVERIFY(m_client->simulator.setLoginOption(QStringLiteral("anna"), QStringLiteral("subdomainWss"), QStringLiteral("eu2")));
    ClientFixture::Options options;
    options.subdomain = QStringLiteral("eu1");
    QVERIFY(m_client->start(options));
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->loginSlot(options.user, options.password);

    // The second login happens on the new host.
    QTRY_VERIFY_WITH_TIMEOUT(m_client->simulator.connectionPrefixes(QStringLiteral("anna")).contains(QStringLiteral("eu2")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_client->simulator.receivedCount(QStringLiteral("login")) >= 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_client->settings->websocketLoggedIn, 10000);
    const QVector<FarmReceivedMessage> logins = m_client->simulator.receivedMessages(QStringLiteral("login"));
    QCOMPARE(logins.first().prefix, QStringLiteral("eu1"));
    QCOMPARE(logins.last().prefix, QStringLiteral("eu2"));
    QCOMPARE(m_client->settings->serverWss, m_client->simulator.serverUrl().toString() + QStringLiteral("/eu2"));
    QSettings ini(m_client->appDir() + QStringLiteral("/settings.ini"), QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Network/subdomainWss")).toString(), QStringLiteral("eu2"));

    // The same subdomain again does not reconnect.
    const int logins2 = m_client->simulator.receivedCount(QStringLiteral("login"));
    QSignalSpy reconnect(m_client->plugin, &PluginNetConnection::reconnectWebSocketSignal);
    m_client->plugin->loginSlot(options.user, options.password);
    QTRY_COMPARE(m_client->simulator.receivedCount(QStringLiteral("login")), logins2 + 1);
    QTRY_VERIFY(success.count() >= 2);
    QCOMPARE(reconnect.count(), 0);
}

void TestServerConnection::accountOptionsAreApplied()
{
    const QJsonObject options{
        {"maxRunningDownloads", 3},      {"maxRunningUploads", "4"}, // a string is ignored
        {"uploadAllToDc2", true},        {"textureCacheEnabled", true},
        {"uploadToDc2Programs", "max;;c4d"}, {"uploadToDc2Renderers", "vray"},
        {"enableTeams", true},           {"customFtpPass", "ftp-secret-0815"},
    };
    for (auto it = options.begin(); it != options.end(); ++it)
        QVERIFY(m_client->simulator.setLoginOption(QStringLiteral("anna"), it.key(), it.value()));
    QVERIFY(startAndLogIn());
    KiteSettings* s = m_client->settings;
    QCOMPARE(s->maxRunningDownloads, 3);
    QCOMPARE(s->maxRunningUploads, 2); // unchanged default
    QVERIFY(s->uploadAllToDc2);
    QVERIFY(s->textureCacheEnabled);
    QCOMPARE(s->uploadToDc2Programs, (QStringList{"max", "", "c4d"}));
    QCOMPARE(s->uploadToDc2Renderers, QStringList{"vray"});
    QVERIFY(s->teamsEnabled && s->v40Enabled);
    QCOMPARE(readFile(m_client->projectsFolder() + QStringLiteral("/beta.txt")), QStringLiteral("1\n"));
    QVERIFY(!s->syncActive || s->loggedIn); // cleared by the answer, set again by the host

    // Teams switched off again: the marker goes.
    QVERIFY(m_client->simulator.setLoginOption(QStringLiteral("anna"), QStringLiteral("enableTeams"), false));
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"));
    QVERIFY(success.wait(10000));
    QVERIFY(!QFile::exists(m_client->projectsFolder() + QStringLiteral("/beta.txt")));
}

void TestServerConnection::floodLimitClosesTheConnection()
{
    QVERIFY(startAndLogIn());
    QSignalSpy closed(&m_client->simulator, &FarmSimulator::connectionClosed);
    // 250 requests counted in a window that opened 1.1 s ago, after four
    // windows in a row above the rate.
    m_client->plugin->floodLimiter.messageCount = 250;
    m_client->plugin->floodLimiter.messageWindowStart = QDateTime::currentDateTime().addMSecs(-1100);
    m_client->plugin->floodLimiter.floodedWindows = FloodLimiter::defaultWindowsInARow - 1;
    m_client->plugin->floodLimiter.waitingAtWindowStart = -1; // the backlog grew
    m_client->plugin->makeRequest(QStringLiteral("getUserInfo"), QJsonObject());
    QVERIFY(closed.wait(10000));
    QCOMPARE(m_client->plugin->floodLimiter.messageCount, 0);
}

void TestServerConnection::projectStatesGateOverTheSocket()
{
    QVERIFY(startAndLogIn());
    m_client->settings->syncActive = true;
    m_client->plugin->makeRequest(QStringLiteral("getProjectStates"), QJsonObject());
    m_client->plugin->makeRequest(QStringLiteral("getProjectStates"), QJsonObject());
    m_client->plugin->makeRequest(QStringLiteral("getProjectStates"), QJsonObject());
    QVERIFY(m_client->plugin->getProjectsStatesRequestWhileRunning);

    // The two held back collapse into one request after the answer.
    QTRY_COMPARE(m_client->simulator.receivedCount(QStringLiteral("getProjectStates")), 2);
    QTRY_VERIFY(!m_client->plugin->getProjectStatesRunning);
    auto infoOf = [](const FarmReceivedMessage& message) {
        return message.object.value("data").toObject().value("custom").toObject().value("info").toString();
    };
    const QVector<FarmReceivedMessage> polls = m_client->simulator.receivedMessages(QStringLiteral("getProjectStates"));
    QCOMPARE(infoOf(polls.last()), QStringLiteral("whilerunning"));
    QCOMPARE(polls.last().object.value("data").toObject().value("client_type").toString(), QStringLiteral("kite"));

    // An answer that never comes: the guard's slot polls again.
    m_client->plugin->getProjectStatesRunning = true;
    m_client->plugin->getProjectStatesTimerSlot();
    QTRY_COMPARE(m_client->simulator.receivedCount(QStringLiteral("getProjectStates")), 3);
    QCOMPARE(infoOf(m_client->simulator.receivedMessages(QStringLiteral("getProjectStates")).last()),
             QStringLiteral("timer"));
}

void TestServerConnection::concatenatedObjectsUseTheLast()
{
    QVERIFY(startAndLogIn());
    QSignalSpy status(m_client->plugin, &PluginNetConnection::updateStatusInfoSignal);
    m_client->simulator.pushRawToUser(
        QStringLiteral("anna"),
        QStringLiteral(R"({"action":"getRenderpoints","data":{"result":7,"note":"\"}{"}}{"action":"getRenderpoints","data":{"result":-1}})"));
    QVERIFY(status.wait(10000));
    QCOMPARE(status.count(), 1);
    QCOMPARE(m_client->settings->renderPoints, -1.0);
    QVERIFY(!m_client->settings->isPaid);
}

void TestServerConnection::teamFilesWritten()
{
    const QJsonArray teams{
        QJsonObject{{"id", "7"}, {"name", "Studio North"}, {"approxrp", "0.0"}, {"rp_available", "480.0"}, {"active", true}},
        QJsonObject{{"id", "9"}, {"name", "Night, Shift"}, {"approxrp", "55.5"}, {"rp_available", "60"}, {"active", true}, {"trial", true}},
        QJsonObject{{"id", "11"}, {"name", "Archive"}, {"approxrp", "1.0"}, {"active", false}},
        QJsonObject{{"id", 12}, {"name", "Numbers"}, {"approxrp", 3}, {"active", true}},
    };
    QVERIFY(m_client->simulator.setLoginOption(QStringLiteral("anna"), QStringLiteral("teams"), teams));
    QVERIFY(startAndLogIn());
    const QString accounts = QStringLiteral("7,Studio North,480.0\n9,Night, Shift,55.5\n,Numbers,\n");
    QCOMPARE(readFile(m_client->projectsFolder() + QStringLiteral("/anna/accounts.txt")), accounts);
    QCOMPARE(readFile(m_client->projectsFolder() + QStringLiteral("/accounts.txt")), accounts);
    QCOMPARE(readFile(m_client->projectsFolder() + QStringLiteral("/team_accounts.txt")),
             QStringLiteral("7,Studio North,480.0,metered\n9,Night, Shift,55.5,trial\n,Numbers,,metered\n"));
}

void TestServerConnection::emptyTeamListRemovesTeamFiles()
{
    QVERIFY(startAndLogIn());
    const QString folder = m_client->projectsFolder();
    QVERIFY(QDir().mkpath(folder + "/anna"));
    for (const QString& file : {folder + "/anna/accounts.txt", folder + "/accounts.txt", folder + "/team_accounts.txt"}) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    m_client->plugin->makeRequest(QStringLiteral("getTeams"), QJsonObject());
    QTRY_VERIFY(!QFile::exists(folder + "/team_accounts.txt"));
    QVERIFY(!QFile::exists(folder + "/accounts.txt"));
    QVERIFY(!QFile::exists(folder + "/anna/accounts.txt"));
}

void TestServerConnection::renderPointsAndPurchase()
{
    QVERIFY(startAndLogIn());
    QVERIFY(m_client->simulator.setTrial(QStringLiteral("anna"), true));
    m_client->settings->isTrial = true;
    QVERIFY(m_client->simulator.setRenderPoints(QStringLiteral("anna"), 99.25));
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    m_client->simulator.pushToUser(QStringLiteral("anna"), QJsonObject{{"action", "renderpointsBought"}, {"data", QJsonObject()}});
    QVERIFY(messages.wait(10000));
    QCOMPARE(messages.first().at(2).toString(), QStringLiteral("RenderPointsBought"));
    QTRY_COMPARE(m_client->settings->renderPoints, 99.25);
    QVERIFY(m_client->settings->isPaid);
    QTRY_COMPARE(m_client->simulator.receivedCount(QStringLiteral("getUserInfo")), 1);
    const QJsonObject request = m_client->simulator.receivedMessages(QStringLiteral("getRenderpoints")).last().object;
    QCOMPARE(request.value("data").toObject().value("virtual").toBool(), true);
}

void TestServerConnection::tokenLinks_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("expectedStart");

    QTest::newRow("link with a query") << "https://my.example/page?tab=2" << "https://my.example/page?tab=2&rl_token=";
    QTest::newRow("link without a query") << "https://my.example/page" << "https://my.example/page?rl_token=";
    QTest::newRow("other schemes are refused") << "http-not-really:x" << QString();
}

void TestServerConnection::tokenLinks()
{
    QFETCH(QString, link);
    QFETCH(QString, expectedStart);

    QVERIFY(startAndLogIn());
    QSignalSpy received(&m_client->simulator, &FarmSimulator::messageReceived);
    m_client->plugin->openLinkWithTokenSlot(link);
    QTRY_COMPARE(m_client->simulator.receivedCount(QStringLiteral("getUserToken")), 1);
    const QJsonObject request = m_client->simulator.receivedMessages(QStringLiteral("getUserToken")).first().object;
    QCOMPARE(request.value("custom").toObject(), (QJsonObject{{"linkUrl", link}}));
    QCOMPARE(request.value("data").toObject(), (QJsonObject{{"scene", ""}}));

    const QString token = m_client->simulator.issuedTokens(QStringLiteral("anna")).value(0);
    QVERIFY(!token.isEmpty());
    if (expectedStart.isEmpty()) {
        // Nothing but web links reaches the desktop, whatever the server echoes.
        m_client->simulator.pushToUser(QStringLiteral("anna"),
                                       QJsonObject{{"action", "getUserToken"}, {"data", QJsonObject{{"token", "t"}}},
                                                   {"custom", QJsonObject{{"linkUrl", "file:///etc/passwd"}}}});
        QTRY_VERIFY(m_client->logText().contains(QLatin1String("link with token not opened")));
        QVERIFY(m_links.opened.isEmpty());
        return;
    }
    QTRY_COMPARE(m_links.opened.size(), 1);
    const QString opened = m_links.opened.first().toString();
    const QString expected = expectedStart + token + QStringLiteral("&kiteId=") + m_client->settings->kiteId
        + QStringLiteral("&vkversion=1.2.321");
    QCOMPARE(opened, expected);
}

void TestServerConnection::oversizedMessageClosesTheConnection()
{
    QVERIFY(startAndLogIn());
    m_client->plugin->webSocketConnection->setMaxIncomingMessageSize(4096);
    QSignalSpy closed(&m_client->simulator, &FarmSimulator::connectionClosed);
    QSignalSpy parsed(m_client->plugin->webSocketConnection, &KiteWebSocketConnection::parseJsonMessageSignal);
    const QString big = QStringLiteral(R"({"action":"getRenderpoints","data":{"pad":")") + QString(8000, QLatin1Char('x'))
        + QStringLiteral(R"("}})");
    m_client->simulator.pushRawToUser(QStringLiteral("anna"), big);
    QVERIFY(closed.wait(10000));
    QCOMPARE(parsed.count(), 0);
    QTRY_VERIFY(m_client->logText().contains(QLatin1String("larger than 4096 bytes, connection closed")));
}

void TestServerConnection::lostLoginIsReported()
{
    QVERIFY(startAndLogIn());
    QSignalSpy timeout(m_client->plugin, &PluginNetConnection::websocketTimeoutSignal);
    m_client->simulator.closeUserConnections(QStringLiteral("anna"));
    QVERIFY(timeout.wait(10000));
    QVERIFY(!m_client->settings->loggedIn);
    QVERIFY(!m_client->settings->websocketLoggedIn);

    // The next request opens the socket and logs in again by itself.
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->makeRequest(QStringLiteral("getUserInfo"), QJsonObject());
    QVERIFY(success.wait(10000));
    QTRY_COMPARE(m_client->simulator.receivedCount(QStringLiteral("getUserInfo")), 1);
}

void TestServerConnection::secretsNeverReachLogOrDebugOutput()
{
    QLoggingCategory::setFilterRules(QStringLiteral("kite.*=true"));
    auto capture = std::make_unique<MessageCapture>();

    ClientFixture::Options options;
    options.logLevel = 99;
    const bool loggedIn = startAndLogIn(options);
    m_client->settings->websocketPingEnabled = false; // also the encoded request copies
    m_client->plugin->openLinkWithTokenSlot(QStringLiteral("https://my.example/x"));
    QTRY_COMPARE(m_links.opened.size(), 1);
    m_client->plugin->loginSlot(options.user, options.password); // a login on the open socket
    QTRY_COMPARE(m_client->simulator.receivedCount(QStringLiteral("login")), 2);
    QCoreApplication::processEvents();

    const QStringList debugOutput = capture->messages;
    capture.reset();
    QLoggingCategory::setFilterRules(QString());
    QVERIFY(loggedIn);

    const QString token = m_client->simulator.issuedTokens(QStringLiteral("anna")).value(0);
    QVERIFY(!token.isEmpty());
    const QString everything = m_client->logText() + debugOutput.join(QLatin1Char('\n'));
    QVERIFY(m_client->logText().contains(QLatin1String("is logged in :-)")));
    QVERIFY(debugOutput.contains(QStringLiteral("Websocket connected, login 2"))); // the capture worked
    for (const QString& secret : {options.password, QStringLiteral("ftp-secret-0815"), token}) {
        QVERIFY2(!everything.contains(secret), qPrintable(secret));
        QVERIFY(!everything.contains(QString::fromLatin1(secret.toUtf8().toBase64())));
    }
}

void TestServerConnection::tlsNeedsATrustedCertificate()
{
    QTemporaryDir certs;
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                   "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", certs.filePath("key.pem"), "-out",
                   certs.filePath("cert.pem")});
    QVERIFY(openssl.waitForFinished(60000));
    QCOMPARE(openssl.exitCode(), 0);
    QString error;
    QVERIFY2(m_client->simulator.loadTls(certs.filePath("cert.pem"), certs.filePath("key.pem"), &error), qPrintable(error));
    QVERIFY(m_client->simulator.listen());
    QVERIFY(m_client->simulator.serverUrl().toString().startsWith(QLatin1String("wss://")));

    // Not trusted: the handshake fails and nothing reaches the server.
    {
        QVERIFY(m_client->start(ClientFixture::Options()));
        QSignalSpy failed(m_client->plugin, &PluginNetConnection::websocketFailedSignal);
        m_client->plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"));
        QVERIFY(failed.wait(10000));
        QCOMPARE(m_client->simulator.receivedCount(), 0);
    }

    // Trusted through the application-wide configuration: TLS 1.2 and a login.
    auto trusted = std::make_unique<ClientFixture>();
    trusted->simulator.accounts() = m_client->simulator.accounts();
    QVERIFY(trusted->simulator.loadTls(certs.filePath("cert.pem"), certs.filePath("key.pem"), &error));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(configuration.caCertificates()
                                    + QSslCertificate::fromPath(certs.filePath("cert.pem")));
    QSslConfiguration::setDefaultConfiguration(configuration);
    QVERIFY(trusted->start(ClientFixture::Options()));
    QSignalSpy success(trusted->plugin, &PluginNetConnection::loginSuccessSignal);
    trusted->plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"));
    QVERIFY(success.wait(10000));
    QCOMPARE(success.first().first().toInt(), 0);
    QCOMPARE(trusted->plugin->webSocketConnection->webSocket.sslConfiguration().sessionProtocol(), QSsl::TlsV1_2);
    QCOMPARE(trusted->simulator.receivedCount(QStringLiteral("login")), 1);
}

QTEST_MAIN(TestServerConnection)
#include "tst_serverconnection.moc"
