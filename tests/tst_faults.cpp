#include "dialogs/errormessagedialog.h"
#include "farmproject.h"
#include "farmrenderer.h"
#include "farmsimulator.h"
#include "farmstorage.h"
#include "jobs/kiteproject.h"
#include "loginkeeper.h"
#include "net/kitewebsocketconnection.h"
#include "net/pendinganswers.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "standindownloader.h"
#include "standinuploader.h"
#include "support/clientfixture.h"
#include "support/testfiles.h"

#include <QAction>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {
using namespace TestFiles;
const QString kUser = QStringLiteral("anna");
const QString kPassword = QStringLiteral("anna-pass-4711");
constexpr int kFrames = 3;
constexpr int kWaitMs = 60000;

// How a fault takes the server away from the client.
enum class Drop { Close, Abort, Restart };
// How a job's upload ends before its end.
enum class Stop { Pause, Delete, ConnectionDropped };
} // namespace

Q_DECLARE_METATYPE(Drop)
Q_DECLARE_METATYPE(Stop)

// Faults injected into a running client: a server that drops the connection
// in every phase of a job, a server that never finishes the WebSocket
// handshake, hostile messages.
class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void jobSurvivesDropsInEveryPhase_data();
    void jobSurvivesDropsInEveryPhase();
    void lostAnswerIsAskedForAgain_data();
    void lostAnswerIsAskedForAgain();
    void sharedTextureStaysWhole_data();
    void sharedTextureStaysWhole();
    void unwritableOutputIsReportedAndRecovers_data();
    void unwritableOutputIsReportedAndRecovers();
    void unwritableApplicationDirectoryKeepsJobsGoing();
    void readOnlyProjectsFolderLosesNoLine();
    void unfinishedHandshakeTimesOut();
    void silentServerIsTakenAsGone();
    void hostileMessagesLeaveClientWorking_data();
    void hostileMessagesLeaveClientWorking();
    void wrongTypesInEveryMemberLeaveClientWorking();

private:
    bool startAndLogIn();
    QString userFolder() const { return m_client->projectsFolder() + QLatin1Char('/') + kUser; }
    void exportJob(const QString& name);
    void writeSubmittedCfg(const QString& name);
    void refresh() { QVERIFY(m_client->refresh()); }
    KiteProject* job(const QString& name) const { return m_client->job(name); }
    void drop(Drop how);
    void verifyFinished(const QString& name, int addjobs = 1);
    void setUserFolderWritable(bool writable);
    bool roundTripWorks(const QString& probe);
    bool dispatchWorks();
    bool loggedInAgain();

    std::unique_ptr<ClientFixture> m_client;
    std::unique_ptr<StandInUploader> m_uploader;
    std::unique_ptr<StandInDownloader> m_downloader;
    std::unique_ptr<LoginKeeper> m_keeper;
    QString m_hostOut;
    std::unique_ptr<QTextStream> m_hostStream;
    QTemporaryDir m_storage;
    QHash<QString, QByteArray> m_exported; // local path -> bytes
    quint32 m_seed = 7;
    QElapsedTimer m_relogin;
};

void TestFaults::init()
{
    QVERIFY(m_storage.isValid());
    QDir(m_storage.path()).removeRecursively();
    QDir().mkpath(m_storage.path());
    m_exported.clear();
    m_client = std::make_unique<ClientFixture>();
    FarmAccount account;
    account.user = kUser;
    account.password = kPassword;
    account.renderPoints = 100;
    m_client->simulator.accounts().insert(account);
    m_client->simulator.setStorageRoot(m_storage.path());
    m_client->simulator.setAutoRender(false);
    m_client->simulator.setFrameCount(kFrames);
    m_client->simulator.setRenderPace(50);
}

void TestFaults::cleanup()
{
    if (m_keeper)
        m_keeper->stop();
    m_keeper.reset();
    m_uploader.reset();
    m_downloader.reset();
    m_client.reset();
    m_hostStream.reset();
}

