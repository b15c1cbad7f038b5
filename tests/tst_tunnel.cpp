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
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
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

QJsonObject sshInfoMessage(const QJsonObject& data)
{
    return QJsonObject{{"action", "sshInfo"}, {"data", data}};
}

bool installClient(const QString& directory)
{
    QDir().mkpath(directory);
    const QString target = PlatformProcesses::sshClientPath(directory);
    return QFile::copy(QStringLiteral(SSHSTANDIN_PATH), target)
        && QFile::setPermissions(target, QFile::permissions(QStringLiteral(SSHSTANDIN_PATH)));
}

// The tunnel's settings as a user with a licence server has them.
void configureLicence(KiteSettings* settings)
{
    settings->connectLicenseServer = true;
    settings->licenseServerArnold = QStringLiteral("127.0.0.1");
    settings->licensePort1 = 47001;
    settings->licensePort2 = 47002;
    settings->licensePort3 = 47003;
    settings->licensePort1local = 5053;
    settings->licensePort2local = 5054;
    settings->licensePort3local = 5055;
    settings->licenseCountArnold = 2;
    settings->licenseLimitArnold = 4;
    settings->serverSshTunnel = QStringLiteral("127.0.0.1");
    settings->customFtpPass = tunnelSecret;
}
} // namespace

// The licence tunnel through a real SSH-client stand-in: the client process,
// its prompt, the echo ping, restarts and their delays, the state and licence
// files; the plug-in's "sshInfo" side; and the ending of leftover clients.
class TestTunnel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandLineOfTheClient();
    void connectsAfterThePrompt_data();
    void connectsAfterThePrompt();
    void wrongPasswordIsLoggedAndEndsTheClient();
    void answeredPingChangesNothing();
    void unansweredPingRestartsAtOnce();
    void hangingClientIsKilledAndReplaced();
    void backoffDelays_data();
    void backoffDelays();
    void endsWaitLongerAndLonger();
    void crashLoopBacksOffWithoutStallingTheLoop();
    void earlyExitRestartsAndTheStateFileFollows();
    void switchedOffStartsNothing();
    void switchedOffAlsoStopsTheDelayedStart();
    void stateFileWriteFailureIsLogged();

    void disconnectSlotDropsTheTunnel();
    void destroyingThePluginEndsTheClient();
    void sshInfoRequestAndLicenceFile_data();
    void sshInfoRequestAndLicenceFile();
    void loginAsksForTunnelOnlyWhenConfigured();
    void sshInfoErrorsWaitLongerThenAsk();
    void retryBoxRetryAndCancel();
    void sshInfoPortsAreStoredAndConnect();
    void tunnelThroughTheFarmSimulator();

    void leftoverClientsOfThisDirectoryOnly();

private:
    ReverseTunnelProcess* makeTunnel();
    void setMode(const QString& mode, const QString& password = tunnelSecret);
    QString recordText() const { return readText(m_recordPath); }
    QString clientPath() const { return PlatformProcesses::sshClientPath(m_client->appDir()); }
    QString stateFile() const { return m_client->userFolder() + QStringLiteral("/tunnelstate.txt"); }
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
    qunsetenv("SSHSTANDIN_MODE");
    qunsetenv("SSHSTANDIN_PASSWORD");
    qunsetenv("SSHSTANDIN_RECORD");
}

ReverseTunnelProcess* TestTunnel::makeTunnel()
{
    m_tunnel = std::make_unique<ReverseTunnelProcess>(m_client->settings);
    return m_tunnel.get();
}

void TestTunnel::setMode(const QString& mode, const QString& password)
{
    qputenv("SSHSTANDIN_MODE", mode.toUtf8());
    qputenv("SSHSTANDIN_PASSWORD", password.toUtf8());
}

void TestTunnel::commandLineOfTheClient()
{
    ReverseTunnelProcess* tunnel = makeTunnel();
    QCOMPARE(tunnel->program(), m_client->appDir() + QStringLiteral("/llinkorvk"));
    const QStringList expected{
        "-hostkey", "3f:91:0c:7a:de:55:12:b8:6e:04:a9:c7:21:5d:e0:8b",
        "-R", "47001:127.0.0.1:5053",
        "-R", "47002:127.0.0.1:5054",
        "-R", "47003:127.0.0.1:5055",
        "-C", "-P", "54222", "-ssh", "anna@127.0.0.1",
    };
    QCOMPARE(tunnel->arguments(), expected);
    QVERIFY(!tunnel->arguments().join(' ').contains(tunnelSecret));
    QVERIFY(!tunnel->isStarted());
    QCOMPARE(tunnel->pingIntervalMs, 60000);
    QCOMPARE(tunnel->pingTimeoutMs, 3000);
    QCOMPARE(tunnel->reconnectTimeout, 10);
}

