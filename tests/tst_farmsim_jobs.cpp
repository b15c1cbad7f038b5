// The farm simulator's job side as seen by a plain WebSocket client: the
// storage folder and its name checks, the projects list and its pushes, the
// upload handshake, rendering into the output folder and the output listing.
#include "farmaccounts.h"
#include "farmproject.h"
#include "farmrenderer.h"
#include "farmsimulator.h"
#include "farmstorage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <memory>

namespace {
const char* const kAccounts = R"({"accounts": [{"user": "alice", "password": "pw"}]})";

// A WebSocket client that keeps every message it receives.
class Client : public QObject
{
public:
    Client()
    {
        connect(&socket, &QWebSocket::textMessageReceived, this,
                [this](const QString& text) { messages << QJsonDocument::fromJson(text.toUtf8()).object(); });
    }
    bool open(const QUrl& url)
    {
        QSignalSpy connected(&socket, &QWebSocket::connected);
        socket.open(url);
        return connected.wait(10000);
    }
    bool login(const QUrl& url)
    {
        return open(url)
            && request("login", {{"user", "alice"}, {"pass", "pw"}}).value("data")["is_logged_in"].toBool();
    }
    void send(const QString& action, const QJsonObject& data, const QJsonValue& custom = QJsonValue::Undefined)
    {
        QJsonObject message{{"action", action}, {"data", data}};
        if (!custom.isUndefined())
            message.insert("custom", custom);
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }
    // Sends and returns the first message of the same action that arrives
    // after it (empty after 5 s).
    QJsonObject request(const QString& action, const QJsonObject& data,
                        const QJsonValue& custom = QJsonValue::Undefined)
    {
        const int from = messages.size();
        send(action, data, custom);
        return waitFor(action, from);
    }
    QJsonObject waitFor(const QString& action, int from = 0)
    {
        int found = -1;
        if (!QTest::qWaitFor([&] { return (found = indexOf(action, from)) >= 0; }, 5000))
            return {};
        return messages.at(found);
    }
    int indexOf(const QString& action, int from = 0) const
    {
        for (int i = from; i < messages.size(); ++i) {
            if (messages.at(i).value("action").toString() == action)
                return i;
        }
        return -1;
    }
    QVector<QJsonObject> withAction(const QString& action) const
    {
        QVector<QJsonObject> matching;
        for (const QJsonObject& message : messages) {
            if (message.value("action").toString() == action)
                matching << message;
        }
        return matching;
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

// A job cfg as an exporter writes it: header, then the file section.
QByteArray cfgText(const QVector<FarmFileEntry>& files)
{
    QByteArray text = "renderer=V-Ray\r\nprogram=3dsmax\r\nprio=1\r\n[files]\r\npaths=" + QByteArray::number(files.size())
        + "\r\n";
    for (int i = 0; i < files.size(); ++i) {
        const QByteArray n = QByteArray::number(i);
        text += "path" + n + "=" + files.at(i).path.toUtf8() + "\r\npathlocal" + n + "=C:/scenes/"
            + files.at(i).path.toUtf8() + "\r\npathsize" + n + "=" + QByteArray::number(files.at(i).size) + "\r\n";
    }
    return text;
}

// Base files and listed files of a job, all complete, in the upload folder.
bool writeUploadedJob(const QString& uploadDir, const QString& name, const QVector<FarmFileEntry>& files)
{
    bool ok = writeBytes(uploadDir + "/" + name, "scene package") && writeBytes(uploadDir + "/" + name + ".jpg", "jpg")
        && writeBytes(uploadDir + "/" + name + ".cfg", cfgText(files));
    for (const FarmFileEntry& file : files)
        ok = ok && writeBytes(uploadDir + "/" + file.path, QByteArray(int(file.size), 'x'));
    return ok;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList dataTexts(const QVector<QJsonObject>& messages, const QString& key)
{
    QStringList texts;
    for (const QJsonObject& message : messages)
        texts << message.value("data")[key].toVariant().toString();
    return texts;
}

QJsonArray fileArray(const QVector<FarmFileEntry>& files)
{
    QJsonArray array;
    for (const FarmFileEntry& file : files)
        array.append(QJsonObject{{"file", file.path}, {"size", file.size}});
    return array;
}
} // namespace

class TstFarmSimJobs : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void storageLayout();
    void namesAndPaths_data();
    void namesAndPaths();
    void unsafeUserGetsNoStorage();
    void createDirsRefusesEscapes();
    void checkFiles_data();
    void checkFiles();
    void folderListings();
    void projectsListAndProgress();
    void generatedProjectsGoRoundTheStates_data();
    void generatedProjectsGoRoundTheStates();
    void pushesReachClient();
    void deleteProjectRemovesFiles();
    void submittedJobRendersFrames();
    void pauseHaltsRendering();
    void manualRendering();
    void downloadReportsPackAndOverlay();
    void uploadBookkeepingAndTextures();
    void programRendersIntoStorage();

private:
    QString upload() const { return sim->uploadDir("alice"); }
    // Uploads, checks and submits `name` with two textures; returns the id.
    QString submit(Client& client, const QString& name);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FarmSimulator> sim;
};

void TstFarmSimJobs::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    sim = std::make_unique<FarmSimulator>();
    FarmAccounts accounts;
    QVERIFY(FarmAccounts::fromJson(kAccounts, accounts));
    sim->setAccounts(accounts);
    sim->setStorageRoot(dir->filePath("storage"));
    sim->setRenderPace(0);
    QVERIFY2(sim->listen(), qPrintable(sim->errorString()));
}

void TstFarmSimJobs::cleanup()
{
    sim.reset();
    dir.reset();
}

QString TstFarmSimJobs::submit(Client& client, const QString& name)
{
    const QVector<FarmFileEntry> files{{"tex/wood.png", 5}, {"tex/maps/stone.png", 7}};
    if (!writeUploadedJob(upload(), name, files))
        return QString();
    const QJsonObject custom{{"scene", name}};
    if (!client.request("checkFiles", {{"scene", name}, {"uploadMethod", "FTP"}, {"error", false}}, custom)
             .value("data")["result"].toBool())
        return QString();
    client.request("setuploadchecked", {{"scene", name}, {"custom", "VK"}, {"serverNumberUpload", 1}}, custom);
    return client.request("addjob", {{"prio", 1}, {"pack", "metered"}, {"scene", name}}, custom)
        .value("data")["id"].toString();
}

void TstFarmSimJobs::storageLayout()
{
    const QString root = dir->filePath("storage");
    QCOMPARE(sim->storageRoot(), root);
    QCOMPARE(sim->uploadDir("alice"), root + "/upload/alice");
    QCOMPARE(sim->outputDir("alice", "Job A"), root + "/output/alice/Job A");
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QVERIFY(QFileInfo(root + "/upload/alice").isDir());
    QVERIFY(QFileInfo(root + "/output/alice").isDir());
    QCOMPARE(sim->userState("alice")->uploadDir(), root + "/upload/alice");
}

void TstFarmSimJobs::namesAndPaths_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("safeName");
    QTest::addColumn<bool>("safePath");
    QTest::newRow("plain") << "Job A" << true << true;
    QTest::newRow("dots inside") << "a..b" << true << true;
    QTest::newRow("colon") << "a:b" << true << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("dot") << "." << false << false;
    QTest::newRow("dot dot") << ".." << false << false;
    QTest::newRow("slash") << "tex/a.png" << false << true;
    QTest::newRow("backslash") << "tex\\a.png" << false << false;
    QTest::newRow("control character") << QString("a\x01") + "b" << false << false;
    QTest::newRow("new line") << "a\nb" << false << false;
    QTest::newRow("climbing") << "tex/../../x" << false << false;
    QTest::newRow("absolute") << "/etc/passwd" << false << false;
    QTest::newRow("drive letter") << "C:/x" << false << false;
    QTest::newRow("double slash") << "tex//a" << false << false;
    QTest::newRow("trailing slash") << "tex/" << false << false;
}