bool TestFaults::startAndLogIn()
{
    if (!m_client->start(ClientFixture::Options()))
        return false;
    m_client->settings->password = kPassword;
    // Pings every 2 s: a connection whose end the system never reports is
    // given up within the waits of these tests.
    m_client->plugin->pingTimer->start(2000);
    m_uploader = std::make_unique<StandInUploader>(m_client->plugin, m_client->settings, m_storage.path());
    m_uploader->setChunkBytes(32 * 1024);
    m_uploader->setPaceMs(5);
    m_uploader->setRetryDelayMs(200);
    m_downloader = std::make_unique<StandInDownloader>(m_client->plugin, m_client->settings, m_storage.path());
    m_downloader->setChunkBytes(4 * 1024);
    m_downloader->setPaceMs(5);
    connect(m_client->plugin, SIGNAL(UploadJobSignal()), m_uploader.get(), SLOT(uploadJobSlot()));
    connect(m_client->plugin, SIGNAL(downloadJobSignal()), m_downloader.get(), SLOT(downloadJobSlot()));
    // The host's back-off after a lost connection, shortened.
    m_hostStream = std::make_unique<QTextStream>(&m_hostOut);
    m_keeper = std::make_unique<LoginKeeper>(m_client->plugin, m_client->settings, *m_hostStream);
    m_keeper->setFirstRetryDelay(100);

    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_keeper->login();
    if (!success.wait(10000) || success.first().first().toInt() != 0)
        return false;
    QDir().mkpath(userFolder());
    return m_client->settings->loggedIn;
}

void TestFaults::exportJob(const QString& name)
{
    const QList<QPair<QString, int>> files{{QStringLiteral("tex/a.png"), 300 * 1024},
                                           {QStringLiteral("tex/b.png"), 90 * 1024}};
    QStringList lines{QStringLiteral("renderer=vray"), QStringLiteral("program=max"), QStringLiteral("autostart=1"),
                      QStringLiteral("prio=2"), QStringLiteral("[files]"),
                      QStringLiteral("paths=%1").arg(files.size())};
    for (int i = 0; i < files.size(); ++i) {
        const QString local = userFolder() + QStringLiteral("/assets/") + QFileInfo(files.at(i).first).fileName();
        const QByteArray bytes = randomBytes(files.at(i).second, ++m_seed);
        QVERIFY(writeFile(local, bytes));
        m_exported.insert(files.at(i).first, bytes);
        lines << QStringLiteral("path%1=%2").arg(i).arg(files.at(i).first)
              << QStringLiteral("pathlocal%1=%2").arg(i).arg(local)
              << QStringLiteral("pathsize%1=%2").arg(i).arg(bytes.size());
    }
    const QByteArray scene = randomBytes(200 * 1024, ++m_seed);
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name, scene));
    m_exported.insert(name, scene);
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".jpg"), randomBytes(5000, ++m_seed)));
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"),
                      lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n"));
}

void TestFaults::writeSubmittedCfg(const QString& name)
{
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"),
                      "program=blender\r\nuploadfinished=true\r\nautostart=2\r\n"));
}

void TestFaults::drop(Drop how)
{
    FarmSimulator& sim = m_client->simulator;
    switch (how) {
    case Drop::Close:
        sim.closeUserConnections(kUser);
        break;
    case Drop::Abort:
        sim.abortUserConnections(kUser);
        break;
    case Drop::Restart:
        // The server goes away for a while and comes back on the same port.
        sim.stopListening();
        sim.abortUserConnections(kUser);
        QTimer::singleShot(700, &sim, [&sim] { sim.resumeListening(); });
        break;
    }
}

// Logged in on both sides; a client the server logged out (a failed login
// answer ends the session) logs in again, as the user would.
bool TestFaults::loggedInAgain()
{
    if (m_client->settings->loggedIn && m_client->simulator.isLoggedIn(kUser))
        return true;
    if (!m_client->settings->loggedIn && (!m_relogin.isValid() || m_relogin.elapsed() > 2000)) {
        m_keeper->login();
        m_relogin.start();
    }
    return false;
}

// A message the client understands is handled after the fault (pushed again
// while the client is not connected, e.g. after the server closed an
// oversized message's connection and the host is logging in again).
bool TestFaults::dispatchWorks()
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
bool TestFaults::roundTripWorks(const QString& probe)
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

void TestFaults::jobSurvivesDropsInEveryPhase_data()
{
    QTest::addColumn<Drop>("how");
    QTest::newRow("closed") << Drop::Close;
    QTest::newRow("aborted") << Drop::Abort;
    QTest::newRow("server restarted on its port") << Drop::Restart;
}

