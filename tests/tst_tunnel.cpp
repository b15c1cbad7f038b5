#include "platform/platformprocesses.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/settingsstore.h"
#include "support/clientfixture.h"
#include "support/messagecapture.h"
#include "support/offlineclient.h"
#include "tunnel/licensetunnel.h"
#include "tunnel/reversetunnelprocess.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
const QString tunnelSecret = QStringLiteral("tunnel-secret-4711");

QString readText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString stateLine(bool connected)
{
    return QStringLiteral("{\"connected\": %1,\"licenseCount\": 2,\"licenseLimit\": 4}")
        .arg(connected ? QStringLiteral("true") : QStringLiteral("false"));
}

QJsonObject sshInfo(const QJsonObject& data)
{
    return QJsonObject{{"action", "sshInfo"}, {"data", data}};
}

bool installClient(const QString& directory)
{
    QDir().mkpath(directory);
    const QString target = PlatformProcesses::sshClientPath(directory);
    QFile::remove(target);
    return QFile::copy(QStringLiteral(SSHSTANDIN_PATH), target)
        && QFile::setPermissions(target, QFile::permissions(QStringLiteral(SSHSTANDIN_PATH)));
}

// The tunnel's settings as a user with a licence server has them.
void configureLicence(KiteSettings* settings)
{
    settings->connectLicenseServer = true;
    settings->licenseServerArnold = settings->serverSshTunnel = QStringLiteral("127.0.0.1");
    settings->licensePort1 = 47001;
    settings->licensePort2 = 47002;
    settings->licensePort3 = 47003;
    settings->licensePort1local = 5053;
    settings->licensePort2local = 5054;
    settings->licensePort3local = 5055;
    settings->licenseCountArnold = 2;
    settings->licenseLimitArnold = 4;
    settings->customFtpPass = tunnelSecret;
}
} // namespace

// The licence tunnel with a stand-in SSH client, and the plug-in's "sshInfo" side, also through the farm.
class TestTunnel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void logsInAtThePrompt_data();
    void logsInAtThePrompt();
    void passwordHiddenAndPingAnswered();
    void unansweredPingReplacesTheClientAtOnce_data();
    void unansweredPingReplacesTheClientAtOnce();
    void endingClientRestartsWithGrowingDelays_data();
    void endingClientRestartsWithGrowingDelays();
    void stateFileWriteFailureIsLogged();
    void switchedOffDisconnectedAndEndedWithThePlugin();
    void sshInfoRequestAndLicenceFile_data();
    void sshInfoRequestAndLicenceFile();
    void sshInfoErrorsWaitLongerThenAskWithABox();
    void tunnelThroughTheFarmSimulator();
    void leftoverClientsOfThisDirectoryOnly();

private:
    ReverseTunnelProcess* makeTunnel()
    {
        m_tunnel = std::make_unique<ReverseTunnelProcess>(m_client->settings);
        return m_tunnel.get();
    }
    void setMode(const QString& mode, const QString& password = tunnelSecret)
    {
        qputenv("SSHSTANDIN_MODE", mode.toUtf8());
        qputenv("SSHSTANDIN_PASSWORD", password.toUtf8());
    }
    QString recordText() const { return readText(m_recordPath); }
    QString clientPath() const { return PlatformProcesses::sshClientPath(m_client->appDir()); }
    QString stateFile() const { return m_client->userFolder() + QStringLiteral("/tunnelstate.txt"); }
    int clientsRunning() const { return PlatformProcesses::processesRunningExecutable(clientPath()).size(); }
    bool clientRuns(qint64 pid) const
    {
        return PlatformProcesses::processesRunningExecutable(clientPath()).contains(pid);
    }
    std::unique_ptr<OfflineClient> m_client;
    std::unique_ptr<ReverseTunnelProcess> m_tunnel;
    QTemporaryDir m_recordDir;
    QString m_recordPath;
};