void TestTunnel::connectsAfterThePrompt_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("prompt, then greeting") << QStringLiteral("normal");
    QTest::newRow("prompt and greeting in one read") << QStringLiteral("together");
}

void TestTunnel::connectsAfterThePrompt()
{
    QFETCH(QString, mode);
    setMode(mode);
    MessageCapture capture;
    ReverseTunnelProcess* tunnel = makeTunnel();
    QSignalSpy connected(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal);
    tunnel->connectTunnel();
    QVERIFY(tunnel->isStarted());
    QVERIFY(tunnel->pingTimer->isActive());
    QCOMPARE(tunnel->pingTimer->interval(), 60000);

    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(connected.first().first().toBool(), true);
    QVERIFY(m_client->settings->licenseTunnelConnected);
    QCOMPARE(readText(stateFile()), stateLine(true));
    QVERIFY(recordText().contains(QStringLiteral("args: ") + tunnel->arguments().join(' ')));
    QVERIFY(recordText().contains(QStringLiteral("password ok")));

    for (const QString& line : qAsConst(capture.messages))
        QVERIFY2(!line.contains(tunnelSecret), qPrintable(line));
    QVERIFY(!m_client->logText().contains(tunnelSecret));
}

void TestTunnel::wrongPasswordIsLoggedAndEndsTheClient()
{
    setMode(QStringLiteral("normal"), QStringLiteral("another-password"));
    ReverseTunnelProcess* tunnel = makeTunnel();
    tunnel->reconnectTimeout = 600000; // the restart stays pending
    QSignalSpy connected(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal);
    tunnel->connectTunnel();

    QTRY_COMPARE(tunnel->reconnectCount, 1);
    QVERIFY(m_client->logText().contains(QStringLiteral("license error: FATAL ERROR: Access denied")));
    QVERIFY(recordText().contains(QStringLiteral("password wrong")));
    QCOMPARE(connected.count(), 1);
    QCOMPARE(connected.first().first().toBool(), false);
    QVERIFY(!m_client->settings->licenseTunnelConnected);
    QCOMPARE(readText(stateFile()), stateLine(false));
    QVERIFY(!tunnel->pingTimer->isActive());
    QVERIFY(tunnel->reconnectTimer->isActive());
    QCOMPARE(tunnel->reconnectTimer->interval(), 600000);
}

void TestTunnel::answeredPingChangesNothing()
{
    ReverseTunnelProcess* tunnel = makeTunnel();
    QSignalSpy connected(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal);
    tunnel->connectTunnel();
    QTRY_COMPARE(connected.count(), 1);
    const qint64 pid = tunnel->process->processId();

    tunnel->sendPing();
    QVERIFY(tunnel->pingTimeoutTimer->isActive());
    QCOMPARE(tunnel->pingTimeoutTimer->interval(), 3000);
    QVERIFY(!tunnel->pongReceived);
    QTRY_VERIFY(tunnel->pongReceived);
    tunnel->pingTimeoutCheck();

    QCOMPARE(tunnel->process->processId(), pid);
    QCOMPARE(tunnel->process->state(), QProcess::Running);
    QCOMPARE(tunnel->reconnectCount, 0);
    QCOMPARE(connected.count(), 1);
    QVERIFY(recordText().contains(QStringLiteral("line: pingpong")));
    QVERIFY(!recordText().contains(QStringLiteral("line: exit")));
}

void TestTunnel::unansweredPingRestartsAtOnce()
{
    setMode(QStringLiteral("noecho"));
    ReverseTunnelProcess* tunnel = makeTunnel();
    tunnel->pingTimeoutMs = 20;
    QSignalSpy connected(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal);
    tunnel->connectTunnel();
    QTRY_COMPARE(connected.count(), 1);
    const qint64 pid = tunnel->process->processId();

    tunnel->sendPing();
    // The check runs 20 ms later: "exit", the client ends, a new one starts
    // at once and logs in again.
    QTRY_COMPARE(connected.count(), 3);
    QCOMPARE(connected.at(1).first().toBool(), false);
    QCOMPARE(connected.at(2).first().toBool(), true);
    QVERIFY(tunnel->process->processId() != pid);
    QVERIFY(!clientRuns(pid));
    QVERIFY(recordText().contains(QStringLiteral("line: exit")));
    QCOMPARE(tunnel->reconnectCount, 1);
    // The start after the end is not made a second time.
    QVERIFY(!tunnel->reconnectTimer->isActive());
    QCOMPARE(PlatformProcesses::processesRunningExecutable(clientPath()).size(), 1);
    QCOMPARE(readText(stateFile()), stateLine(true));
}

