// The farm simulator as a plain WebSocket client sees it, where the client's own end-to-end tests do not
// reach: its refusals and name checks, the job life cycle beyond upload and download, the program itself.
#include "farmaccounts.h"
#include "farmproject.h"
#include "farmrenderer.h"
#include "farmsimulator.h"
#include "farmstorage.h"
#include "support/testfiles.h"

#include <QWebSocket>
#include <QtTest>

#include <memory>

namespace {
using namespace TestFiles;
const char* const kAccounts = R"({"accounts": [{"user": "alice", "password": "pw"}, {"user": "bob", "password": "pw"}]})";

// A WebSocket client that keeps every message it receives.
class Client : public QObject
{
public:
    Client()
    {
        connect(&socket, &QWebSocket::textMessageReceived, this,
                [this](const QString& text) { messages << QJsonDocument::fromJson(text.toUtf8()).object(); });
    }
    bool login(const QUrl& url, const QString& user = "alice")
    {
        QSignalSpy connected(&socket, &QWebSocket::connected);
        if (socket.state() != QAbstractSocket::ConnectedState)
            socket.open(url);
        return (socket.state() == QAbstractSocket::ConnectedState || connected.wait(10000))
            && request("login", {{"user", user}, {"pass", "pw"}}).value("data")["is_logged_in"].toBool();
    }
    void send(const QString& action, const QJsonObject& data, const QJsonValue& custom = QJsonValue::Undefined)
    {
        QJsonObject message{{"action", action}, {"data", data}};
        if (!custom.isUndefined())
            message.insert("custom", custom);
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }
    // Sends; returns the first message of the same action after it (empty after 5 s).
    QJsonObject request(const QString& action, const QJsonObject& data, const QJsonValue& custom = QJsonValue::Undefined)
    {
        const int from = messages.size();
        send(action, data, custom);
        return waitFor(action, from);
    }
    QJsonObject waitFor(const QString& action, int from = 0)
    {
        return QTest::qWaitFor([&] { return indexOf(action, from) >= 0; }, 5000) ? messages.at(indexOf(action, from))
                                                                                 : QJsonObject();
    }
    int indexOf(const QString& action, int from = 0) const
    {
        for (int i = from; i < messages.size(); ++i) {
            if (messages.at(i).value("action") == action)
                return i;
        }
        return -1;
    }
    // One member of the data of every message of `action`.
    QStringList dataOf(const QString& action, const QString& key) const
    {
        QStringList values;
        for (const QJsonObject& message : messages) {
            if (message.value("action") == action)
                values << message.value("data")[key].toVariant().toString();
        }
        return values;
    }
    QWebSocket socket;
    QVector<QJsonObject> messages;
};

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A job as an exporter and the upload leave it: scene, preview, cfg with its
// file section, and the listed files.
bool writeUploadedJob(const QString& dir, const QString& name, const QVector<FarmFileEntry>& files, bool listedToo = true)
{
    QByteArray cfg = "renderer=V-Ray\r\nprogram=3dsmax\r\n[files]\r\npaths=" + QByteArray::number(files.size()) + "\r\n";
    bool ok = true;
    for (int i = 0; i < files.size(); ++i) {
        const QByteArray n = QByteArray::number(i), path = files.at(i).path.toUtf8();
        cfg += "path" + n + "=" + path + "\r\npathlocal" + n + "=C:/scenes/" + path + "\r\npathsize" + n + "="
            + QByteArray::number(files.at(i).size) + "\r\n";
        ok = ok && (!listedToo || writeBytes(dir + "/" + files.at(i).path, QByteArray(int(files.at(i).size), 'x')));
    }
    return ok && writeBytes(dir + "/" + name, "scene package") && writeBytes(dir + "/" + name + ".jpg", "jpg")
        && writeBytes(dir + "/" + name + ".cfg", cfg);
}

} // namespace

class TstFarmSim : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void connectionRules();
    void checkFiles_data();
    void checkFiles();
    void jobLifeCycle();
    void projectsListAndProgress();
    void programFromTheCommandLine();

private:
    QString upload() const { return sim->uploadDir("alice"); }
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FarmSimulator> sim;
};