void TestFaults::jobSurvivesDropsInEveryPhase()
{
    QFETCH(Drop, how);
    const QString name = QStringLiteral("shot");
    m_client->simulator.setAutoRender(true);
    m_client->simulator.setRenderPace(150);
    QVERIFY(startAndLogIn());
    QSignalSpy logins(m_client->plugin, &PluginNetConnection::loginSuccessSignal);

    // One drop while the job uploads, one while it renders, one while it
    // downloads.
    bool droppedUpload = false, droppedRender = false, droppedDownload = false;
    connect(m_uploader.get(), &StandInUploader::bytesCopied, this, [&](KiteProject*, const QString&, qint64 position, qint64) {
        if (!droppedUpload && position > 0) {
            droppedUpload = true;
            QTimer::singleShot(0, this, [&] { drop(how); });
        }
    });
    connect(&m_client->simulator, &FarmSimulator::frameRendered, this, [&](const QString&, const QString&, int) {
        if (!droppedRender) {
            droppedRender = true;
            QTimer::singleShot(0, this, [&] { drop(how); });
        }
    });
    connect(m_downloader.get(), &StandInDownloader::bytesCopied, this,
            [&](KiteProject*, const QString&, qint64 position, qint64) {
                if (!droppedDownload && position > 0) {
                    droppedDownload = true;
                    QTimer::singleShot(0, this, [&] { drop(how); });
                }
            });

    exportJob(name);
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(job(name), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(job(name)->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kWaitMs);
    QVERIFY(droppedUpload);
    QVERIFY(droppedRender);
    QVERIFY(droppedDownload);
    QVERIFY2(logins.count() >= 3, qPrintable(m_hostOut));
    verifyFinished(name);
}

void TestFaults::verifyFinished(const QString& name, int addjobs)
{
    KiteProject* shot = job(name);
    QVERIFY(shot);
    // Every byte went up once the job was submitted...
    const QString uploadDir = m_client->simulator.uploadDir(kUser);
    for (auto it = m_exported.cbegin(); it != m_exported.cend(); ++it)
        QVERIFY2(readFile(uploadDir + QLatin1Char('/') + it.key()) == it.value(), qPrintable(it.key()));
    // ...and every frame came back.
    const QString local = shot->effectiveDownloadDir();
    for (const FarmFileEntry& frame : FarmRenderer::outputFiles(kFrames)) {
        const QByteArray expected = FarmRenderer::fileContent(name, frame.path, frame.size);
        QVERIFY2(readFile(local + QLatin1Char('/') + frame.path) == expected, qPrintable(frame.path));
    }
    // The cfg holds each mark once.
    const QByteArray cfg = readFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"));
    for (const char* line : {"\r\nuploadfinished=true", "\r\ndownloaded=true"})
        QVERIFY2(cfg.count(line) == 1, line);
    QCOMPARE(m_client->simulator.receivedCount(QStringLiteral("addjob")), addjobs);
}

void TestFaults::lostAnswerIsAskedForAgain_data()
{
    QTest::addColumn<QString>("action");
    for (const char* action : {"createDirs", "getTexFolderContents", "checkFiles", "addjob", "getOutputDir"})
        QTest::newRow(action) << QString::fromLatin1(action);
}

// The farm takes a request, the connection drops before the answer: the
// client asks again after its next login, and the job goes on.
void TestFaults::lostAnswerIsAskedForAgain()
{
    QFETCH(QString, action);
    const QString name = QStringLiteral("shot");
    m_client->simulator.setAutoRender(true);
    QVERIFY(startAndLogIn());
    m_client->simulator.setUnanswered(action);
    bool dropped = false;
    connect(&m_client->simulator, &FarmSimulator::messageReceived, this,
            [&](int, const QString&, const QString& received) {
                if (dropped || received != action)
                    return;
                dropped = true;
                QTimer::singleShot(0, this, [&] {
                    m_client->simulator.setUnanswered(action, false);
                    drop(Drop::Abort);
                });
            });

    exportJob(name);
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(job(name), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(job(name)->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kWaitMs);
    QVERIFY(dropped);
    QVERIFY(m_client->simulator.receivedCount(action) >= 2);
    QCOMPARE(m_client->plugin->pendingAnswers->unansweredCount(), 0);
    // A lost "addjob" is sent again (the farm never took it); any other
    // request once.
    verifyFinished(name, action == QLatin1String("addjob") ? 2 : 1);
}

void TestFaults::sharedTextureStaysWhole_data()
{
    QTest::addColumn<Stop>("stop");
    QTest::addColumn<bool>("plainUploader");
    for (bool plain : {false, true}) {
        const char* uploader = plain ? "plain uploader" : "careful uploader";
        QTest::addRow("late job paused, %s", uploader) << Stop::Pause << plain;
        QTest::addRow("late job deleted, %s", uploader) << Stop::Delete << plain;
        QTest::addRow("connection dropped, %s", uploader) << Stop::ConnectionDropped << plain;
    }
}

// Three jobs share a texture. One upload runs at a time, and a job that
// shares nothing runs while the three are listed: all three listings show
// the texture missing, and nobody sending it. The second of them to upload
// is stopped on its first chunk. Once a check has passed, the texture stays
// whole on the farm - whatever uploader sends the files - and every job is
// checked with it whole.
void TestFaults::sharedTextureStaysWhole()
{
    QFETCH(Stop, stop);
    QFETCH(bool, plainUploader);
    m_client->simulator.setAutoRender(true);
    QVERIFY(startAndLogIn());
    m_client->settings->maxRunningUploads = 1;
    m_uploader->setInPlaceRestarts(plainUploader);

    // The job in front, long enough to be running while the others are listed.
    const QString front = QStringLiteral("front");
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + front, randomBytes(2048 * 1024, ++m_seed)));
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + front + QStringLiteral(".cfg"), "renderer=vray\r\nautostart=1\r\n"));
    QSignalSpy frontStarted(m_uploader.get(), &StandInUploader::jobStarted);
    refresh();
    QVERIFY(frontStarted.wait(kWaitMs));

    const QString texture = QStringLiteral("tex/shared.exr");
    const QByteArray textureBytes = randomBytes(256 * 1024, ++m_seed);
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + texture, textureBytes));
    const QStringList names{QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")};
    for (const QString& name : names) {
        const QByteArray cfg = QStringLiteral("renderer=vray\r\nautostart=1\r\n[files]\r\npaths=1\r\npath0=%1\r\n"
                                              "pathlocal0=%2\r\npathsize0=%3\r\n")
                                   .arg(texture, userFolder() + QLatin1Char('/') + texture)
                                   .arg(textureBytes.size())
                                   .toUtf8();
        QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name, randomBytes(96 * 1024, ++m_seed)));
        QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"), cfg));
    }

    // What the farm holds of the texture, at every chunk the uploader writes
    // and at every check.
    const QString onFarm = m_client->simulator.uploadDir(kUser) + QLatin1Char('/') + texture;
    bool checked = false;
    QStringList damage;
    auto look = [&](const QString& when) {
        if (checked && readFile(onFarm) != textureBytes)
            damage << when + QStringLiteral(": %1 bytes").arg(QFileInfo(onFarm).size());
    };
    connect(&m_client->simulator, &FarmSimulator::messageReceived, this,
            [&](int index, const QString&, const QString& action) {
                if (action != QLatin1String("checkFiles"))
                    return;
                const QString scene = m_client->simulator.receivedMessages().at(index).object.value(
                    QStringLiteral("data")).toObject().value(QStringLiteral("scene")).toString();
                checked = checked || names.contains(scene);
                look(QStringLiteral("check of ") + scene);
            });
    int started = 0;
    QString late; // the second job the uploader takes
    connect(m_uploader.get(), &StandInUploader::jobStarted, this,
            [&](KiteProject* job) { started += names.contains(job->name); });
    connect(m_uploader.get(), &StandInUploader::bytesCopied, this,
            [&](KiteProject* uploading, const QString& path, qint64, qint64) {
                look(uploading->name + QStringLiteral(" writing ") + path);
                if (!late.isEmpty() || started != 2)
                    return;
                late = uploading->name;
                QPointer<KiteProject> target(uploading);
                QTimer::singleShot(0, this, [this, target, stop] {
                    KiteProject* late = target;
                    if (!late)
                        return;
                    if (stop == Stop::Pause) {
                        late->uploadPausedSwitchSlot();
                        QTimer::singleShot(300, late, [late] { late->uploadPausedSwitchSlot(); });
                    } else if (stop == Stop::Delete) {
                        emit late->deleteLocalJobSignal(late);
                    } else {
                        drop(Drop::Abort);
                    }
                });
            });

    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(m_client->simulator.receivedCount(QStringLiteral("getTexFolderContents")) >= 4, kWaitMs);
    QVERIFY(m_uploader->isRunning(job(front)));
    auto done = [&](const QString& name) {
        KiteProject* found = job(name);
        return found && found->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(!late.isEmpty(), kWaitMs);
    for (const QString& name : names) {
        if (name != late || stop != Stop::Delete)
            QTRY_VERIFY2_WITH_TIMEOUT(done(name), qPrintable(name), kWaitMs);
    }
    look(QStringLiteral("the end"));
    QVERIFY2(damage.isEmpty(), qPrintable(damage.join(QStringLiteral("; "))));
    QCOMPARE(readFile(onFarm), textureBytes);
    // The deleted job took its files along, not the texture the others list.
    QCOMPARE(QFileInfo::exists(userFolder() + QLatin1Char('/') + late + QStringLiteral(".cfg")), stop != Stop::Delete);
    QCOMPARE(readFile(userFolder() + QLatin1Char('/') + texture), textureBytes);
}

