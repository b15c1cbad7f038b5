#include "farmsimulator.h"
#include "jobs/kiteproject.h"
#include "net/kitewebsocketconnection.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/clientfixture.h"
#include "support/keptlogin.h"
#include "support/testfiles.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {
const QString kUser = QStringLiteral("anna");
const QString kPassword = QStringLiteral("anna-pass-4711");
} // namespace

// Faults on the wire of a running client: a server that never finishes the
// WebSocket handshake, one that goes silent, hostile and malformed messages.
// After each, the client still handles what the server sends and still gets
// its answers.
class TestWireFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unfinishedHandshakeTimesOut();
    void silentServerIsTakenAsGone();
    void hostileMessagesLeaveClientWorking_data();
    void hostileMessagesLeaveClientWorking();
    void wrongTypesInEveryMemberLeaveClientWorking();

private:
    bool startAndLogIn() { return m_login->startAndLogIn(); }
    QString userFolder() const { return m_login->userFolder(); }
    void writeSubmittedCfg(const QString& name);
    KiteProject* job(const QString& name) const { return m_client->job(name); }
    bool roundTripWorks(const QString& probe);
    bool dispatchWorks();
    bool loggedInAgain();

    std::unique_ptr<ClientFixture> m_client;
    std::unique_ptr<KeptLogin> m_login;
    QElapsedTimer m_relogin;
};

void TestWireFaults::init()
{
    m_client = std::make_unique<ClientFixture>();
    m_login = std::make_unique<KeptLogin>(*m_client);
    m_client->simulator.setAutoRender(false);
}

void TestWireFaults::cleanup()
{
    m_login.reset();
    m_client.reset();
    m_relogin.invalidate();
}

void TestWireFaults::writeSubmittedCfg(const QString& name)
{
    QVERIFY(TestFiles::writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"),
                                 "program=blender\r\nuploadfinished=true\r\nautostart=2\r\n"));
}

// Logged in on both sides; a client the server logged out (a failed login
// answer ends the session) logs in again, as the user would.
bool TestWireFaults::loggedInAgain()
{
    if (m_client->settings->loggedIn && m_client->simulator.isLoggedIn(kUser))
        return true;
    if (!m_client->settings->loggedIn && (!m_relogin.isValid() || m_relogin.elapsed() > 2000)) {
        m_login->logIn();
        m_relogin.start();
    }
    return false;
}

// A message the client understands is handled after the fault (pushed again
// while the client is not connected, e.g. after the server closed an
// oversized message's connection and the host is logging in again).
bool TestWireFaults::dispatchWorks()
{
    const QString probe = QStringLiteral(R"({"action":"getRenderpoints","data":{"result":4242}})");
    QElapsedTimer pushed;
    return QTest::qWaitFor(
        [&] {
            if (m_client->settings->renderPoints == 4242.0)
                return true;
            if ((!pushed.isValid() || pushed.elapsed() > 500) && m_client->simulator.isLoggedIn(kUser)) {
                m_client->simulator.pushRawToUser(kUser, probe);
                pushed.start();
            }
            return false;
        },
        20000);
}

// A request and its answer after the fault: a project the client has a cfg
// for gets its id from the server's projects list.
bool TestWireFaults::roundTripWorks(const QString& probe)
{
    m_client->simulator.addProject(kUser, probe, QStringLiteral("RENDERABLE"));
    writeSubmittedCfg(probe);
    const int polls = m_client->simulator.receivedCount(QStringLiteral("getProjectStates"));
    auto known = [&] {
        if (!m_client->settings->loggedIn)
            return false;
        KiteProject* found = job(probe);
        if (found && !found->jobId.isEmpty())
            return true;
        if (m_client->simulator.receivedCount(QStringLiteral("getProjectStates")) == polls)
            m_client->plugin->syncSlot();
        return false;
    };
    if (!QTest::qWaitFor(known, 20000))
        return false;
    return job(probe)->jobId == m_client->simulator.project(kUser, probe)->id;
}

void TestWireFaults::unfinishedHandshakeTimesOut()
{
    // Accepts the TCP connection, reads the upgrade request and never answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket*> held;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection()) {
            held << socket;
            connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
        }
    });
    QVERIFY(m_client->start(ClientFixture::Options()));
    const QString farm = m_client->settings->serverWss;
    m_client->settings->serverWss = QStringLiteral("ws://127.0.0.1:%1").arg(silent.serverPort());
    m_client->plugin->webSocketConnection->setConnectTimeout(500);

    QSignalSpy timeout(m_client->plugin, &PluginNetConnection::websocketTimeoutSignal);
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->loginSlot(kUser, kPassword);
    QVERIFY(timeout.wait(5000));
    QTRY_VERIFY(!held.isEmpty());
    QCOMPARE(success.count(), 0);
    QVERIFY(!m_client->settings->loggedIn);

    // The real server is there again: the next login goes through.
    m_client->settings->serverWss = farm;
    m_client->plugin->loginSlot(kUser, kPassword);
    QVERIFY(success.wait(10000));
    QCOMPARE(success.last().first().toInt(), 0);
    qDeleteAll(held);
}