void TestTunnel::init()
{
    m_client = std::make_unique<OfflineClient>();
    configureLicence(m_client->settings);
    QVERIFY(installClient(m_client->appDir()));
    m_recordPath = m_recordDir.filePath(QStringLiteral("record-%1.txt").arg(QTest::currentTestFunction()));
    QFile::remove(m_recordPath);
    qputenv("SSHSTANDIN_RECORD", m_recordPath.toUtf8());
    setMode(QStringLiteral("normal"));
}

void TestTunnel::cleanup()
{
    if (m_tunnel)
        m_tunnel->disconnectTunnel();
    m_tunnel.reset();
    m_client.reset();
    for (const char* name : {"SSHSTANDIN_MODE", "SSHSTANDIN_PASSWORD", "SSHSTANDIN_RECORD"})
        qunsetenv(name);
}

void TestTunnel::logsInAtThePrompt_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("password"); // the one the client expects
    QTest::newRow("prompt, then greeting") << "normal" << tunnelSecret;
    QTest::newRow("prompt and greeting in one read") << "together" << tunnelSecret;
    QTest::newRow("wrong password: logged, the client ends") << "normal" << "another-password";
}

void TestTunnel::logsInAtThePrompt()
{
    QFETCH(QString, mode);
    QFETCH(QString, password);
    const bool ok = password == tunnelSecret;
    setMode(mode, password);
    MessageCapture capture;
    ReverseTunnelProcess* tunnel = makeTunnel();
    tunnel->reconnectTimeout = 600000; // a restart stays pending
    QSignalSpy connected(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal);
    tunnel->connectTunnel();
    QVERIFY(tunnel->isStarted());
    QCOMPARE(tunnel->pingTimer->interval(), 60000);
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(connected.first().first().toBool(), ok);
    QCOMPARE(m_client->settings->licenseTunnelConnected, ok);
    QCOMPARE(readText(stateFile()), stateLine(ok));
    QCOMPARE(tunnel->pingTimer->isActive(), ok);
    // The host key is pinned; the password goes to the prompt, never on the command line
    // (with prompt and greeting at once, the client may read it after the greeting was seen).
    QCOMPARE(tunnel->program(), m_client->appDir() + QLatin1Char('/') + PlatformProcesses::sshClientFileName());
    QTRY_VERIFY(recordText().startsWith(QStringLiteral(
        "args: -hostkey 3f:91:0c:7a:de:55:12:b8:6e:04:a9:c7:21:5d:e0:8b -R 47001:127.0.0.1:5053 "
        "-R 47002:127.0.0.1:5054 -R 47003:127.0.0.1:5055 -C -P 54222 -ssh anna@127.0.0.1\npassword ")
        + (ok ? "ok\n" : "wrong\n")));
    for (const QString& line : qAsConst(capture.messages))
        QVERIFY2(!line.contains(tunnelSecret), qPrintable(line));
    QVERIFY(!m_client->logText().contains(tunnelSecret));
    if (ok)
        return;
    QTRY_COMPARE(tunnel->reconnectCount, 1);
    QVERIFY(m_client->logText().contains(QStringLiteral("license error: FATAL ERROR: Access denied")));
    QVERIFY(tunnel->reconnectTimer->isActive());
    QCOMPARE(tunnel->reconnectTimer->interval(), 600000);
}