void TestTunnel::hangingClientIsKilledAndReplaced()
{
    setMode(QStringLiteral("hang"));
    ReverseTunnelProcess* tunnel = makeTunnel();
    tunnel->pingTimeoutMs = 20;
    tunnel->exitWaitMs = 100;
    QSignalSpy connected(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal);
    tunnel->connectTunnel();
    QCOMPARE(tunnel->process->state(), QProcess::Running);
    const qint64 pid = tunnel->process->processId();

    tunnel->sendPing();
    QTRY_VERIFY(tunnel->process && tunnel->process->processId() != pid);
    QTRY_VERIFY(!clientRuns(pid));
    QCOMPARE(tunnel->process->state(), QProcess::Running);
    QVERIFY(connected.isEmpty());
    QVERIFY(!m_client->settings->licenseTunnelConnected);
    QCOMPARE(PlatformProcesses::processesRunningExecutable(clientPath()).size(), 1);
}

void TestTunnel::backoffDelays_data()
{
    QTest::addColumn<int>("ends");
    QTest::addColumn<int>("delay");
    QTest::newRow("first end") << 1 << 10;
    QTest::newRow("fifth") << 5 << 10;
    QTest::newRow("sixth") << 6 << 10000;
    QTest::newRow("tenth") << 10 << 10000;
    QTest::newRow("eleventh") << 11 << 30000;
    QTest::newRow("twentieth") << 20 << 30000;
    QTest::newRow("twenty-first") << 21 << 60000;
    QTest::newRow("thirtieth") << 30 << 60000;
    QTest::newRow("thirty-first") << 31 << 120000;
    QTest::newRow("hundredth") << 100 << 120000;
}

void TestTunnel::backoffDelays()
{
    QFETCH(int, ends);
    QFETCH(int, delay);
    QCOMPARE(ReverseTunnelProcess::backoffDelay(ReverseTunnelProcess::defaultBackoff(), ends, 10), delay);
}

void TestTunnel::endsWaitLongerAndLonger()
{
    // The delays as the object applies them, end after end, without a client.
    m_client->settings->connectLicenseServer = false;
    ReverseTunnelProcess* tunnel = makeTunnel();
    QList<int> delays;
    for (int end = 1; end <= 32; ++end) {
        tunnel->processFinished(0);
        QVERIFY(tunnel->reconnectTimer->isActive());
        delays << tunnel->reconnectTimer->interval();
    }
    QCOMPARE(tunnel->reconnectCount, 32);
    QCOMPARE(delays.at(4), 10);
    QCOMPARE(delays.at(5), 10000);
    QCOMPARE(delays.at(10), 30000);
    QCOMPARE(delays.at(20), 60000);
    QCOMPARE(delays.at(30), 120000);
    QCOMPARE(delays.at(31), 120000);
}

void TestTunnel::crashLoopBacksOffWithoutStallingTheLoop()
{
    setMode(QStringLiteral("crash"));
    ReverseTunnelProcess* tunnel = makeTunnel();
    tunnel->backoffSteps = {{2, 20}, {4, 40}, {6, 80}};
    QList<int> delays;
    QObject listener; // the connection ends with the test
    connect(tunnel->reconnectTimer, &QTimer::timeout, &listener,
            [&delays, tunnel] { delays << tunnel->reconnectTimer->interval(); });
    int heartbeats = 0;
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, this, [&heartbeats] { ++heartbeats; });
    heartbeat.start(5);

    tunnel->connectTunnel();
    QTRY_VERIFY_WITH_TIMEOUT(tunnel->reconnectCount >= 8, 20000);
    QCOMPARE(delays.mid(0, 7), (QList<int>{10, 10, 20, 20, 40, 40, 80}));
    QCOMPARE(tunnel->reconnectTimeout, 80);
    // The event loop kept running between the starts.
    QVERIFY2(heartbeats >= 10, qPrintable(QString::number(heartbeats)));
    QVERIFY(!m_client->settings->licenseTunnelConnected);
    QVERIFY(PlatformProcesses::processesRunningExecutable(clientPath()).size() <= 1);
}

