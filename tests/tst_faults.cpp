#include "dialogs/errormessagedialog.h"
#include "farmproject.h"
#include "farmrenderer.h"
#include "farmsimulator.h"
#include "farmstorage.h"
#include "jobs/kiteproject.h"
#include "net/pendinganswers.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "standindownloader.h"
#include "standinuploader.h"
#include "support/clientfixture.h"
#include "support/keptlogin.h"
#include "support/testfiles.h"

#include <QAction>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {
using namespace TestFiles;
const QString kUser = QStringLiteral("anna");
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
// in every phase of a job, answers lost, folders the client cannot write.
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

private:
    bool startAndLogIn();
    QString userFolder() const { return m_login->userFolder(); }
    void exportJob(const QString& name);
    void refresh() { QVERIFY(m_client->refresh()); }
    KiteProject* job(const QString& name) const { return m_client->job(name); }
    void drop(Drop how);
    void verifyFinished(const QString& name, int addjobs = 1);
    void setUserFolderWritable(bool writable);

    std::unique_ptr<ClientFixture> m_client;
    std::unique_ptr<StandInUploader> m_uploader;
    std::unique_ptr<StandInDownloader> m_downloader;
    std::unique_ptr<KeptLogin> m_login;
    QTemporaryDir m_storage;
    QHash<QString, QByteArray> m_exported; // local path -> bytes
    quint32 m_seed = 7;
};

void TestFaults::init()
{
    QVERIFY(m_storage.isValid());
    QDir(m_storage.path()).removeRecursively();
    QDir().mkpath(m_storage.path());
    m_exported.clear();
    m_client = std::make_unique<ClientFixture>();
    m_login = std::make_unique<KeptLogin>(*m_client);
    m_client->simulator.setStorageRoot(m_storage.path());
    m_client->simulator.setAutoRender(false);
    m_client->simulator.setFrameCount(kFrames);
    m_client->simulator.setRenderPace(50);
}

void TestFaults::cleanup()
{
    m_login.reset();
    m_uploader.reset();
    m_downloader.reset();
    m_client.reset();
}

bool TestFaults::startAndLogIn()
{
    return m_login->startAndLogIn([this] {
        m_uploader = std::make_unique<StandInUploader>(m_client->plugin, m_client->settings, m_storage.path());
        m_uploader->setChunkBytes(32 * 1024);
        m_uploader->setPaceMs(5);
        m_uploader->setRetryDelayMs(200);
        m_downloader = std::make_unique<StandInDownloader>(m_client->plugin, m_client->settings, m_storage.path());
        m_downloader->setChunkBytes(4 * 1024);
        m_downloader->setPaceMs(5);
        connect(m_client->plugin, SIGNAL(UploadJobSignal()), m_uploader.get(), SLOT(uploadJobSlot()));
        connect(m_client->plugin, SIGNAL(downloadJobSignal()), m_downloader.get(), SLOT(downloadJobSlot()));
    });
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
    QVERIFY2(logins.count() >= 3, qPrintable(m_login->hostOut));
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

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