void TestTunnel::passwordHiddenAndPingAnswered()
{
    // A client that shows what it was typed, and whose prompt and greeting come in pieces.
    setMode(QStringLiteral("pieces"));
    MessageCapture capture(nullptr, true);
    ReverseTunnelProcess* tunnel = makeTunnel();
    QSignalSpy connected(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal);
    tunnel->connectTunnel();
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 20000);
    QTRY_VERIFY(m_client->logText().contains(QStringLiteral("license error: ERROR: typed ***")));
    QVERIFY(!m_client->logText().contains(tunnelSecret));
    for (const QString& line : qAsConst(capture.messages))
        QVERIFY2(!line.contains(tunnelSecret), qPrintable(line));
    // An answered ping changes nothing, and the greeting is not seen again.
    const qint64 pid = tunnel->process->processId();
    tunnel->sendPing();
    QCOMPARE(tunnel->pingTimeoutTimer->interval(), 3000);
    QVERIFY(tunnel->pingTimeoutTimer->isActive() && !tunnel->pongReceived);
    QTRY_VERIFY(tunnel->pongReceived);
    tunnel->pingTimeoutCheck();
    QVERIFY(tunnel->process->processId() == pid && tunnel->process->state() == QProcess::Running);
    QCOMPARE(tunnel->reconnectCount + connected.count(), 1);
}

void TestTunnel::unansweredPingReplacesTheClientAtOnce_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("logged in, no echo") << QStringLiteral("noecho");
    QTest::newRow("hanging, killed") << QStringLiteral("hang");
}

void TestTunnel::unansweredPingReplacesTheClientAtOnce()
{
    QFETCH(QString, mode);
    setMode(mode);
    const bool logsIn = mode == QLatin1String("noecho");
    ReverseTunnelProcess* tunnel = makeTunnel();
    tunnel->pingTimeoutMs = 20;
    tunnel->exitWaitMs = logsIn ? 2000 : 100; // a client that ends on "exit" has the usual time, however busy the machine
    QSignalSpy connected(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal);
    tunnel->connectTunnel();
    QTRY_COMPARE(connected.count(), logsIn ? 1 : 0);
    const qint64 pid = tunnel->process->processId();
    tunnel->sendPing();
    // 20 ms later: "exit" (or a kill), and a new client starts at once and logs in.
    QTRY_VERIFY(tunnel->process && tunnel->process->processId() != pid);
    QTRY_VERIFY(!clientRuns(pid));
    QTRY_COMPARE(connected.count(), logsIn ? 3 : 0);
    if (logsIn) {
        QCOMPARE(connected.at(1).first().toBool(), false);
        QCOMPARE(connected.at(2).first().toBool(), true);
        QVERIFY(recordText().contains(QStringLiteral("line: exit")));
        QCOMPARE(tunnel->reconnectCount, 1);
        QCOMPARE(readText(stateFile()), stateLine(true));
    }
    QCOMPARE(tunnel->process->state(), QProcess::Running);
    QCOMPARE(m_client->settings->licenseTunnelConnected, logsIn);
    // The start after the end is not made a second time.
    QVERIFY(!tunnel->reconnectTimer->isActive());
    QCOMPARE(clientsRunning(), 1);
}

void TestTunnel::endingClientRestartsWithGrowingDelays_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("logs in, then ends") << QStringLiteral("early");
    QTest::newRow("crashes at once") << QStringLiteral("crash");
}

void TestTunnel::endingClientRestartsWithGrowingDelays()
{
    QFETCH(QString, mode);
    setMode(mode);
    ReverseTunnelProcess* tunnel = makeTunnel();
    tunnel->backoffSteps = {{2, 20}, {4, 40}, {6, 80}};
    QList<int> delays;
    QStringList states;
    QObject listener; // the connections end with the test
    connect(tunnel->reconnectTimer, &QTimer::timeout, &listener,
            [&delays, tunnel] { delays << tunnel->reconnectTimer->interval(); });
    connect(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal, &listener,
            [this, &states](bool) { states << readText(stateFile()); });
    int heartbeats = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, &listener, [&heartbeats] { ++heartbeats; });
    heartbeat.start(5);
    tunnel->connectTunnel();
    QTRY_VERIFY_WITH_TIMEOUT(tunnel->reconnectCount >= 8, 30000);
    QCOMPARE(delays.mid(0, 7), (QList<int>{10, 10, 20, 20, 40, 40, 80}));
    // The usual steps: 10 ms at first; after the 5th end 10 s, the 10th 30 s, the 20th 60 s, the 30th 120 s.
    for (int end = 1; end <= 32; ++end) {
        QCOMPARE(ReverseTunnelProcess::backoffDelay(ReverseTunnelProcess::defaultBackoff(), end, 10),
                 end > 30 ? 120000 : end > 20 ? 60000 : end > 10 ? 30000 : end > 5 ? 10000 : 10);
    }
    // The event loop kept running between the starts.
    QVERIFY2(heartbeats >= 10, qPrintable(QString::number(heartbeats)));
    QVERIFY(clientsRunning() <= 1);
    // The state file follows every change.
    if (mode == QLatin1String("early"))
        QCOMPARE(states.mid(0, 4), (QStringList{stateLine(true), stateLine(false), stateLine(true), stateLine(false)}));
    else
        QVERIFY(!m_client->settings->licenseTunnelConnected);
}