void TstFarmSimJobs::namesAndPaths()
{
    QFETCH(QString, text);
    QFETCH(bool, safeName);
    QFETCH(bool, safePath);
    QCOMPARE(FarmStorage::isSafeName(text), safeName);
    QCOMPARE(FarmStorage::isSafeRelativePath(text), safePath);
    QCOMPARE(sim->uploadDir(text).isEmpty(), !safeName);
    QCOMPARE(sim->outputDir("alice", text).isEmpty(), !safeName);
}

void TstFarmSimJobs::unsafeUserGetsNoStorage()
{
    for (const QString user : {"..", "a/b", "."}) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be a folder name"));
        const FarmUserState* state = sim->ensureUserState(user);
        QVERIFY(state->uploadDir().isEmpty());
        QVERIFY(state->outputDir().isEmpty());
        QVERIFY(state->jobOutputDir("Job").isEmpty());
    }
    sim->ensureUserState("alice");
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"storage"});
    QCOMPARE(QDir(dir->filePath("storage/upload")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"alice"});
}

void TstFarmSimJobs::createDirsRefusesEscapes()
{
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    const QJsonObject answer = client.request(
        "createDirs", {{"dirs", QJsonArray{"tex/maps", "../evil", "/abs", "a\\b", "C:/x", "tex/../../evil2"}},
                       {"serverNumberUpload", 1}, {"scene", "Job"}},
        QJsonObject{{"scene", "Job"}});
    QCOMPARE(answer.value("custom").toObject(), (QJsonObject{{"scene", "Job"}}));
    QCOMPARE(answer.value("data")["result"], QJsonValue(false));
    QCOMPARE(answer.value("data")["errors"].toString().split('\n'),
             (QStringList{"refused path: ../evil", "refused path: /abs", "refused path: a\\b", "refused path: C:/x",
                          "refused path: tex/../../evil2"}));
    QVERIFY(QFileInfo(upload() + "/tex/maps").isDir());
    QCOMPARE(QDir(upload()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"tex"});
    QCOMPARE(QDir(dir->filePath("storage/upload")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"alice"});
    QCOMPARE(client.request("createDirs", {{"dirs", QJsonArray{"assets/a", "assets/b"}}}).value("data").toObject(),
             (QJsonObject{{"result", true}, {"errors", ""}}));
}