void TestTunnel::earlyExitRestartsAndTheStateFileFollows()
{
    setMode(QStringLiteral("early"));
    ReverseTunnelProcess* tunnel = makeTunnel();
    QStringList states;
    QObject listener; // the connection ends with the test
    connect(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal, &listener,
            [this, &states](bool) { states << readText(stateFile()); });
    tunnel->connectTunnel();
    QTRY_VERIFY(states.size() >= 4);
    QCOMPARE(states.mid(0, 4), (QStringList{stateLine(true), stateLine(false), stateLine(true), stateLine(false)}));
    QVERIFY(tunnel->reconnectCount >= 2);
}

void TestTunnel::switchedOffStartsNothing()
{
    m_client->settings->connectLicenseServer = false;
    ReverseTunnelProcess* tunnel = makeTunnel();
    tunnel->connectTunnel();
    QVERIFY(!tunnel->isStarted());
    QVERIFY(!tunnel->process);
    QVERIFY(!tunnel->pingTimer->isActive());
    QVERIFY(m_client->logText().contains(QStringLiteral("do not connect tunnel")));
    QVERIFY(!QFile::exists(m_recordPath));
}

void TestTunnel::switchedOffAlsoStopsTheDelayedStart()
{
    setMode(QStringLiteral("early"));
    ReverseTunnelProcess* tunnel = makeTunnel();
    // Switched off while the first client is connected; it then ends.
    connect(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal, this, [this](bool connected) {
        if (connected)
            m_client->settings->connectLicenseServer = false;
    });
    tunnel->connectTunnel();
    QTRY_VERIFY(m_client->logText().contains(QStringLiteral("do not connect tunnel")));
    QCOMPARE(tunnel->reconnectCount, 1);
    QCOMPARE(tunnel->process->state(), QProcess::NotRunning);
    QCOMPARE(recordText().count(QStringLiteral("args: ")), 1);
    QCOMPARE(readText(stateFile()), stateLine(false));
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

void TestTunnel::disconnectSlotDropsTheTunnel()
{
    PluginNetConnection* plugin = m_client->plugin;
    QSignalSpy relayed(plugin, &PluginNetConnection::tunnelConnectedSignal);
    QSignalSpy disconnectAsked(plugin, &PluginNetConnection::disconnectLicenseTunnelSignal);
    plugin->connectLicenseTunnel();
    QVERIFY(plugin->reverseTunnelProcess);
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
    QTRY_VERIFY(m_client->logText().contains(QStringLiteral("do not connect tunnel")));
    QVERIFY(PlatformProcesses::processesRunningExecutable(clientPath()).isEmpty());

    // The plug-in's own slot asks the same way.
    plugin->disconnectLicenseTunnelSlot();
    QCOMPARE(disconnectAsked.count(), 2);
}

void TestTunnel::destroyingThePluginEndsTheClient()
{
    m_client->plugin->connectLicenseTunnel();
    QTRY_VERIFY(m_client->settings->licenseTunnelConnected);
    const qint64 pid = m_client->plugin->reverseTunnelProcess->process->processId();
    QVERIFY(clientRuns(pid));

    delete m_client->plugin;
    m_client->plugin = nullptr;
    QVERIFY(!clientRuns(pid));
    QVERIFY(!m_client->settings->licenseTunnelConnected);
    QCOMPARE(readText(stateFile()), stateLine(false));
}

void TestTunnel::sshInfoRequestAndLicenceFile_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("sentLimit");
    QTest::newRow("limit -1 becomes the count") << 3 << -1 << 3;
    QTest::newRow("limit kept") << 2 << 5 << 5;
    QTest::newRow("no licences") << 0 << -1 << 0;
}