void TstFarmSim::init()
{
    dir = std::make_unique<QTemporaryDir>();
    sim = std::make_unique<FarmSimulator>();
    FarmAccounts accounts;
    QVERIFY(FarmAccounts::fromJson(kAccounts, accounts));
    sim->setAccounts(accounts);
    sim->setStorageRoot(dir->filePath("storage"));
    sim->setRenderPace(0);
    QVERIFY2(sim->listen(), qPrintable(sim->errorString()));
}

void TstFarmSim::cleanup()
{
    sim.reset();
    dir.reset();
}

void TstFarmSim::connectionRules()
{
    FarmSimulator exposed;
    QVERIFY(!exposed.listen(QHostAddress::AnyIPv4, 0));
    // A user name that is no folder name gets no folders at all.
    for (const QString user : {"", ".", "..", "a/b", "a\\b", "a\nb"}) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be a folder name"));
        const FarmUserState* state = sim->ensureUserState(user);
        QVERIFY(state->uploadDir().isEmpty() && state->outputDir().isEmpty() && state->jobOutputDir("Job").isEmpty());
        QVERIFY(sim->outputDir("alice", user).isEmpty());
    }
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    // Another path than the queue's socket is refused.
    QSignalSpy refused(sim.get(), &FarmSimulator::connectionRefused);
    QUrl url = sim->socketUrl("alice");
    url.setPath("/queue/other");
    Client stranger;
    QVERIFY(!stranger.login(url));
    QCOMPARE(refused.size(), 1);
    QCOMPARE(refused.at(0).at(0).toString(), QString("/queue/other"));
    QCOMPARE(sim->connectionCount(), 0);
    // A login as somebody else than the socket's user closes the socket.
    Client impostor;
    QVERIFY(!impostor.login(sim->socketUrl("alice"), "bob"));
    QTRY_COMPARE(impostor.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(impostor.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
    QVERIFY(!sim->isLoggedIn("bob") && !sim->isLoggedIn("alice"));
    // Broken text is recorded too.
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    client.socket.sendTextMessage("{\"action\":");
    QTRY_COMPARE(sim->receivedCount(), 3);
    const QVector<FarmReceivedMessage> messages = sim->receivedMessages();
    QCOMPARE(messages.at(2).user, QString("alice"));
    QCOMPARE(messages.at(2).path, QString("/queue/socket"));
    QCOMPARE(messages.at(2).text, QString("{\"action\":"));
    QVERIFY(!messages.at(2).isValid && messages.at(1).isValid);
}

void TstFarmSim::checkFiles_data()
{
    QTest::addColumn<bool>("withScene");
    QTest::addColumn<qint64>("textureOnDisk"); // -1: absent
    QTest::addColumn<QString>("extraCfgPath");
    QTest::addColumn<QStringList>("errors");
    QTest::newRow("complete") << true << qint64(5) << "" << QStringList();
    QTest::newRow("texture missing") << true << qint64(-1) << "" << QStringList{"missing: tex/wood.png"};
    QTest::newRow("texture short") << true << qint64(3) << ""
                                   << QStringList{"size of tex/wood.png: 3 bytes, expected 5"};
    QTest::newRow("scene package missing") << false << qint64(5) << "" << QStringList{"missing: Job A"};
    QTest::newRow("path climbs out") << true << qint64(5) << "../outside.txt"
                                     << QStringList{"refused path: ../outside.txt"};
    QTest::newRow("absolute path") << true << qint64(5) << "/etc/hostname"
                                   << QStringList{"refused path: /etc/hostname"};
}

void TstFarmSim::checkFiles()
{
    QFETCH(bool, withScene);
    QFETCH(qint64, textureOnDisk);
    QFETCH(QString, extraCfgPath);
    QFETCH(QStringList, errors);
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QVector<FarmFileEntry> listed{{"tex/wood.png", 5}, {"model/house.abc", 3}};
    if (!extraCfgPath.isEmpty())
        listed.append({extraCfgPath, 1});
    QVERIFY(writeUploadedJob(upload(), "Job A", listed, false));
    QVERIFY(writeBytes(upload() + "/model/house.abc", "abc"));
    QVERIFY(writeBytes(dir->filePath("storage/upload/outside.txt"), "x")); // reachable only through ".."
    if (!withScene)
        QVERIFY(QFile::remove(upload() + "/Job A"));
    if (textureOnDisk >= 0)
        QVERIFY(writeBytes(upload() + "/tex/wood.png", QByteArray(int(textureOnDisk), 't')));
    QVERIFY(writeBytes(upload() + "/Job A.ischecked", "")); // an earlier check
    const QJsonObject answer = client.request("checkFiles", {{"scene", "Job A"}, {"uploadMethod", "SFTP"}},
                                              QJsonObject{{"scene", "Job A"}});
    QCOMPARE(answer.value("custom")["scene"].toString(), QString("Job A"));
    QCOMPARE(answer.value("data")["result"].toBool(), errors.isEmpty());
    QCOMPARE(answer.value("data")["errors"].toString(), errors.join('\n'));
    QCOMPARE(QFileInfo::exists(upload() + "/Job A.ischecked"), errors.isEmpty());
    // Folders are made only inside the upload folder.
    const QJsonObject dirs = client.request(
        "createDirs", {{"dirs", QJsonArray{"tex/maps", "../evil", "/abs", "a\\b", "C:/x", "tex/../../evil2"}}});
    QCOMPARE(dirs.value("data")["result"], QJsonValue(false));
    QCOMPARE(dirs.value("data")["errors"].toString().split('\n'),
             (QStringList{"refused path: ../evil", "refused path: /abs", "refused path: a\\b", "refused path: C:/x",
                          "refused path: tex/../../evil2"}));
    QVERIFY(QFileInfo(upload() + "/tex/maps").isDir());
    QCOMPARE(QDir(dir->filePath("storage/upload")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"alice", "outside.txt"}));
}