void TstFarmSimJobs::checkFiles_data()
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

void TstFarmSimJobs::checkFiles()
{
    QFETCH(bool, withScene);
    QFETCH(qint64, textureOnDisk);
    QFETCH(QString, extraCfgPath);
    QFETCH(QStringList, errors);
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));

    QVector<FarmFileEntry> listed{{"tex/wood.png", 5}, {"model/house.abc", 11}};
    if (!extraCfgPath.isEmpty())
        listed.append({extraCfgPath, 1});
    QVERIFY(writeBytes(upload() + "/Job A.cfg", cfgText(listed)));
    QVERIFY(writeBytes(upload() + "/model/house.abc", "11 bytes..."));
    QVERIFY(writeBytes(dir->filePath("storage/upload/outside.txt"), "x")); // reachable only through ".."
    if (withScene)
        QVERIFY(writeBytes(upload() + "/Job A", "scene"));
    if (textureOnDisk >= 0)
        QVERIFY(writeBytes(upload() + "/tex/wood.png", QByteArray(int(textureOnDisk), 't')));
    QVERIFY(writeBytes(upload() + "/Job A.ischecked", "")); // an earlier check

    const QJsonObject answer = client.request(
        "checkFiles", {{"scene", "Job A"}, {"uploadMethod", "SFTP"}, {"error", false}, {"serverNumberUpload", 1}},
        QJsonObject{{"scene", "Job A"}});
    QCOMPARE(answer.value("custom")["scene"].toString(), QString("Job A"));
    QCOMPARE(answer.value("data")["result"].toBool(), errors.isEmpty());
    QCOMPARE(answer.value("data")["errors"].toString(), errors.join('\n'));
    QCOMPARE(QFileInfo::exists(upload() + "/Job A.ischecked"), errors.isEmpty());
}

void TstFarmSimJobs::folderListings()
{
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QVERIFY(writeUploadedJob(upload(), "Job A", {{"tex/wood.png", 5}, {"tex/maps/stone.png", 7}}));
    QVERIFY(client.request("checkFiles", {{"scene", "Job A"}}).value("data")["result"].toBool());

    const QJsonObject listing =
        client.request("getProjectFolderContents",
                       {{"size", true}, {"serverNumberUpload", 2}, {"custom", QJsonObject{{"serverNumberUpload", 2}}}});
    QCOMPARE(listing.value("serverNumberUpload"), QJsonValue(2));
    QVERIFY(!listing.contains("custom"));
    QCOMPARE(listing.value("data").toArray(),
             fileArray({{"Job A", 13}, {"Job A.cfg", cfgText({{"tex/wood.png", 5}, {"tex/maps/stone.png", 7}}).size()},
                        {"Job A.ischecked", 0}, {"Job A.jpg", 3}}));

    const QJsonObject custom{{"scene", "Job A"}};
    const QJsonObject tex = client.request("getTexFolderContents", {{"size", true}, {"scene", "Job A"}}, custom);
    QCOMPARE(tex.value("custom").toObject(), custom);
    QCOMPARE(tex.value("data")["files"].toArray(), fileArray({{"maps/stone.png", 7}, {"wood.png", 5}}));

    const QJsonObject texFiles =
        client.request("getTexFiles", {{"size", true}, {"serverNumberUpload", 1}}, QJsonObject{{"appTexRequest", true}});
    QCOMPARE(texFiles.value("custom")["appTexRequest"], QJsonValue(true));
    QCOMPARE(texFiles.value("data")["files"].toObject(), (QJsonObject{{"tex/maps/stone.png", 7}, {"tex/wood.png", 5}}));
}