void TestFaults::unwritableOutputIsReportedAndRecovers_data()
{
    QTest::addColumn<bool>("diskFull"); // or a file where a folder of the output goes
    QTest::newRow("a file where a folder of the output goes") << false;
    QTest::newRow("disk full while a frame is written") << true;
}

// The job's output folder cannot take a file: the failed files are reported,
// the download ends in its error state without the "downloaded" mark and
// without touching what came down already; once the cause is gone the
// automatic retry fetches the rest.
void TestFaults::unwritableOutputIsReportedAndRecovers()
{
    QFETCH(bool, diskFull);
#ifdef Q_OS_WIN
    if (diskFull)
        QSKIP("Windows has no device that is always full");
#endif
    const QString name = QStringLiteral("shot");
    m_client->simulator.setAutoRender(true);
    QVERIFY(startAndLogIn());
    QSignalSpy failed(m_downloader.get(), &StandInDownloader::fileFailed);
    exportJob(name);
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(job(name) && QFileInfo(job(name)->effectiveDownloadDir()).isDir(), kWaitMs);
    KiteProject* shot = job(name);
    const QString local = shot->effectiveDownloadDir();

    // Root may write anywhere, so the folder is made unusable instead of
    // read-only: a file takes the place of a sub-folder, or a frame's name
    // leads to a full disk (every write fails with "no space left").
    const QVector<FarmFileEntry> frames = FarmRenderer::outputFiles(kFrames);
    QString blockedPath;
    for (const FarmFileEntry& frame : frames) {
        const bool nested = frame.path.contains(QLatin1Char('/'));
        if (nested != diskFull)
            blockedPath = frame.path;
    }
    QVERIFY(!blockedPath.isEmpty());
    const QString blockedName = blockedPath.section(QLatin1Char('/'), 0, 0); // the folder or the frame
    const QString obstacle = local + QLatin1Char('/') + blockedName;
    QVERIFY(diskFull ? QFile::link(QStringLiteral("/dev/full"), obstacle) : writeFile(obstacle, "not a folder"));

    QTRY_VERIFY_WITH_TIMEOUT(shot->hasDownloadError, kWaitMs);
    QVERIFY(shot->jobAction->text().contains(QStringLiteral("DOWNLOAD ERROR")));
    QVERIFY(!failed.isEmpty());
    QVERIFY(!readFile(userFolder() + QStringLiteral("/shot.cfg")).contains("\r\ndownloaded=true"));
    // What came down is whole; nothing else was written in its place.
    int whole = 0;
    for (const FarmFileEntry& frame : frames) {
        const QString path = local + QLatin1Char('/') + frame.path;
        if (frame.path.startsWith(blockedName) || !QFileInfo(path).isFile())
            continue;
        QCOMPARE(readFile(path), FarmRenderer::fileContent(name, frame.path, frame.size));
        ++whole;
    }
    QVERIFY(whole > 0);

    // The cause goes away; the retry that the error armed (a minute) comes
    // sooner here.
    QVERIFY(QFile::remove(obstacle));
    QVERIFY(shot->downloadErrorRetryTimer && shot->downloadErrorRetryTimer->isActive());
    shot->downloadErrorRetryTimer->start(10);
    QTRY_VERIFY_WITH_TIMEOUT(shot->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kWaitMs);
    verifyFinished(name);
}