// The server goes silent without closing the connection (a peer gone from
// the network): after three unanswered pings the client takes the connection
// as lost, and the host logs in again.
void TestWireFaults::silentServerIsTakenAsGone()
{
    QVERIFY(m_client->start(ClientFixture::Options()));
    const quint16 farmPort = quint16(QUrl(m_client->settings->serverWss).port());
    // Passes the bytes on both ways until it goes silent.
    QTcpServer relay;
    QVERIFY(relay.listen(QHostAddress::LocalHost, 0));
    bool silent = false;
    connect(&relay, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* client = relay.nextPendingConnection()) {
            auto* farm = new QTcpSocket(client);
            farm->connectToHost(QHostAddress::LocalHost, farmPort);
            auto pass = [&silent](QTcpSocket* from, QTcpSocket* to) {
                const QByteArray bytes = from->readAll();
                if (!silent)
                    to->write(bytes);
            };
            connect(client, &QTcpSocket::readyRead, farm, [=] { pass(client, farm); });
            connect(farm, &QTcpSocket::readyRead, client, [=] { pass(farm, client); });
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    m_client->settings->serverWss = QStringLiteral("ws://127.0.0.1:%1").arg(relay.serverPort());
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    QSignalSpy lost(m_client->plugin, &PluginNetConnection::websocketTimeoutSignal);
    m_client->plugin->loginSlot(kUser, kPassword);
    QVERIFY(success.wait(10000));
    m_client->settings->loggedIn = true; // the host's part

    // A server that answers is never given up, however many pings go out.
    for (int i = 0; i < 5; ++i) {
        const int pings = m_client->simulator.receivedCount(QStringLiteral("ping"));
        m_client->plugin->pingTimerSlot();
        QTRY_VERIFY(m_client->simulator.receivedCount(QStringLiteral("ping")) > pings);
        // The pong left before this message: once it is handled the pong is in.
        m_client->settings->renderPoints = 0;
        QVERIFY(dispatchWorks());
    }
    QCOMPARE(lost.count(), 0);

    silent = true;
    for (int i = 0; i < KiteWebSocketConnection::silentPingsLimit; ++i)
        m_client->plugin->pingTimerSlot();
    QCOMPARE(lost.count(), 0);
    m_client->plugin->pingTimerSlot();
    QTRY_COMPARE(lost.count(), 1);
    QVERIFY(!m_client->settings->loggedIn);
    QVERIFY(m_client->logText().contains(QStringLiteral("no answer from the server to the last 3 pings")));

    // Logged in again once the server answers.
    silent = false;
    m_client->plugin->loginSlot(kUser, kPassword);
    QTRY_COMPARE_WITH_TIMEOUT(success.count(), 2, 10000);
    QCOMPARE(success.last().first().toInt(), 0);
}

void TestWireFaults::hostileMessagesLeaveClientWorking_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("cap");
    QTest::addColumn<int>("padBytes"); // > 0: a valid message padded to this size
    QTest::newRow("garbage") << QString::fromLatin1("\x01\x02 not json at all }}}{{{") << qint64(0) << 0;
    QTest::newRow("truncated") << QStringLiteral(R"({"action":"getProjectStates","data":{"projects":[{"name":"pro)")
                               << qint64(0) << 0;
    QTest::newRow("deeply nested") << QString(100000, QLatin1Char('[')) << qint64(0) << 0;
    QTest::newRow("nested objects") << QString(50000, QLatin1Char('{')).replace(QLatin1String("{{"),
                                                                                 QLatin1String("{\"a\":"))
                                    << qint64(0) << 0;
    QTest::newRow("100 MiB, over the cap of 64 MiB") << QString() << qint64(0) << (100 << 20);
}

void TestWireFaults::hostileMessagesLeaveClientWorking()
{
    QFETCH(QString, text);
    QFETCH(qint64, cap);
    QFETCH(int, padBytes);
    if (padBytes > 0)
        text = QStringLiteral(R"({"action":"getRenderpoints","data":{"result":3,"pad":"%1"}})")
                   .arg(QString(padBytes, QLatin1Char('x')));
    QVERIFY(startAndLogIn());
    if (cap > 0)
        m_client->plugin->webSocketConnection->setMaxIncomingMessageSize(cap);
    const double points = m_client->settings->renderPoints;
    const int jobs = m_client->settings->jobList.size();

    QCOMPARE(m_client->simulator.pushRawToUser(kUser, text), 1);
    // A message the client understands, after the hostile one.
    QVERIFY(dispatchWorks());
    QVERIFY(points != 4242.0);
    // An oversized message is refused whole: the connection closes on it.
    if (padBytes > 0)
        QVERIFY(m_client->logText().contains(QStringLiteral("message from the server larger than")));
    QCOMPARE(m_client->settings->jobList.size(), jobs);
    QVERIFY(roundTripWorks(QStringLiteral("probe")));
}