void TstFarmSimJobs::projectsListAndProgress()
{
    const QString idA = sim->addProject("alice", "Job A", "QUEUED");
    const QString idB = sim->addProject("alice", "Job B", "ERROR_REND");
    QVERIFY(idA != idB && !idA.isEmpty());
    FarmProject* b = sim->project("alice", "Job B");
    b->teamId = 12;
    b->isPaid = false;
    b->isTrial = true;
    b->downloadEnabled = false;
    b->serverDownload = 2;
    b->restartDownloadCount = 3;
    b->errorText = "engine crashed";

    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    const QJsonObject answer =
        client.request("getProjectStates", {{"custom", QJsonObject{{"info", "slot"}}}, {"client_type", "kite"}});
    const QJsonArray projects = answer.value("data")["projects"].toArray();
    QCOMPARE(projects.size(), 2);
    QCOMPARE(projects.at(0).toObject(),
             (QJsonObject{{"name", "Job A"}, {"id", idA}, {"status", "QUEUED"}, {"teamid", "0"}, {"isTrial", false},
                          {"isPaid", true}, {"download_enabled", true}, {"queued", true}, {"server_download", 1},
                          {"restartDownloadCount", 0}, {"error_text", ""}}));
    QCOMPARE(projects.at(1).toObject(),
             (QJsonObject{{"name", "Job B"}, {"id", idB}, {"status", "ERROR_REND"}, {"teamid", "12"},
                          {"isTrial", true}, {"isPaid", false}, {"download_enabled", false}, {"queued", false},
                          {"server_download", 2}, {"restartDownloadCount", 3}, {"error_text", "engine crashed"}}));

    // By id, by name; an unknown project is not answered.
    QCOMPARE(client.request("getProgressInfos", {{"id", idA}, {"scene", "other"}}).value("data").toObject(),
             (QJsonObject{{"id", idA}, {"scene", "Job A"}, {"State", "QUEUED"}, {"started", "0"}, {"engines", "0"},
                          {"ispaid", "1"}, {"paused", false}, {"progress", "0"}}));
    QCOMPARE(client.request("getProgressInfos", {{"scene", "Job B"}}).value("data")["ispaid"].toString(), QString("0"));
    int before = client.messages.size();
    client.send("getProgressInfos", {{"id", "999999"}, {"scene", "nope"}});
    QCOMPARE(client.request("getRenderpoints", {}).value("action").toString(), QString("getRenderpoints"));
    QCOMPARE(client.indexOf("getProgressInfos", before), -1);

    // An answer the farm loses: recorded, not answered, until switched back.
    sim->setUnanswered("getProjectStates");
    before = client.messages.size();
    client.send("getProjectStates", {{"client_type", "kite"}});
    QCOMPARE(client.request("getRenderpoints", {}).value("action").toString(), QString("getRenderpoints"));
    QCOMPARE(client.indexOf("getProjectStates", before), -1);
    QCOMPARE(sim->receivedCount("getProjectStates"), 2);
    sim->setUnanswered("getProjectStates", false);
    QCOMPARE(client.request("getProjectStates", {}).value("data")["projects"].toArray().size(), 2);
}

void TstFarmSimJobs::generatedProjectsGoRoundTheStates_data()
{
    QTest::addColumn<QVector<int>>("batches");
    QTest::addColumn<QStringList>("statuses");
    QTest::newRow("none") << QVector<int>{0} << QStringList();
    QTest::newRow("one") << QVector<int>{1} << QStringList{"QUEUED"};
    QTest::newRow("six") << QVector<int>{6}
                         << QStringList{"QUEUED", "RENDERING", "RENDERED", "PAUSED", "QUEUED", "RENDERING"};
    QTest::newRow("two batches go on") << QVector<int>{3, 2}
                                       << QStringList{"QUEUED", "RENDERING", "RENDERED", "PAUSED", "QUEUED"};
}