void TestTunnel::sshInfoRequestAndLicenceFile()
{
    QFETCH(int, count);
    QFETCH(int, limit);
    QFETCH(int, sentLimit);
    m_client->settings->licenseCountArnold = count;
    m_client->settings->licenseLimitArnold = limit;
    m_client->plugin->licenseTunnel->sendSshInfo();

    const QList<QJsonObject> sent = m_client->sent(QStringLiteral("sshInfo"));
    QCOMPARE(sent.size(), 1);
    const QJsonObject data = sent.first().value("data").toObject();
    QCOMPARE(data.value("localPort1").toInt(), 5053);
    QCOMPARE(data.value("localPort2").toInt(), 5054);
    QCOMPARE(data.value("localPort3").toInt(), 5055);
    QCOMPARE(data.value("serverHost").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(data.value("licenseCount").toInt(), count);
    QCOMPARE(data.value("licenseLimit").toInt(), sentLimit);
    QCOMPARE(m_client->settings->licenseLimitArnold, sentLimit);
    QCOMPARE(readText(m_client->projectsFolder() + QStringLiteral("/license_arnold.txt")),
             QStringLiteral("%1\r\n%2\r\n").arg(count).arg(sentLimit));
}

void TestTunnel::loginAsksForTunnelOnlyWhenConfigured()
{
    m_client->plugin->loginSuccessSlot(0);
    QCOMPARE(m_client->sent(QStringLiteral("sshInfo")).size(), 1);
    m_client->settings->connectLicenseServer = false;
    m_client->plugin->loginSuccessSlot(0);
    QCOMPARE(m_client->sent(QStringLiteral("sshInfo")).size(), 1);
}

void TestTunnel::sshInfoErrorsWaitLongerThenAsk()
{
    LicenseTunnel* licence = m_client->plugin->licenseTunnel;
    const QJsonObject error = sshInfoMessage(QJsonObject{{"Error", true}});
    for (int failure = 1; failure <= 10; ++failure) {
        m_client->receive(error);
        QCOMPARE(licence->sshErrorCounter, failure);
        QVERIFY(licence->retryTimer->isActive());
        QCOMPARE(licence->retryTimer->interval(), failure * 1000);
        QVERIFY(!licence->licenseErrorBox);
        // Let the wait run out at once.
        licence->retryTimer->start(0);
        QTRY_COMPARE(m_client->sent(QStringLiteral("sshInfo")).size(), failure);
    }
    m_client->receive(error);
    QCOMPARE(licence->sshErrorCounter, 11);
    QVERIFY(!licence->retryTimer->isActive());
    QVERIFY(licence->licenseErrorBox);
    QMessageBox* box = licence->licenseErrorBox;
    QVERIFY(box->isVisible());
    QCOMPARE(box->text(), QStringLiteral("Could not connect license server."));
    QCOMPARE(box->icon(), QMessageBox::Warning);
    QCOMPARE(box->standardButtons(), QMessageBox::Retry | QMessageBox::Cancel);
    QVERIFY(!box->parent());

    // A later failure shows the same box again.
    box->hide();
    m_client->receive(error);
    QCOMPARE(licence->licenseErrorBox.data(), box);
    QVERIFY(box->isVisible());
    QCOMPARE(m_client->sent(QStringLiteral("sshInfo")).size(), 10);
}

void TestTunnel::retryBoxRetryAndCancel()
{
    LicenseTunnel* licence = m_client->plugin->licenseTunnel;
    licence->sshErrorCounter = 10;
    m_client->receive(sshInfoMessage(QJsonObject{{"Error", true}}));
    QVERIFY(licence->licenseErrorBox);

    licence->licenseErrorBox->button(QMessageBox::Cancel)->click();
    QCOMPARE(licence->sshErrorCounter, 11);
    QVERIFY(m_client->sent(QStringLiteral("sshInfo")).isEmpty());
    QVERIFY(!licence->licenseErrorBox->isVisible());

    licence->licenseErrorBox->show();
    licence->licenseErrorBox->button(QMessageBox::Retry)->click();
    QCOMPARE(licence->sshErrorCounter, 0);
    QCOMPARE(m_client->sent(QStringLiteral("sshInfo")).size(), 1);
}

void TestTunnel::sshInfoPortsAreStoredAndConnect()
{
    PluginNetConnection* plugin = m_client->plugin;
    QSignalSpy relayed(plugin, &PluginNetConnection::tunnelConnectedSignal);
    plugin->licenseTunnel->sshErrorCounter = 4;
    m_client->receive(sshInfoMessage(QJsonObject{{"port1", "48001"}, {"port2", "48002"}, {"port3", "48003"}}));
    QCOMPARE(m_client->settings->licensePort1, 48001);
    QCOMPARE(m_client->settings->licensePort2, 48002);
    QCOMPARE(m_client->settings->licensePort3, 48003);
    // A success leaves the error count alone.
    QCOMPARE(plugin->licenseTunnel->sshErrorCounter, 4);
    // Keys are looked up regardless of letter case, as the settings do.
    SettingsStore stored(m_client->appDir() + QStringLiteral("/settings.ini"));
    QCOMPARE(stored.value(QStringLiteral("Settings/licensePort2")).toInt(), 48002);

    ReverseTunnelProcess* tunnel = plugin->reverseTunnelProcess;
    QVERIFY(tunnel);
    QVERIFY(!tunnel->parent());
    QVERIFY(tunnel->isStarted());
    QTRY_COMPARE(relayed.count(), 1);
    QVERIFY(tunnel->arguments().contains(QStringLiteral("48002:127.0.0.1:5054")));
    const qint64 pid = tunnel->process->processId();

    // Another answer neither makes a second tunnel nor starts it again.
    m_client->receive(sshInfoMessage(QJsonObject{{"port1", "48001"}, {"port2", "48002"}, {"port3", "48003"}}));
    QCOMPARE(plugin->reverseTunnelProcess, tunnel);
    QCOMPARE(tunnel->process->processId(), pid);
}

void TestTunnel::tunnelThroughTheFarmSimulator()
{
    auto fixture = std::make_unique<ClientFixture>();
    FarmAccount account;
    account.user = QStringLiteral("anna");
    account.password = QStringLiteral("anna-pass-4711");
    account.login = QJsonObject{{"customFtpPass", tunnelSecret}};
    fixture->simulator.accounts().insert(account);
    fixture->simulator.setSshInfoPorts(QStringLiteral("anna"), 49001, 49002, 49003);
    fixture->simulator.setSshInfoFailures(QStringLiteral("anna"), 1);
    QVERIFY(fixture->start(ClientFixture::Options()));
    QVERIFY(installClient(fixture->appDir()));
    configureLicence(fixture->settings);
    fixture->settings->customFtpPass.clear(); // comes with the login answer
    fixture->plugin->licenseTunnel->retryStepMs = 10;

    QSignalSpy relayed(fixture->plugin, &PluginNetConnection::tunnelConnectedSignal);
    fixture->plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"));
    QVERIFY(relayed.wait(10000));
    QCOMPARE(relayed.first().first().toBool(), true);
    QCOMPARE(fixture->simulator.receivedCount(QStringLiteral("sshInfo")), 2);
    QCOMPARE(fixture->settings->licensePort3, 49003);
    QVERIFY(fixture->plugin->reverseTunnelProcess->arguments().contains(QStringLiteral("49001:127.0.0.1:5053")));
    QVERIFY(!fixture->logText().contains(tunnelSecret));

    const qint64 pid = fixture->plugin->reverseTunnelProcess->process->processId();
    const QString client = PlatformProcesses::sshClientPath(fixture->appDir());
    fixture.reset();
    QVERIFY(!PlatformProcesses::processesRunningExecutable(client).contains(pid));
}

void TestTunnel::leftoverClientsOfThisDirectoryOnly()
{
    QTemporaryDir base;
    const QString appDir = base.filePath(QStringLiteral("app"));
    const QString prefixDir = base.filePath(QStringLiteral("app2"));
    const QString otherDir = base.filePath(QStringLiteral("other"));
    for (const QString& dir : {appDir, prefixDir, otherDir})
        QVERIFY(installClient(dir));

    QProcess ours, lookalike, elsewhere;
    const QStringList hang{QStringLiteral("--standin-mode=hang")};
    ours.start(PlatformProcesses::sshClientPath(appDir), hang);
    lookalike.start(PlatformProcesses::sshClientPath(prefixDir), hang);
    elsewhere.start(PlatformProcesses::sshClientPath(otherDir), hang);
    QVERIFY(ours.waitForStarted() && lookalike.waitForStarted() && elsewhere.waitForStarted());
    QCOMPARE(PlatformProcesses::processesRunningExecutable(PlatformProcesses::sshClientPath(appDir)),
             QList<qint64>{ours.processId()});

    KiteSettings settings;
    settings.setApplicationDirectory(appDir);
    {
        ReverseTunnelProcess tunnel(&settings); // ends the leftovers of appDir
    }
    QTRY_COMPARE(ours.state(), QProcess::NotRunning);
    QCOMPARE(ours.exitStatus(), QProcess::CrashExit);
    QCOMPARE(lookalike.state(), QProcess::Running);
    QCOMPARE(elsewhere.state(), QProcess::Running);
    // Nothing to end when no client file exists.
    QCOMPARE(PlatformProcesses::endLeftoverSshClients(base.filePath(QStringLiteral("none"))), 0);

    lookalike.kill();
    elsewhere.kill();
    QVERIFY(lookalike.waitForFinished() && elsewhere.waitForFinished());
}

QTEST_MAIN(TestTunnel)
#include "tst_tunnel.moc"