void TstFarmSim::jobLifeCycle()
{
    sim->setRenderPace(10);
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    const QJsonObject custom{{"scene", "Job A"}};
    QCOMPARE(client.request("setuploadstarted", {{"scene", "Job A"}, {"teamid", 7}}, custom).value("data").toObject(),
             (QJsonObject{{"result", true}}));
    client.send("setUploadProgress", {{"scene", "Job A"}, {"progress", 42}}, custom);
    QTRY_COMPARE(sim->userState("alice")->uploadProgress.value("Job A"), 42);
    QVERIFY(writeUploadedJob(upload(), "Job A", {{"tex/wood.png", 5}}));
    QVERIFY(client.request("checkFiles", {{"scene", "Job A"}}, custom).value("data")["result"].toBool());
    QCOMPARE(sim->projectNames("alice"), QStringList());
    client.request("setuploadchecked", {{"scene", "Job A"}, {"custom", "VK"}}, custom);
    QCOMPARE(sim->project("alice", "Job A")->status, QString("RENDERABLE"));
    QCOMPARE(sim->project("alice", "Job A")->teamId, 7);
    // Paused after the first of four frames, then rendered to the end.
    QSignalSpy frames(sim.get(), &FarmSimulator::frameRendered);
    connect(sim.get(), &FarmSimulator::frameRendered, this, [this](const QString& user, const QString& name, int frame) {
        if (frame == 1)
            sim->setProjectStatus(user, name, "PAUSED");
    });
    const int from = client.messages.size();
    const QString id = client.request("addjob", {{"scene", "Job A"}}, custom).value("data")["id"].toString();
    QVERIFY(!id.isEmpty());
    QTRY_COMPARE(frames.size(), 1);
    QVERIFY(!sim->userState("alice")->renderer("Job A")->isRunning());
    QCOMPARE(client.request("getProgressInfos", {{"id", id}}).value("data").toObject(),
             (QJsonObject{{"id", id}, {"scene", "Job A"}, {"State", "PAUSED"}, {"started", "1"}, {"engines", "4"},
                          {"ispaid", "1"}, {"paused", true}, {"progress", "25"}}));
    QVERIFY(sim->setProjectStatus("alice", "Job A", "RENDERING"));
    QTRY_COMPARE(sim->project("alice", "Job A")->status, QString("RENDERED"));
    QCOMPARE(frames.size(), 4);
    QTRY_COMPARE(client.dataOf("jobStateChange", "state"),
                 (QStringList{"RENDERABLE", "QUEUED", "RENDERING", "PAUSED", "RENDERING", "RENDERED"}));
    QCOMPARE(client.dataOf("jobStateChange", "jobid").filter(id).size(), 6);
    QCOMPARE(client.dataOf("frameStateChange", "frame"), (QStringList{"1", "2", "3", "4"}));
    // The answer comes before the events it causes.
    QVERIFY(client.indexOf("addjob", from) < client.indexOf("jobStateChange", from));
    QTRY_VERIFY(!sim->userState("alice")->renderer("Job A"));
    // Frames of known content in the output folder, listed; nothing outside it.
    const QString output = sim->outputDir("alice", "Job A");
    QCOMPARE(FarmStorage::listFiles(output, true), FarmRenderer::outputFiles(4));
    QCOMPARE(client.request("getOutputDir", {{"scene", "../alice"}}).value("data").toObject(),
             (QJsonObject{{"folders", QJsonArray()}, {"files", QJsonArray()}}));
    // Zips and overlays stay inside the job's folders.
    const auto result = [&client](const QString& action, const QString& picture) {
        return client.request(action, {{"scene", "Job A"}, {"picture", picture}}).value("data").toObject();
    };
    QCOMPARE(result("pack", "passes")["result"], QJsonValue(true));
    QCOMPARE(result("pack", "../Job A/frame_0001.png")["result"], QJsonValue(false));
    QCOMPARE(result("unpack", "tex/wood.png")["result"], QJsonValue(true));
    QCOMPARE(result("unpack", "../alice/Job A")["result"], QJsonValue(false));
    QCOMPARE(result("generateOverlay", "frame_0001.png"),
             (QJsonObject{{"result", true}, {"filename", "frame_0001_overlaid.png"}}));
    QCOMPARE(readFile(output + "/frame_0001_overlaid.png"), readFile(output + "/frame_0001.png") + "OVERLAY");
    QCOMPARE(result("generateOverlay", "missing.png"), (QJsonObject{{"result", false}, {"filename", ""}}));
    // The texture cache knows what was uploaded.
    const QString md5 = QCryptographicHash::hash(QByteArray(5, 'x'), QCryptographicHash::Md5).toHex();
    QCOMPARE(client.request("textureCacheLookup", {{"checksum", md5}}).value("data").toObject(),
             (QJsonObject{{"onlinePath", "tex/wood.png"}, {"checksum", md5}, {"result", "found"}}));
    QCOMPARE(client.request("textureCacheLookup", {{"checksum", "0"}}).value("data")["result"], QJsonValue("notfound"));
    // Deleted: the client is told, the job's files go, shared textures stay.
    QVERIFY(writeUploadedJob(upload(), "Job B", {{"tex/wood.png", 5}}));
    QVERIFY(!sim->deleteProject("alice", "nope"));
    QVERIFY(sim->deleteProject("alice", "Job A"));
    QCOMPARE(client.waitFor("projectDeleted").value("data").toObject(), custom);
    QCOMPARE(sim->projectNames("alice"), QStringList());
    QVERIFY(!QFileInfo::exists(output));
    QCOMPARE(QDir(upload()).entryList(QDir::Files), (QStringList{"Job B", "Job B.cfg", "Job B.jpg"}));
    QVERIFY(QFileInfo::exists(upload() + "/tex/wood.png"));
}