void TstFarmSimJobs::generatedProjectsGoRoundTheStates()
{
    QFETCH(QVector<int>, batches);
    QFETCH(QStringList, statuses);
    sim->addProject("alice", "own job", "QUEUED");
    for (int count : batches)
        QCOMPARE(sim->addProjects("alice", count), count);

    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QJsonArray projects =
        client.request("getProjectStates", {{"client_type", "kite"}}).value("data")["projects"].toArray();
    QCOMPARE(projects.size(), statuses.size() + 1);
    const QStringList fields = projects.takeAt(0).toObject().keys();
    QSet<QString> ids{sim->project("alice", "own job")->id};
    for (int i = 0; i < statuses.size(); ++i) {
        const QJsonObject project = projects.at(i).toObject();
        QCOMPARE(project.keys(), fields);
        QCOMPARE(project.value("name").toString(), QString::asprintf("project%05d", i + 1));
        QCOMPARE(project.value("status").toString(), statuses.at(i));
        QCOMPARE(project.value("queued").toBool(), statuses.at(i) == "QUEUED");
        ids << project.value("id").toString();
    }
    QCOMPARE(ids.size(), statuses.size() + 1);
    // Nothing renders: the rendered ones are complete, the others stay where they are.
    if (statuses.size() >= 3) {
        QCOMPARE(client.request("getProgressInfos", {{"scene", "project00003"}}).value("data")["progress"],
                 QJsonValue("100"));
        QCOMPARE(client.request("getProgressInfos", {{"scene", "project00002"}}).value("data")["progress"],
                 QJsonValue("0"));
    }
    QVERIFY(client.withAction("jobStateChange").isEmpty());
}

void TstFarmSimJobs::pushesReachClient()
{
    const QString id = sim->addProject("alice", "Job A", "RENDERING");
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QSignalSpy changed(sim.get(), &FarmSimulator::projectStatusChanged);
    QVERIFY(sim->setProjectStatus("alice", "Job A", "PAUSED"));
    QVERIFY(!sim->setProjectStatus("alice", "nope", "PAUSED"));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0), (QVariantList{"alice", "Job A", "PAUSED"}));
    QCOMPARE(sim->pushFrameStateChange("alice", "Job A", 3), 1);
    QCOMPARE(sim->pushProjectUploading("alice", "Job U"), 1);
    QCOMPARE(sim->pushOutOfPoints("alice"), 1);
    QCOMPARE(sim->pushAutoupdateSignal("alice", 30), 1);
    QCOMPARE(sim->pushOutOfPoints("bob"), 0);
    QTRY_COMPARE(client.messages.size(), 6);
    QCOMPARE(client.messages.at(1), (QJsonObject{{"action", "jobStateChange"},
                                                 {"data", QJsonObject{{"jobid", id}, {"state", "PAUSED"}}}}));
    QCOMPARE(client.messages.at(2),
             (QJsonObject{{"action", "frameStateChange"},
                          {"data", QJsonObject{{"jobid", id}, {"id", id}, {"scene", "Job A"}, {"frame", 3},
                                               {"state", "RENDERED"}}}}));
    QCOMPARE(client.messages.at(3),
             (QJsonObject{{"action", "projectUploading"}, {"data", QJsonObject{{"scene", "Job U"}}}}));
    QCOMPARE(client.messages.at(4), (QJsonObject{{"action", "jobOutOfPoints"}, {"data", QJsonObject()}}));
    QCOMPARE(client.messages.at(5),
             (QJsonObject{{"action", "autoupdatesignal"}, {"data", QJsonObject{{"time", 30}}}}));
    QCOMPARE(sim->project("alice", "Job A")->status, QString("PAUSED"));
}

