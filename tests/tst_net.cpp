#include "farmsimulator.h"
#include "loginkeeper.h"
#include "net/kitewebsocketconnection.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/clientfixture.h"
#include "support/messagecapture.h"
#include "support/testfiles.h"

#include <QDesktopServices>
#include <QSslCertificate>
#include <QSslConfiguration>
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
    return QString::fromUtf8(TestFiles::readFile(path));
}

// Lines as the client's text files hold them on this system.
QString text(const QString& lines)
{
    return QString::fromUtf8(TestFiles::textFile(lines.toUtf8()));
}

const char* const kSchemes[] = {"https", "http", "file", "javascript"};
} // namespace

// The client against the farm simulator over a real loopback WebSocket: what
// the farm receives, what the client writes and tells the host.
class TestNet : public QObject
{
    Q_OBJECT

    std::unique_ptr<ClientFixture> m_client;
    LinkCatcher m_links;
    QSslConfiguration m_defaultSsl;

    FarmSimulator& sim() { return m_client->simulator; }
    PluginNetConnection* plugin() { return m_client->plugin; }
    void addAccount(const QString& user, const QJsonObject& login = QJsonObject())
    {
        FarmAccount account;
        account.user = user;
        account.password = QStringLiteral("anna-pass-4711");
        account.renderPoints = 42.5;
        account.login = login;
        sim().accounts().insert(account);
    }
    bool startAndLogIn(const ClientFixture::Options& options = ClientFixture::Options())
    {
        if (!m_client->start(options))
            return false;
        QSignalSpy success(plugin(), &PluginNetConnection::loginSuccessSignal);
        plugin()->loginSlot(options.user, options.password);
        return success.wait(10000) && success.first().first().toInt() == 0;
    }
    QStringList actions() const
    {
        QStringList result;
        for (const FarmReceivedMessage& message : m_client->simulator.receivedMessages())
            result << message.action;
        return result;
    }

private slots:
    void init()
    {
        m_defaultSsl = QSslConfiguration::defaultConfiguration();
        m_client = std::make_unique<ClientFixture>();
        m_links.opened.clear();
        for (const char* scheme : kSchemes)
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &m_links, "open");
        addAccount("anna", QJsonObject{{"customFtpPass", "ftp-secret-0815"}});
    }

    void cleanup()
    {
        m_client.reset();
        QSslConfiguration::setDefaultConfiguration(m_defaultSsl);
        for (const char* scheme : kSchemes)
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    void loginAndHeldRequest_data()
    {
        QTest::addColumn<QString>("user");
        QTest::newRow("plain user name") << "anna";
        QTest::newRow("blanks, ampersand and percent reach the server whole") << "a b&c#d%20";
    }
    // Requests made while logged out open the socket; the login built when it
    // is up goes first, then only the latest held request.
    void loginAndHeldRequest()
    {
        QFETCH(QString, user);
        addAccount(user, QJsonObject{{"customFtpPass", "ftp-secret-0815"}});
        ClientFixture::Options options;
        options.user = user;
        QVERIFY(m_client->start(options));
        QSignalSpy success(plugin(), &PluginNetConnection::loginSuccessSignal);
        QSignalSpy status(plugin(), &PluginNetConnection::updateStatusInfoSignal);
        plugin()->makeRequest("getUserInfo", QJsonObject());
        plugin()->makeRequest("getRenderpoints", QJsonObject{{"virtual", true}});
        QVERIFY(success.wait(10000) && success.first().first().toInt() == 0);
        QVERIFY(status.wait(10000)); // the render-points answer: it left on a logged-in socket
        QCOMPARE(actions(), (QStringList{"login", "getRenderpoints"}));
        QCOMPARE(sim().receivedMessages().first().user, user);
        QVERIFY(m_client->settings->renderPoints == 42.5 && plugin()->webSocketConnection->messageAfterLoginBuffer.isEmpty());

        const QJsonObject envelope = sim().receivedMessages("login").first().object;
        QCOMPARE(envelope.keys(), (QStringList{"action", "data"}));
        KiteSettings* s = m_client->settings;
        const QJsonObject expected{{"user", user}, {"pass", "anna-pass-4711"}, {"client", "kite"}, {"getTeams", "getTeams"},
                                   {"customFtpPass", "1"}, {"kiteId", s->kiteId}, {"kiteHostname", s->kiteHostname},
                                   {"kiteOSName", QSysInfo::prettyProductName()}, {"kiteVersion", "1.2.321"},
                                   {"isBeta", "0"}, {"use30plugins", "0"}};
        QCOMPARE(envelope.value("data").toObject(), expected);
        QVERIFY(s->websocketLoggedIn);
        QCOMPARE(s->customFtpPass, QStringLiteral("ftp-secret-0815"));
        QVERIFY(plugin()->updateTimer.isActive() && plugin()->updateTimer.interval() == 10000);
    }

    void newSubdomainSavesAndReconnects()
    {
        QVERIFY(sim().setLoginOption("anna", "subdomainWss", "eu2"));
        ClientFixture::Options options;
        options.subdomain = "eu1";
        QVERIFY(m_client->start(options));
        QSignalSpy success(plugin(), &PluginNetConnection::loginSuccessSignal);
        plugin()->loginSlot(options.user, options.password);
        // The second login happens on the new host.
        QTRY_VERIFY_WITH_TIMEOUT(sim().receivedCount("login") >= 2 && m_client->settings->websocketLoggedIn, 10000);
        QCOMPARE(sim().receivedMessages("login").first().prefix + sim().receivedMessages("login").last().prefix, QStringLiteral("eu1eu2"));
        QCOMPARE(m_client->settings->serverWss, sim().serverUrl().toString() + "/eu2");
        QCOMPARE(QSettings(m_client->appDir() + "/settings.ini", QSettings::IniFormat).value("Network/subdomainWss"), QVariant("eu2"));
        // The same subdomain again does not reconnect.
        const int logins = sim().receivedCount("login");
        QSignalSpy reconnect(plugin(), &PluginNetConnection::reconnectWebSocketSignal);
        plugin()->loginSlot(options.user, options.password);
        QTRY_COMPARE(sim().receivedCount("login"), logins + 1);
        QTRY_VERIFY(success.count() >= 2);
        QCOMPARE(reconnect.count(), 0);
    }

    // The account options and teams of the login answer, the marker and team
    // files they leave in the projects folder, and render points bought.
    void accountOptionsTeamsAndRenderPoints()
    {
        const QJsonArray teams{
            QJsonObject{{"id", "7"}, {"name", "Studio North"}, {"approxrp", "0.0"}, {"rp_available", "480.0"}, {"active", true}},
            QJsonObject{{"id", "9"}, {"name", "Night, Shift"}, {"approxrp", "55.5"}, {"rp_available", "60"}, {"active", true}, {"trial", true}},
            QJsonObject{{"id", "11"}, {"name", "Archive"}, {"approxrp", "1.0"}, {"active", false}},
            QJsonObject{{"id", 12}, {"name", "Numbers"}, {"approxrp", 3}, {"active", true}}};
        const QJsonObject options{{"maxRunningDownloads", 3},          {"maxRunningUploads", "4"}, // a string is ignored
                                  {"uploadAllToDc2", true},            {"textureCacheEnabled", true},
                                  {"uploadToDc2Programs", "max;;c4d"}, {"uploadToDc2Renderers", "vray"},
                                  {"enableTeams", true},               {"teams", teams}};
        for (auto it = options.begin(); it != options.end(); ++it)
            QVERIFY(sim().setLoginOption("anna", it.key(), it.value()));
        QVERIFY(startAndLogIn());
        KiteSettings* s = m_client->settings;
        QVERIFY(s->maxRunningDownloads == 3 && s->maxRunningUploads == 2); // 2: unchanged default
        QVERIFY(s->uploadAllToDc2 && s->textureCacheEnabled && s->teamsEnabled && s->v40Enabled);
        QCOMPARE(s->uploadToDc2Programs + s->uploadToDc2Renderers, (QStringList{"max", "", "c4d", "vray"}));
        const QString folder = m_client->projectsFolder();
        QCOMPARE(readFile(folder + "/beta.txt"), text("1\n"));
        const QString accounts = text("7,Studio North,480.0\n9,Night, Shift,55.5\n,Numbers,\n");
        QCOMPARE(readFile(folder + "/anna/accounts.txt") + readFile(folder + "/accounts.txt"), accounts + accounts);
        QCOMPARE(readFile(folder + "/team_accounts.txt"),
                 text("7,Studio North,480.0,metered\n9,Night, Shift,55.5,trial\n,Numbers,,metered\n"));

        // Render points bought: asked for again (and the trial state), and the user is told.
        QVERIFY(sim().setTrial("anna", true) && sim().setRenderPoints("anna", 99.25));
        s->isTrial = true;
        QSignalSpy messages(plugin(), &PluginNetConnection::showMessageSignal);
        sim().pushToUser("anna", QJsonObject{{"action", "renderpointsBought"}, {"data", QJsonObject()}});
        QVERIFY(messages.wait(10000));
        QCOMPARE(messages.first().mid(0, 3), (QVariantList{"Render points bought", "Render points bought", "RenderPointsBought"}));
        QTRY_COMPARE(s->renderPoints, 99.25);
        QVERIFY(s->isPaid);
        QTRY_COMPARE(sim().receivedCount("getUserInfo"), 1);
        QVERIFY(sim().receivedMessages("getRenderpoints").last().object.value("data").toObject().value("virtual").toBool());

        // Teams switched off, the team list emptied: the marker and the team files go.
        QVERIFY(sim().setLoginOption("anna", "enableTeams", false) && sim().setLoginOption("anna", "teams", QJsonArray()));
        QSignalSpy success(plugin(), &PluginNetConnection::loginSuccessSignal);
        plugin()->loginSlot("anna", "anna-pass-4711");
        QVERIFY(success.wait(10000));
        QVERIFY(!QFile::exists(folder + "/beta.txt"));
        plugin()->makeRequest("getTeams", QJsonObject());
        QTRY_VERIFY(!QFile::exists(folder + "/team_accounts.txt"));
        QVERIFY(!QFile::exists(folder + "/accounts.txt") && !QFile::exists(folder + "/anna/accounts.txt"));
    }

    void floodLimitClosesTheConnection()
    {
        if (TestFiles::underWine())
            QSKIP("under Wine the farm sees the close before the request that tripped the limit; not yet explained");
        QVERIFY(startAndLogIn());
        QSignalSpy closed(&sim(), &FarmSimulator::connectionClosed);
        // 250 requests counted in a window that opened 1.1 s ago, after a row
        // of windows above the rate with a growing backlog: a runaway sender.
        FloodLimiter& limiter = plugin()->floodLimiter;
        limiter.messageCount = 250;
        limiter.messageWindowStart = QDateTime::currentDateTime().addMSecs(-1100);
        limiter.floodedWindows = FloodLimiter::defaultWindowsInARow - 1;
        limiter.waitingAtWindowStart = -1;
        plugin()->makeRequest("getUserInfo", QJsonObject());
        QVERIFY(closed.wait(10000));
        QCOMPARE(limiter.messageCount, 0);
        QCOMPARE(sim().receivedCount("getUserInfo"), 1); // the request that tripped the limit still went out
    }

    // Portal links open with a login token; nothing but web links reaches the
    // desktop, whatever the server echoes.
    void tokenLinks()
    {
        QVERIFY(startAndLogIn());
        const QString tail = "&kiteId=" + m_client->settings->kiteId + "&vkversion=1.2.321";
        int asked = 0;
        for (const char* link : {"https://my.example/page?tab=2", "https://my.example/page", "http-not-really:x"}) {
            plugin()->openLinkWithTokenSlot(link);
            ++asked;
            QTRY_COMPARE(sim().issuedTokens("anna").size(), asked);
            const QJsonObject request = sim().receivedMessages("getUserToken").last().object;
            QCOMPARE(request.value("custom").toObject(), (QJsonObject{{"linkUrl", link}}));
            QCOMPARE(request.value("data").toObject(), (QJsonObject{{"scene", ""}}));
            QTRY_COMPARE(m_links.opened.size(), qMin(2, asked));
        }
        const QStringList tokens = sim().issuedTokens("anna");
        QCOMPARE(m_links.opened.value(0).toString(), "https://my.example/page?tab=2&rl_token=" + tokens.value(0) + tail);
        QCOMPARE(m_links.opened.value(1).toString(), "https://my.example/page?rl_token=" + tokens.value(1) + tail);
        sim().pushToUser("anna", QJsonObject{{"action", "getUserToken"}, {"data", QJsonObject{{"token", "t"}}},
                                             {"custom", QJsonObject{{"linkUrl", "file:///etc/passwd"}}}});
        QTRY_COMPARE(m_client->logText().count(QLatin1String("link with token not opened")), 2);
        QCOMPARE(m_links.opened.size(), 2);
    }

    // A message larger than allowed closes the connection unread; the lost
    // login is reported and the next request logs in again by itself, during
    // the host's back-off, whose login then stays away.
    void droppedConnectionIsReportedAndLoggedInAgain()
    {
        QVERIFY(startAndLogIn());
        QString hostOut;
        QTextStream out(&hostOut);
        LoginKeeper keeper(plugin(), m_client->settings, out);
        keeper.setFirstRetryDelay(3000); // at most 3750 ms with its jitter, 5 % more on a coarse timer
        plugin()->webSocketConnection->setMaxIncomingMessageSize(4096);
        QSignalSpy timeout(plugin(), &PluginNetConnection::websocketTimeoutSignal);
        QSignalSpy parsed(plugin()->webSocketConnection, &KiteWebSocketConnection::parseJsonMessageSignal);
        sim().pushToUser("anna", QJsonObject{{"action", "getRenderpoints"}, {"data", QJsonObject{{"pad", QString(8000, 'x')}}}});
        QVERIFY(timeout.wait(10000));
        QTimer pastBackOff; // started after the keeper's back-off, it ends after its longest delay
        pastBackOff.setTimerType(Qt::PreciseTimer);
        QSignalSpy backOffOver(&pastBackOff, &QTimer::timeout);
        pastBackOff.start(4200);
        QCOMPARE(parsed.count(), 0);
        QVERIFY(m_client->logText().contains(QLatin1String("larger than 4096 bytes, connection closed")));
        QVERIFY(!m_client->settings->loggedIn && !m_client->settings->websocketLoggedIn);
        QSignalSpy success(plugin(), &PluginNetConnection::loginSuccessSignal);
        plugin()->makeRequest("getUserInfo", QJsonObject());
        QVERIFY(success.wait(10000) && hostOut.contains("connection lost") && !hostOut.contains("logging in as"));
        QTRY_COMPARE(sim().receivedCount("getUserInfo"), 1);
        QVERIFY(!backOffOver.isEmpty() || backOffOver.wait(10000));
        // One more request: whatever the client sent before it is on the farm.
        plugin()->makeRequest("getTeams", QJsonObject());
        QTRY_COMPARE(sim().receivedCount("getTeams"), 1);
        QCOMPARE(sim().receivedCount("login"), 2);
    }

    void secretsNeverReachLogOrDebugOutput()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("kite.*=true"));
        auto capture = std::make_unique<MessageCapture>();
        ClientFixture::Options options;
        options.logLevel = 99;
        const bool loggedIn = startAndLogIn(options);
        m_client->settings->websocketPingEnabled = false; // also the encoded request copies
        plugin()->openLinkWithTokenSlot("https://my.example/x");
        QTRY_COMPARE(m_links.opened.size(), 1);
        plugin()->loginSlot(options.user, options.password); // a login on the open socket
        QTRY_COMPARE(sim().receivedCount("login"), 2);
        QCoreApplication::processEvents();
        const QStringList debugOutput = capture->messages;
        capture.reset();
        QLoggingCategory::setFilterRules(QString());
        QVERIFY(loggedIn);
        const QString token = sim().issuedTokens("anna").value(0);
        const QString log = m_client->logText();
        QVERIFY(!token.isEmpty() && log.contains(QLatin1String("is logged in :-)")));
        QVERIFY(debugOutput.contains(QStringLiteral("Websocket connected, login 2"))); // the capture worked
        QString everything = log; // and every line again as decoded Base64 (the request copies)
        for (const QString& line : debugOutput)
            everything += '\n' + line + '\n' + QString::fromUtf8(QByteArray::fromBase64(line.toLatin1()));
        for (const QString& secret : {options.password, QStringLiteral("ftp-secret-0815"), token})
            QVERIFY2(!everything.contains(secret), qPrintable(secret));
    }

    void tlsNeedsATrustedCertificate()
    {
#ifndef KITE_TEST_TLS_DIR
        QSKIP("no openssl on the build machine to make the certificate");
#else
        const QString cert = QStringLiteral(KITE_TEST_TLS_DIR "/cert.pem"), key = QStringLiteral(KITE_TEST_TLS_DIR "/key.pem");
        QVERIFY(sim().loadTls(cert, key) && sim().listen());
        QVERIFY(sim().serverUrl().toString().startsWith(QLatin1String("wss://")));
        // Not trusted: the handshake fails and nothing reaches the server.
        QVERIFY(m_client->start(ClientFixture::Options()));
        QSignalSpy failed(plugin(), &PluginNetConnection::websocketFailedSignal);
        plugin()->loginSlot("anna", "anna-pass-4711");
        QVERIFY(failed.wait(10000));
        QCOMPARE(sim().receivedCount(), 0);
        // Trusted through the application-wide configuration: TLS 1.2 and a login.
        auto trusted = std::make_unique<ClientFixture>();
        trusted->simulator.accounts() = sim().accounts();
        QVERIFY(trusted->simulator.loadTls(cert, key));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(configuration.caCertificates() + QSslCertificate::fromPath(cert));
        QSslConfiguration::setDefaultConfiguration(configuration);
        QVERIFY(trusted->start(ClientFixture::Options()));
        QSignalSpy success(trusted->plugin, &PluginNetConnection::loginSuccessSignal);
        trusted->plugin->loginSlot("anna", "anna-pass-4711");
        QVERIFY(success.wait(10000) && success.first().first().toInt() == 0);
        QCOMPARE(trusted->plugin->webSocketConnection->webSocket.sslConfiguration().sessionProtocol(), QSsl::TlsV1_2);
        QCOMPARE(trusted->simulator.receivedCount("login"), 1);
#endif
    }
};

QTEST_MAIN(TestNet)
#include "tst_net.moc"