// The settings file and the log file cannot be written (a folder in the
// place of each): the client goes on, and writes both again once it can.
void TestFaults::unwritableApplicationDirectoryKeepsJobsGoing()
{
    const QString name = QStringLiteral("shot");
    m_client->simulator.setAutoRender(true);
    QVERIFY(startAndLogIn());
    const QString logPath = m_client->appDir() + QStringLiteral("/logFile.log");
    const QString settingsPath = m_client->appDir() + QStringLiteral("/settings.ini");
    // Windows keeps an open file in its place: the log is closed first (the
    // client opens it again when it writes).
    LogWriter::instance().close();
    for (const QString& path : {logPath, settingsPath}) {
        QVERIFY(QFile::remove(path) || !QFile::exists(path));
        QVERIFY(QDir().mkpath(path + QStringLiteral("/blocked")));
    }
    exportJob(name);
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(job(name), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(job(name)->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kWaitMs);
    m_client->settings->saveToIni();
    verifyFinished(name);

    // Writable again (the log's part: the settings tests).
    QVERIFY(QDir(settingsPath).removeRecursively());
    m_client->settings->saveToIni();
    QVERIFY(QFileInfo(settingsPath).isFile());
}

void TestFaults::setUserFolderWritable(bool writable)
{
    using P = QFileDevice;
    const P::Permissions read = P::ReadOwner | P::ReadUser | P::ReadGroup | P::ReadOther;
    const P::Permissions write = P::WriteOwner | P::WriteUser;
    const P::Permissions enter = P::ExeOwner | P::ExeUser | P::ExeGroup | P::ExeOther;
    for (const QFileInfo& file : QDir(userFolder()).entryInfoList(QDir::Files))
        QVERIFY(QFile::setPermissions(file.filePath(), writable ? read | write : read));
    QVERIFY(QFile::setPermissions(userFolder(), writable ? read | write | enter : read | enter));
}

// The projects folder turns read-only while the job uploads (its files and
// the folder itself; the job's output folder below it stays writable). The
// job goes on; the cfg lines the client writes meanwhile are kept and land in
// the file, in order and once each, when it can be written again.
void TestFaults::readOnlyProjectsFolderLosesNoLine()
{
#ifdef Q_OS_WIN
    if (underWine())
        QSKIP("under Wine the files belong to this machine's root, who writes into read-only files");
#else
    if (geteuid() == 0)
        QSKIP("root writes into read-only folders; CTest runs this case as an unprivileged user");
#endif
    const QString name = QStringLiteral("shot");
    m_client->simulator.setAutoRender(true);
    QVERIFY(startAndLogIn());
    bool locked = false;
    auto unlock = qScopeGuard([this] { setUserFolderWritable(true); });
    connect(m_uploader.get(), &StandInUploader::bytesCopied, this, [&](KiteProject*, const QString&, qint64 position, qint64) {
        if (!locked && position > 0) {
            locked = true;
            setUserFolderWritable(false);
        }
    });
    exportJob(name);
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(job(name), kWaitMs);
    KiteProject* shot = job(name);
    // Uploaded and rendered; the output folder, which goes below the projects
    // folder, cannot be made: a download error.
    QTRY_VERIFY_WITH_TIMEOUT(shot->hasDownloadError, kWaitMs);
    QVERIFY(locked);
    QVERIFY(shot->renderComplete);
    QVERIFY(shot->jobAction->text().contains(QStringLiteral("DOWNLOAD ERROR")));
    const QString cfgPath = userFolder() + QStringLiteral("/shot.cfg");
    QVERIFY(!readFile(cfgPath).contains("uploadfinished=true"));
    QVERIFY(shot->configHolds(QStringLiteral("uploadfinished=true")));

    // Writable again: the error's retry (a minute, sooner here) downloads,
    // and the kept lines reach the cfg before the new ones.
    setUserFolderWritable(true);
    QVERIFY(shot->downloadErrorRetryTimer && shot->downloadErrorRetryTimer->isActive());
    shot->downloadErrorRetryTimer->start(10);
    QTRY_VERIFY_WITH_TIMEOUT(shot->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kWaitMs);
    verifyFinished(name);
    const QByteArray cfg = readFile(cfgPath);
    QVERIFY(cfg.indexOf("uploadfinished=true") < cfg.indexOf("autostart=2"));
    QVERIFY(cfg.indexOf("autostart=2") < cfg.indexOf("downloaded=true"));
}

void TestFaults::unfinishedHandshakeTimesOut()
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
void TestFaults::silentServerIsTakenAsGone()
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

void TestFaults::hostileMessagesLeaveClientWorking_data()
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

void TestFaults::hostileMessagesLeaveClientWorking()
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

void TestFaults::wrongTypesInEveryMemberLeaveClientWorking()
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
            QVERIFY2(handled({message}), qPrintable(action + QLatin1Char('\n') + m_hostOut));
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

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