void TstFarmSimJobs::deleteProjectRemovesFiles()
{
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QVERIFY(!submit(client, "Job A").isEmpty());
    QVERIFY(writeUploadedJob(upload(), "Job B", {{"tex/wood.png", 5}}));
    QTRY_COMPARE(sim->project("alice", "Job A")->status, QString("RENDERED"));
    QVERIFY(QFileInfo(sim->outputDir("alice", "Job A")).isDir());

    QVERIFY(!sim->deleteProject("alice", "nope"));
    QVERIFY(sim->deleteProject("alice", "Job A"));
    const QJsonObject pushed = client.waitFor("projectDeleted");
    QCOMPARE(pushed.value("data").toObject(), (QJsonObject{{"scene", "Job A"}}));
    QCOMPARE(sim->projectNames("alice"), QStringList());
    QVERIFY(!QFileInfo::exists(sim->outputDir("alice", "Job A")));
    // Shared textures and the other job's files stay.
    QCOMPARE(QDir(upload()).entryList(QDir::Files), (QStringList{"Job B", "Job B.cfg", "Job B.jpg"}));
    QVERIFY(QFileInfo::exists(upload() + "/tex/wood.png"));
}

void TstFarmSimJobs::submittedJobRendersFrames()
{
    sim->setFrameCount(3);
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QSignalSpy frames(sim.get(), &FarmSimulator::frameRendered);
    const int from = client.messages.size();
    const QString id = submit(client, "Job A");
    QVERIFY(!id.isEmpty());
    QVERIFY(!client.waitFor("addjob", from).value("data")["server_download"].isUndefined());
    QTRY_COMPARE(sim->project("alice", "Job A")->status, QString("RENDERED"));
    QTRY_COMPARE(client.withAction("jobStateChange").size(), 4);

    // The answer comes before the events it causes.
    QVERIFY(client.indexOf("addjob", from) < client.indexOf("jobStateChange", from));
    QCOMPARE(dataTexts(client.withAction("jobStateChange"), "state"),
             (QStringList{"RENDERABLE", "QUEUED", "RENDERING", "RENDERED"}));
    QCOMPARE(dataTexts(client.withAction("jobStateChange"), "jobid"), (QStringList{id, id, id, id}));
    QCOMPARE(dataTexts(client.withAction("frameStateChange"), "frame"), (QStringList{"1", "2", "3"}));
    QCOMPARE(frames.size(), 3);
    QVERIFY(client.indexOf("frameStateChange") > client.indexOf("jobStateChange", client.indexOf("addjob")));

    // Frames of known size and content, some in a sub-folder.
    const QString output = sim->outputDir("alice", "Job A");
    const QVector<FarmFileEntry> expected = FarmRenderer::outputFiles(3);
    QCOMPARE(expected.size(), 6);
    QCOMPARE(FarmStorage::listFiles(output, true), expected);
    for (const FarmFileEntry& file : expected)
        QCOMPARE(readAll(output + "/" + file.path), FarmRenderer::fileContent("Job A", file.path, file.size));
    QVERIFY(FarmRenderer::fileContent("Job A", "frame_0001.png", 64)
            != FarmRenderer::fileContent("Job B", "frame_0001.png", 64));

    const QJsonObject custom{{"scene", "Job A"}};
    const QJsonObject listing = client.request("getOutputDir", {{"scene", "Job A"}, {"size", true}}, custom);
    QCOMPARE(listing.value("custom").toObject(), custom);
    QCOMPARE(listing.value("data")["folders"].toArray(), (QJsonArray{QJsonObject{{"file", "passes"}}}));
    QCOMPARE(listing.value("data")["files"].toArray(), fileArray(expected));
    QCOMPARE(client.request("getOutputDir", {{"scene", "../alice"}}).value("data").toObject(),
             (QJsonObject{{"folders", QJsonArray()}, {"files", QJsonArray()}}));

    QCOMPARE(client.request("getProgressInfos", {{"id", id}, {"scene", "Job A"}}).value("data").toObject(),
             (QJsonObject{{"id", id}, {"scene", "Job A"}, {"State", "RENDERED"}, {"started", "3"}, {"engines", "3"},
                          {"ispaid", "1"}, {"paused", false}, {"progress", "100"}}));
}