void TestTunnel::stateFileWriteFailureIsLogged()
{
    ReverseTunnelProcess* tunnel = makeTunnel();
    QDir(m_client->userFolder()).removeRecursively();
    tunnel->writeTunnelState(true);
    QVERIFY(m_client->logText().contains(QStringLiteral("Could not open file ") + stateFile()));
    // A user name that would leave the projects folder gets no file at all.
    QVERIFY(QDir().mkpath(m_client->projectsFolder() + QStringLiteral("/../escape")));
    m_client->settings->username = QStringLiteral("../escape");
    tunnel->writeTunnelState(true);
    QVERIFY(!QFile::exists(m_client->projectsFolder() + QStringLiteral("/../escape/tunnelstate.txt")));
}

void TestTunnel::switchedOffDisconnectedAndEndedWithThePlugin()
{
    PluginNetConnection* plugin = m_client->plugin;
    QSignalSpy relayed(plugin, &PluginNetConnection::tunnelConnectedSignal);
    QSignalSpy disconnectAsked(plugin, &PluginNetConnection::disconnectLicenseTunnelSignal);
    const QString refusal = QStringLiteral("do not connect tunnel");
    // Switched off: nothing starts.
    m_client->settings->connectLicenseServer = false;
    plugin->connectLicenseTunnel();
    QVERIFY(!plugin->reverseTunnelProcess->isStarted() && !plugin->reverseTunnelProcess->process);
    QCOMPARE(m_client->logText().count(refusal), 1);
    QVERIFY(!QFile::exists(m_recordPath));
    m_client->settings->connectLicenseServer = true;
    plugin->connectLicenseTunnel();
    QTRY_COMPARE(relayed.count(), 1);
    QCOMPARE(relayed.first().first().toBool(), true);
    const qint64 pid = plugin->reverseTunnelProcess->process->processId();
    m_client->settings->connectLicenseServer = false;
    plugin->disconnectSlot();
    QCOMPARE(disconnectAsked.count(), 1);
    QCOMPARE(relayed.count(), 2);
    QCOMPARE(relayed.last().first().toBool(), false);
    QCOMPARE(readText(stateFile()), stateLine(false));
    QTRY_VERIFY(!clientRuns(pid));
    // The start after the end is refused as well.
    QTRY_COMPARE(m_client->logText().count(refusal), 2);
    QCOMPARE(plugin->reverseTunnelProcess->reconnectCount, 1);
    QCOMPARE(clientsRunning(), 0);
    QCOMPARE(recordText().count(QStringLiteral("args: ")), 1);
    plugin->disconnectLicenseTunnelSlot();
    QCOMPARE(disconnectAsked.count(), 2);
    // Switched on again through the interface, it starts; the client ends
    // with the plug-in.
    m_client->settings->connectLicenseServer = true;
    plugin->connectLicenseTunnel();
    QTRY_VERIFY(m_client->settings->licenseTunnelConnected);
    const qint64 second = plugin->reverseTunnelProcess->process->processId();
    delete m_client->plugin;
    m_client->plugin = nullptr;
    QVERIFY(!clientRuns(second));
    QVERIFY(!m_client->settings->licenseTunnelConnected);
    QCOMPARE(readText(stateFile()), stateLine(false));
}