void TstFarmSim::projectsListAndProgress()
{
    const QString id = sim->addProject("alice", "Job A", "QUEUED");
    QCOMPARE(sim->addProjects("alice", 3), 3);
    QCOMPARE(sim->addProjects("alice", 3), 3); // a second batch goes on round the states
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    const QJsonArray projects = client.request("getProjectStates", {}).value("data")["projects"].toArray();
    QCOMPARE(projects.size(), 7);
    QCOMPARE(projects.at(0).toObject(),
             (QJsonObject{{"name", "Job A"}, {"id", id}, {"status", "QUEUED"}, {"teamid", "0"}, {"isTrial", false},
                          {"isPaid", true}, {"download_enabled", true}, {"queued", true}, {"server_download", 1},
                          {"restartDownloadCount", 0}, {"error_text", ""}}));
    QStringList generated;
    for (int i = 1; i < projects.size(); ++i) {
        QCOMPARE(projects.at(i).toObject().keys(), projects.at(0).toObject().keys());
        generated << projects.at(i)["name"].toString() + ' ' + projects.at(i)["status"].toString();
    }
    QCOMPARE(generated, (QStringList{"project00001 QUEUED", "project00002 RENDERING", "project00003 RENDERED",
                                     "project00004 PAUSED", "project00005 QUEUED", "project00006 RENDERING"}));
    // Nothing renders: the rendered ones are complete, the others stay where they are.
    QCOMPARE(client.request("getProgressInfos", {{"scene", "project00003"}}).value("data")["progress"], QJsonValue("100"));
    QCOMPARE(client.request("getProgressInfos", {{"scene", "project00002"}}).value("data")["progress"], QJsonValue("0"));
    // An unknown project is not answered.
    const int before = client.messages.size();
    client.send("getProgressInfos", {{"id", "999999"}, {"scene", "nope"}});
    QVERIFY(!client.request("getRenderpoints", {}).isEmpty());
    QCOMPARE(client.indexOf("getProgressInfos", before), -1);
    QSignalSpy changed(sim.get(), &FarmSimulator::projectStatusChanged);
    QVERIFY(!sim->setProjectStatus("alice", "nope", "PAUSED"));
    QVERIFY(sim->setProjectStatus("alice", "Job A", "PAUSED"));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(client.waitFor("jobStateChange").value("data").toObject(), (QJsonObject{{"jobid", id}, {"state", "PAUSED"}}));
}