void TstFarmSimJobs::pauseHaltsRendering()
{
    sim->setRenderPace(10);
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QSignalSpy frames(sim.get(), &FarmSimulator::frameRendered);
    connect(sim.get(), &FarmSimulator::frameRendered, this, [this](const QString& user, const QString& name, int frame) {
        if (frame == 1)
            sim->setProjectStatus(user, name, "PAUSED");
    });
    const QString id = submit(client, "Job A");
    QTRY_COMPARE(frames.size(), 1);
    const FarmRenderer* renderer = sim->userState("alice")->renderer("Job A");
    QVERIFY(renderer);
    QVERIFY(!renderer->isRunning());
    QCOMPARE(client.request("getProgressInfos", {{"id", id}}).value("data").toObject(),
             (QJsonObject{{"id", id}, {"scene", "Job A"}, {"State", "PAUSED"}, {"started", "1"}, {"engines", "4"},
                          {"ispaid", "1"}, {"paused", true}, {"progress", "25"}}));

    QVERIFY(sim->setProjectStatus("alice", "Job A", "RENDERING"));
    QTRY_COMPARE(sim->project("alice", "Job A")->status, QString("RENDERED"));
    QCOMPARE(frames.size(), 4);
    QTRY_COMPARE(dataTexts(client.withAction("jobStateChange"), "state"),
                 (QStringList{"RENDERABLE", "QUEUED", "RENDERING", "PAUSED", "RENDERING", "RENDERED"}));
    QTRY_VERIFY(!sim->userState("alice")->renderer("Job A"));
}

void TstFarmSimJobs::manualRendering()
{
    sim->setAutoRender(false);
    sim->setFrameCount(1);
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QVERIFY(!submit(client, "Job A").isEmpty());
    client.waitFor("jobStateChange");
    QCOMPARE(sim->project("alice", "Job A")->status, QString("RENDERABLE"));
    QVERIFY(!sim->userState("alice")->renderer("Job A"));
    QVERIFY(!sim->startRendering("alice", "nope"));
    QVERIFY(sim->startRendering("alice", "Job A"));
    QTRY_COMPARE(sim->project("alice", "Job A")->status, QString("RENDERED"));
    QCOMPARE(FarmStorage::listFiles(sim->outputDir("alice", "Job A"), true), FarmRenderer::outputFiles(1));
}

void TstFarmSimJobs::downloadReportsPackAndOverlay()
{
    sim->setFrameCount(1);
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    QVERIFY(!submit(client, "Job A").isEmpty());
    QTRY_COMPARE(sim->project("alice", "Job A")->status, QString("RENDERED"));

    const QJsonObject custom{{"scene", "Job A"}};
    QJsonObject answer = client.request("setDownloadProgress", {{"scene", "Job A"}, {"progress", 40}}, custom);
    QCOMPARE(answer.value("data").toObject(), (QJsonObject{{"result", true}}));
    QCOMPARE(answer.value("custom").toObject(), custom);
    QCOMPARE(sim->project("alice", "Job A")->downloadProgress, 40);
    QVERIFY(!sim->project("alice", "Job A")->downloadComplete);
    client.request("setDownloadComplete", {{"scene", "Job A"}, {"progress", 100}, {"server_download", 1}}, custom);
    QCOMPARE(sim->project("alice", "Job A")->downloadProgress, 100);
    QVERIFY(sim->project("alice", "Job A")->downloadComplete);
    QCOMPARE(client.request("setDownloadComplete", {{"scene", "nope"}}).value("data")["result"], QJsonValue(false));

    QCOMPARE(client.request("pack", {{"scene", "Job A"}, {"picture", "passes"}}).value("data")["result"],
             QJsonValue(true));
    QCOMPARE(client.request("pack", {{"scene", "Job A"}, {"picture", "../Job A/frame_0001.png"}})
                 .value("data")["result"],
             QJsonValue(false));

    answer = client.request("generateOverlay", {{"scene", "Job A"}, {"picture", "frame_0001.png"}}, custom);
    QCOMPARE(answer.value("data").toObject(),
             (QJsonObject{{"result", true}, {"filename", "frame_0001_overlaid.png"}}));
    const QString output = sim->outputDir("alice", "Job A");
    QCOMPARE(readAll(output + "/frame_0001_overlaid.png"),
             readAll(output + "/frame_0001.png") + QByteArray("OVERLAY"));
    QCOMPARE(client.request("generateOverlay", {{"scene", "Job A"}, {"picture", "missing.png"}})
                 .value("data")
                 .toObject(),
             (QJsonObject{{"result", false}, {"filename", ""}}));
    QCOMPARE(sim->receivedCount("generateOverlay"), 2);
}