void TestTunnel::sshInfoRequestAndLicenceFile_data()
{
    QTest::addColumn<bool>("configured");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("sentLimit");
    QTest::newRow("limit -1 becomes the count") << true << 3 << -1 << 3;
    QTest::newRow("limit kept") << true << 2 << 5 << 5;
    QTest::newRow("no licences") << true << 0 << -1 << 0;
    QTest::newRow("no licence server: nothing asked") << false << 2 << 5 << 5;
}

void TestTunnel::sshInfoRequestAndLicenceFile()
{
    QFETCH(bool, configured);
    QFETCH(int, count);
    QFETCH(int, limit);
    QFETCH(int, sentLimit);
    m_client->settings->connectLicenseServer = configured;
    m_client->settings->licenseCountArnold = count;
    m_client->settings->licenseLimitArnold = limit;
    m_client->plugin->loginSuccessSlot(0);
    const QList<QJsonObject> sent = m_client->sent(QStringLiteral("sshInfo"));
    const QString licenceFile = m_client->projectsFolder() + QStringLiteral("/license_arnold.txt");
    QCOMPARE(sent.size(), configured ? 1 : 0);
    QCOMPARE(QFile::exists(licenceFile), configured);
    if (!configured)
        return;
    QCOMPARE(sent.first().value("data").toObject(),
             (QJsonObject{{"localPort1", 5053}, {"localPort2", 5054}, {"localPort3", 5055},
                          {"serverHost", "127.0.0.1"}, {"licenseCount", count}, {"licenseLimit", sentLimit}}));
    QCOMPARE(m_client->settings->licenseLimitArnold, sentLimit);
    QCOMPARE(readText(licenceFile), QStringLiteral("%1\r\n%2\r\n").arg(count).arg(sentLimit));
}

void TestTunnel::sshInfoErrorsWaitLongerThenAskWithABox()
{
    LicenseTunnel* licence = m_client->plugin->licenseTunnel;
    const QJsonObject error = sshInfo(QJsonObject{{"Error", true}});
    for (int failure = 1; failure <= 10; ++failure) {
        m_client->receive(error);
        QCOMPARE(licence->retryTimer->interval(), failure * 1000);
        QVERIFY(licence->retryTimer->isActive());
        QVERIFY(!licence->licenseErrorBox);
        licence->retryTimer->start(0); // the wait runs out at once
        QTRY_COMPARE(m_client->sent(QStringLiteral("sshInfo")).size(), failure);
    }
    m_client->receive(error);
    QCOMPARE(licence->sshErrorCounter, 11);
    QVERIFY(!licence->retryTimer->isActive());
    QMessageBox* box = licence->licenseErrorBox;
    QVERIFY(box && box->isVisible() && !box->parent());
    QCOMPARE(box->text(), QStringLiteral("Could not connect license server."));
    QCOMPARE(box->icon(), QMessageBox::Warning);
    QCOMPARE(box->standardButtons(), QMessageBox::Retry | QMessageBox::Cancel);
    // Cancel only closes it; a later failure shows the same box again.
    box->button(QMessageBox::Cancel)->click();
    QVERIFY(!box->isVisible());
    m_client->receive(error);
    QCOMPARE(licence->licenseErrorBox.data(), box);
    QVERIFY(box->isVisible());
    QCOMPARE(m_client->sent(QStringLiteral("sshInfo")).size(), 10);
    // Retry starts over.
    box->button(QMessageBox::Retry)->click();
    QCOMPARE(licence->sshErrorCounter, 0);
    QCOMPARE(m_client->sent(QStringLiteral("sshInfo")).size(), 11);
}