void TstFarmSim::programFromTheCommandLine()
{
    const QString program = QStringLiteral(FARMSIM_PATH);
    const QString accounts = dir->filePath("accounts.json");
    QVERIFY(writeBytes(accounts, kAccounts));
    const QString storage = dir->filePath("program-storage");
    // Refused: an address off this machine, bad numbers, no accounts.
    const QStringList base{"--accounts", accounts};
    for (const QStringList& bad : {base + QStringList{"--listen", "0.0.0.0:0"}, base + QStringList{"--frames", "two"},
                                   base + QStringList{"--pace-ms", "-5"}, base + QStringList{"--projects", "-1"},
                                   QStringList{"--storage", storage}}) {
        QProcess refused;
        refused.start(program, bad);
        QVERIFY(refused.waitForFinished(10000));
        QCOMPARE(refused.exitCode(), 2);
    }
    QProcess farmsim;
    farmsim.start(program, {"--listen", "127.0.0.1:0", "--accounts", accounts, "--storage", storage, "--pace-ms",
                            "0", "--frames", "2", "--projects", "5"});
    QTRY_VERIFY_WITH_TIMEOUT(farmsim.canReadLine(), 10000);
    const QString line = QString::fromUtf8(farmsim.readLine()).trimmed();
    QVERIFY2(QRegularExpression("^listening on ws://127\\.0\\.0\\.1:\\d+$").match(line).hasMatch(), qPrintable(line));
    Client client;
    QVERIFY(client.login(QUrl(line.mid(13) + "/queue/socket?username=alice")));
    const QJsonArray projects = client.request("getProjectStates", {}).value("data")["projects"].toArray();
    QCOMPARE(projects.size(), 5);
    QCOMPARE(projects.at(4)["name"], QJsonValue("project00005"));
    QVERIFY(writeUploadedJob(storage + "/upload/alice", "Job P", {{"tex/wood.png", 5}}));
    QVERIFY(client.request("checkFiles", {{"scene", "Job P"}}).value("data")["result"].toBool());
    QVERIFY(!client.request("addjob", {{"scene", "Job P"}}).value("data")["id"].toString().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(client.dataOf("jobStateChange", "state").contains("RENDERED"), 10000);
    QCOMPARE(FarmStorage::listFiles(storage + "/output/alice/Job P", true), FarmRenderer::outputFiles(2));
    farmsim.terminate();
    QVERIFY(farmsim.waitForFinished(10000));
    QCOMPARE(farmsim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(farmsim.exitCode(), 0);
    QVERIFY(farmsim.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TstFarmSim)
#include "tst_farmsim.moc"