void TstFarmSimJobs::uploadBookkeepingAndTextures()
{
    Client client;
    QVERIFY(client.login(sim->socketUrl("alice")));
    const QJsonObject custom{{"scene", "Job T"}};
    QCOMPARE(client.request("setuploadstarted", {{"scene", "Job T"}, {"serverNumberUpload", 1}, {"teamid", 7}}, custom)
                 .value("data")
                 .toObject(),
             (QJsonObject{{"result", true}}));
    client.send("setUploadProgress", {{"scene", "Job T"}, {"progress", 42}}, custom);
    QTRY_COMPARE(sim->userState("alice")->uploadProgress.value("Job T"), 42);
    QCOMPARE(sim->projectNames("alice"), QStringList());
    QVERIFY(writeUploadedJob(upload(), "Job T", {{"tex/wood.png", 5}}));
    QVERIFY(client.request("checkFiles", {{"scene", "Job T"}}).value("data")["result"].toBool());
    client.request("setuploadchecked", {{"scene", "Job T"}, {"custom", "VK"}}, custom);
    QCOMPARE(sim->projectNames("alice"), QStringList{"Job T"});
    QCOMPARE(sim->project("alice", "Job T")->status, QString("RENDERABLE"));
    QCOMPARE(sim->project("alice", "Job T")->teamId, 7);

    const QString md5 =
        QString::fromLatin1(QCryptographicHash::hash(QByteArray(5, 'x'), QCryptographicHash::Md5).toHex());
    QCOMPARE(client.request("textureCacheLookup", {{"checksum", md5}}).value("data").toObject(),
             (QJsonObject{{"onlinePath", "tex/wood.png"}, {"checksum", md5}, {"result", "found"}}));
    sim->addCachedTexture("abc123", "cache/abc123.png");
    QCOMPARE(client.request("textureCacheLookup", {{"checksum", "abc123"}}).value("data")["onlinePath"].toString(),
             QString("cache/abc123.png"));
    QCOMPARE(client.request("textureCacheLookup", {{"checksum", "0000"}}).value("data").toObject(),
             (QJsonObject{{"onlinePath", ""}, {"checksum", "0000"}, {"result", "notfound"}}));

    QCOMPARE(client.request("unpack", {{"scene", "Job T"}, {"picture", "tex/wood.png"}}).value("data")["result"],
             QJsonValue(true));
    QCOMPARE(client.request("unpack", {{"scene", "Job T"}, {"picture", "../alice/Job T"}}).value("data")["result"],
             QJsonValue(false));
}

void TstFarmSimJobs::programRendersIntoStorage()
{
    const QString program = QCoreApplication::applicationDirPath() + "/farmsim";
    if (!QFileInfo::exists(program))
        QSKIP("farmsim is not built next to the test");
    QFile accounts(dir->filePath("accounts.json"));
    QVERIFY(accounts.open(QIODevice::WriteOnly));
    accounts.write(kAccounts);
    accounts.close();
    const QString storage = dir->filePath("program-storage");

    for (const QStringList& bad : {QStringList{"--pace-ms", "-1"}, QStringList{"--frames", "two"}}) {
        QProcess refused;
        refused.start(program, QStringList{"--accounts", accounts.fileName()} + bad);
        QVERIFY(refused.waitForFinished(10000));
        QCOMPARE(refused.exitCode(), 2);
    }

    QProcess farmsim;
    farmsim.start(program, {"--listen", "127.0.0.1:0", "--accounts", accounts.fileName(), "--storage", storage,
                            "--pace-ms", "0", "--frames", "2"});
    QTRY_VERIFY_WITH_TIMEOUT(farmsim.canReadLine(), 10000);
    const QString url = QString::fromUtf8(farmsim.readLine()).trimmed().mid(13);
    Client client;
    QVERIFY(client.login(QUrl(url + "/queue/socket?username=alice")));
    QVERIFY(QFileInfo(storage + "/upload/alice").isDir());
    const QString uploadDir = storage + "/upload/alice";
    QVERIFY(writeUploadedJob(uploadDir, "Job P", {{"tex/wood.png", 5}}));
    QVERIFY(client.request("checkFiles", {{"scene", "Job P"}}).value("data")["result"].toBool());
    QVERIFY(!client.request("addjob", {{"scene", "Job P"}, {"prio", 0}}).value("data")["id"].toString().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(dataTexts(client.withAction("jobStateChange"), "state").contains("RENDERED"), 10000);
    QCOMPARE(FarmStorage::listFiles(storage + "/output/alice/Job P", true), FarmRenderer::outputFiles(2));
    farmsim.terminate();
    QVERIFY(farmsim.waitForFinished(10000));
    QCOMPARE(farmsim.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TstFarmSimJobs)
#include "tst_farmsim_jobs.moc"