void TestTunnel::tunnelThroughTheFarmSimulator()
{
    ClientFixture fixture;
    FarmAccount account;
    account.user = QStringLiteral("anna");
    account.password = QStringLiteral("anna-pass-4711");
    account.login = QJsonObject{{"customFtpPass", tunnelSecret}};
    fixture.simulator.accounts().insert(account);
    fixture.simulator.setSshInfoPorts(QStringLiteral("anna"), 49001, 49002, 49003);
    fixture.simulator.setSshInfoFailures(QStringLiteral("anna"), 1);
    QVERIFY(fixture.start(ClientFixture::Options()));
    QVERIFY(installClient(fixture.appDir()));
    configureLicence(fixture.settings);
    fixture.settings->customFtpPass.clear(); // comes with the login answer
    PluginNetConnection* plugin = fixture.plugin;
    plugin->licenseTunnel->retryStepMs = 10;
    QSignalSpy relayed(plugin, &PluginNetConnection::tunnelConnectedSignal);
    plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"));
    QVERIFY(relayed.wait(10000));
    QCOMPARE(relayed.first().first().toBool(), true);
    QCOMPARE(fixture.simulator.receivedCount(QStringLiteral("sshInfo")), 2);
    ReverseTunnelProcess* tunnel = plugin->reverseTunnelProcess;
    QVERIFY(tunnel && !tunnel->parent());
    QVERIFY(tunnel->arguments().contains(QStringLiteral("49002:127.0.0.1:5054")));
    QVERIFY(!fixture.logText().contains(tunnelSecret));
    // The ports are saved; a success leaves the error count alone.
    QCOMPARE(SettingsStore(fixture.appDir() + QStringLiteral("/settings.ini"))
                 .value(QStringLiteral("Settings/licensePort3")).toInt(), 49003);
    QCOMPARE(plugin->licenseTunnel->sshErrorCounter, 1);
    // Another answer neither makes a second tunnel nor starts it again.
    const qint64 pid = tunnel->process->processId();
    QCOMPARE(fixture.simulator.pushToUser(QStringLiteral("anna"),
                                           sshInfo({{"port1", "49101"}, {"port2", "49102"}, {"port3", "49103"}})),
             1);
    QTRY_COMPARE(fixture.settings->licensePort1, 49101);
    QCOMPARE(plugin->reverseTunnelProcess, tunnel);
    QCOMPARE(tunnel->process->processId(), pid);
}

// Elsewhere only the clients of this application directory are ended; on
// Windows "taskkill /im llinkorvk.exe /f" ends every client of that name.
void TestTunnel::leftoverClientsOfThisDirectoryOnly()
{
    QTemporaryDir base;
    const QString appDir = base.filePath(QStringLiteral("app"));
    QProcess ours, lookalike, elsewhere;
    for (QProcess* process : {&ours, &lookalike, &elsewhere}) {
        const QString dir = base.filePath(process == &ours ? "app" : process == &lookalike ? "app2" : "other");
        QVERIFY(installClient(dir));
        process->start(PlatformProcesses::sshClientPath(dir), {QStringLiteral("--standin-mode=hang")});
        QVERIFY(process->waitForStarted());
    }
    KiteSettings settings;
    settings.setApplicationDirectory(appDir);
    {
        ReverseTunnelProcess tunnel(&settings); // ends the leftovers of appDir
    }
    QTRY_COMPARE(ours.state(), QProcess::NotRunning);
#ifdef Q_OS_WIN
    QTRY_COMPARE(lookalike.state(), QProcess::NotRunning);
    QTRY_COMPARE(elsewhere.state(), QProcess::NotRunning);
#else
    QCOMPARE(ours.exitStatus(), QProcess::CrashExit);
    QCOMPARE(lookalike.state(), QProcess::Running);
    QCOMPARE(elsewhere.state(), QProcess::Running);
    lookalike.kill();
    elsewhere.kill();
    QVERIFY(lookalike.waitForFinished() && elsewhere.waitForFinished());
#endif
}

QTEST_MAIN(TestTunnel)
#include "tst_tunnel.moc"