void TestWireFaults::wrongTypesInEveryMemberLeaveClientWorking()
{
    m_client->simulator.addProject(kUser, QStringLiteral("known"), QStringLiteral("RENDERABLE"));
    QVERIFY(startAndLogIn());
    writeSubmittedCfg(QStringLiteral("known"));
    m_client->plugin->syncSlot();
    QTRY_VERIFY_WITH_TIMEOUT(job(QStringLiteral("known")) && !job(QStringLiteral("known"))->jobId.isEmpty(), 20000);
    KiteProject* known = job(QStringLiteral("known"));
    const QString knownId = known->jobId;

    // Every action the client handles (apart from the ones that open a
    // browser, a dialog or start the tunnel), every member it reads, each with
    // a value of every wrong type.
    const QStringList actions{
        "login", "getUserInfo", "jobOutOfPoints", "renderpointsBought", "getRenderpoints", "jobStateChange",
        "projectDeleted", "autoupdate", "getPluginConfig", "getProjectFolderContents", "autoupdatesignal",
        "getProjectStates", "prepareTestFile", "textureCacheLookup", "getTexFiles", "getTeams", "projectUploaded",
        "projectUploading", "frameStateChange", "getProgressInfos", "createDirs", "checkFiles", "addjob",
        "getOutputDir", "getTexFolderContents", "generateOverlay", "pack", "unpack",
        "setHighUploadPriority", "setNormalUploadPriority", "setHighDownloadPriority",
        "setNormalDownloadPriority"};
    const QStringList members{
        "State", "active", "approxrp", "checksum", "content", "controlcenter_id", "custom", "customFtpPass",
        "download_enabled", "enableTeams", "engines", "error_text", "errors", "file", "filename", "files",
        "folders", "id", "isBlocked", "isPaid", "isTrial", "is_logged_in", "ispaid", "jobId", "jobid", "linkUrl",
        "maxRunningDownloads", "maxRunningUploads", "name", "onlinePath", "paused", "program", "progress",
        "projects", "queued", "restartDownloadCount", "result", "rp_available", "server_download",
        "server_upload", "size", "started", "state", "status", "subdomainWss", "teamid", "teams",
        "textureCacheEnabled", "time", "token", "trial", "uploadAllToDc2", "uploadToDc2Programs",
        "uploadToDc2Renderers", "version", "serverNumberUpload"};
    const QJsonArray wrongValues{42, -1, 1e300, QStringLiteral("../../x"), QJsonArray{1, "a", QJsonArray()},
                                 QJsonObject{{"a", 1}}, QJsonValue(), true};
    // Each action's messages go out together and their handling is awaited.
    // A failed login answer ends the session and takes the messages behind
    // it along: such a batch goes out again one message at a time.
    QSignalSpy closed(&m_client->simulator, &FarmSimulator::connectionClosed);
    auto handled = [&](const QVector<QJsonObject>& batch) {
        if (!QTest::qWaitFor([&] { return loggedInAgain(); }, 20000))
            return false;
        const int closedBefore = closed.count();
        m_client->settings->renderPoints = 0;
        for (const QJsonObject& message : batch) {
            if (m_client->simulator.pushToUser(kUser, message) != 1)
                return false;
        }
        return dispatchWorks() && (batch.size() == 1 || closed.count() == closedBefore);
    };
    for (const QString& action : actions) {
        QVector<QJsonObject> batch;
        for (const QJsonValue& wrong : wrongValues) {
            QJsonObject data;
            QJsonObject message{{"action", action}};
            for (const QString& member : members) {
                data.insert(member, wrong);
                message.insert(member, wrong);
            }
            // Addressed to the known job, so the per-job branches run too.
            data.insert(QStringLiteral("scene"), known->name);
            message.insert(QStringLiteral("data"), data);
            batch << message;
            message.insert(QStringLiteral("data"), wrong);
            batch << message;
        }
        if (handled(batch))
            continue;
        for (const QJsonObject& message : qAsConst(batch))
            QVERIFY2(handled({message}), qPrintable(action + QLatin1Char('\n') + m_login->hostOut));
    }

    // The known job is still the one job of that name and kept an id: a
    // submission reply may give it another text id, never an empty one, and
    // the next projects list gives it back the farm's.
    QVERIFY(job(QStringLiteral("known")));
    QVERIFY(!job(QStringLiteral("known"))->jobId.isEmpty());
    int named = 0;
    for (KiteProject* candidate : qAsConst(m_client->settings->jobList))
        named += candidate->name == QLatin1String("known") && !candidate->isDeleted;
    QCOMPARE(named, 1);
    // Nothing outside the projects folder was created from a hostile path.
    QVERIFY(!QFileInfo::exists(QDir(m_client->projectsFolder()).filePath(QStringLiteral("../../x"))));
    QVERIFY(QTest::qWaitFor([&] { return loggedInAgain(); }, 20000));
    QVERIFY(roundTripWorks(QStringLiteral("probe")));
    m_client->plugin->syncSlot();
    QTRY_VERIFY_WITH_TIMEOUT(job(QStringLiteral("known")) && job(QStringLiteral("known"))->jobId == knownId, 20000);
}

QTEST_MAIN(TestWireFaults)
#include "tst_wirefaults.moc"
