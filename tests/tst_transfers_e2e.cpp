#include "farmproject.h"
#include "farmrenderer.h"
#include "farmsimulator.h"
#include "farmstorage.h"
#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "standindownloader.h"
#include "standinuploader.h"
#include "support/clientfixture.h"
#include "support/offlineclient.h"
#include "support/testfiles.h"

#include <QAction>
#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace TestFiles;

namespace {
const QString kUser = QStringLiteral("anna");
const QString kPassword = QStringLiteral("anna-pass-4711");
constexpr int kFrames = 4;
constexpr int kWaitMs = 30000;

struct ExportFile
{
    QString path;  // on the server
    QString local; // below the user's folder
    int size;
};

QStringList markersBelow(const QString& dir)
{
    QStringList markers;
    QDirIterator it(dir, QStringList{"*.dlstarted"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        markers << it.next();
    return markers;
}
} // namespace

// Jobs through the client, the host's stand-in uploader and downloader and the
// farm simulator: exported, uploaded, submitted, rendered and downloaded.
class TestTransfersE2E : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void exportedJobTravelsTheWholeWay();
    void sharedTextureGoesUpOnce_data();
    void sharedTextureGoesUpOnce();
    void pausedUploadAndDownloadResume();
    void reconnectSubmitsNoJobAgain_data();
    void reconnectSubmitsNoJobAgain();
    void uploadPathsLeavingTheFolderAreRefused_data();
    void uploadPathsLeavingTheFolderAreRefused();
    void downloadPathsLeavingTheFolderAreRefused();
    void standInsTakeJobsByPriorityWithinTheLimit();

private:
    bool startAndLogIn();
    QString userFolder() const { return m_client->projectsFolder() + QLatin1Char('/') + kUser; }
    QString uploadDir() const { return m_client->simulator.uploadDir(kUser); }
    void exportJob(const QString& name, const QList<ExportFile>& files, int sceneSize = 100 * 1024);
    void refresh();
    KiteProject* job(const QString& name) const;
    bool sameFile(const QString& local, const QString& serverPath) const;
    int received(const QString& action, const QString& scene) const;
    void verifyFrames(KiteProject* job);

    std::unique_ptr<ClientFixture> m_client;
    std::unique_ptr<StandInUploader> m_uploader;
    std::unique_ptr<StandInDownloader> m_downloader;
    QTemporaryDir m_storage;
    quint32 m_seed = 1;
};

void TestTransfersE2E::init()
{
    QDir(m_storage.path()).removeRecursively();
    QDir().mkpath(m_storage.path());
    m_client = std::make_unique<ClientFixture>();
    FarmAccount account;
    account.user = kUser;
    account.password = kPassword;
    account.renderPoints = 100;
    m_client->simulator.accounts().insert(account);
    m_client->simulator.setStorageRoot(m_storage.path());
    m_client->simulator.setFrameCount(kFrames);
    m_client->simulator.setRenderPace(20);
    m_client->simulator.setAutoRender(false);
}

void TestTransfersE2E::cleanup()
{
    m_uploader.reset();
    m_downloader.reset();
    m_client.reset();
}

bool TestTransfersE2E::startAndLogIn()
{
    if (!m_client->start(ClientFixture::Options()))
        return false;
    // The host's side: the stand-ins take the plug-in's jobs, connected by
    // signature as the host does it.
    m_uploader = std::make_unique<StandInUploader>(m_client->plugin, m_client->settings, m_storage.path());
    m_downloader = std::make_unique<StandInDownloader>(m_client->plugin, m_client->settings, m_storage.path());
    connect(m_client->plugin, SIGNAL(UploadJobSignal()), m_uploader.get(), SLOT(uploadJobSlot()));
    connect(m_client->plugin, SIGNAL(downloadJobSignal()), m_downloader.get(), SLOT(downloadJobSlot()));
    QDir().mkpath(userFolder());
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->loginSlot(kUser, kPassword);
    return success.wait(10000) && success.first().first().toInt() == 0 && m_client->settings->syncActive;
}

void TestTransfersE2E::exportJob(const QString& name, const QList<ExportFile>& files, int sceneSize)
{
    QStringList lines{QStringLiteral("renderer=vray"), QStringLiteral("program=max"), QStringLiteral("autostart=1"),
                      QStringLiteral("prio=2"), QStringLiteral("[files]"), QStringLiteral("paths=%1").arg(files.size())};
    for (int i = 0; i < files.size(); ++i) {
        const QString local = userFolder() + QLatin1Char('/') + files.at(i).local;
        if (!QFileInfo::exists(local))
            QVERIFY(writeFile(local, randomBytes(files.at(i).size, ++m_seed)));
        lines << QStringLiteral("path%1=%2").arg(i).arg(files.at(i).path)
              << QStringLiteral("pathlocal%1=%2").arg(i).arg(local)
              << QStringLiteral("pathsize%1=%2").arg(i).arg(QFileInfo(local).size());
    }
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name, randomBytes(sceneSize, ++m_seed)));
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".jpg"), randomBytes(5000, ++m_seed)));
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"),
                      lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n"));
}

void TestTransfersE2E::refresh()
{
    // A new marker file, as the exporter makes it, for the folder watcher.
    const QString marker = m_client->projectsFolder() + QStringLiteral("/di2_orv_refresh.txt");
    QFile::remove(marker);
    QVERIFY(writeFile(marker, QByteArray()));
}

KiteProject* TestTransfersE2E::job(const QString& name) const
{
    for (KiteProject* candidate : qAsConst(m_client->settings->jobList)) {
        if (candidate->name == name && !candidate->isDeleted)
            return candidate;
    }
    return nullptr;
}

bool TestTransfersE2E::sameFile(const QString& local, const QString& serverPath) const
{
    return readFile(userFolder() + QLatin1Char('/') + local) == readFile(uploadDir() + QLatin1Char('/') + serverPath);
}

int TestTransfersE2E::received(const QString& action, const QString& scene) const
{
    int n = 0;
    for (const FarmReceivedMessage& message : m_client->simulator.receivedMessages(action))
        n += message.object.value("data").toObject().value("scene").toString() == scene ? 1 : 0;
    return n;
}

void TestTransfersE2E::verifyFrames(KiteProject* job)
{
    const QString local = job->effectiveDownloadDir();
    const QString farm = m_client->simulator.outputDir(kUser, job->name);
    for (const FarmFileEntry& frame : FarmRenderer::outputFiles(kFrames)) {
        const QByteArray expected = FarmRenderer::fileContent(job->name, frame.path, frame.size);
        QCOMPARE(readFile(farm + QLatin1Char('/') + frame.path), expected);
        QVERIFY2(readFile(local + QLatin1Char('/') + frame.path) == expected, qPrintable(frame.path));
    }
    QCOMPARE(markersBelow(local), QStringList());
}

void TestTransfersE2E::exportedJobTravelsTheWholeWay()
{
    m_client->simulator.setAutoRender(true);
    QVERIFY(startAndLogIn());
    QSignalSpy notices(m_client->plugin, &PluginNetConnection::showMessageSignal);
    exportJob(QStringLiteral("shot"), {{"tex/a.png", "assets/a.png", 700 * 1024},
                                       {"tex/sub/b.png", "assets/b.png", 10 * 1024},
                                       {"scene/cache.bin", "assets/cache.bin", 1}},
              600 * 1024);
    refresh();

    QTRY_VERIFY_WITH_TIMEOUT(job(QStringLiteral("shot")), kWaitMs);
    KiteProject* shot = job(QStringLiteral("shot"));
    QTRY_VERIFY_WITH_TIMEOUT(shot->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kWaitMs);

    // Every byte went up, the folders the cfg asked for were made.
    QVERIFY(sameFile("assets/a.png", "tex/a.png"));
    QVERIFY(sameFile("assets/b.png", "tex/sub/b.png"));
    QVERIFY(sameFile("assets/cache.bin", "scene/cache.bin"));
    QVERIFY(sameFile("shot", "shot"));
    QVERIFY(sameFile("shot.jpg", "shot.jpg"));
    QVERIFY(QFileInfo(uploadDir() + "/tex/sub").isDir());
    QVERIFY(QFileInfo::exists(uploadDir() + "/shot.ischecked"));
    QCOMPARE(shot->bytesSentTotal, shot->uploadBytesTotal);

    // The cfg went up as it was; the client appended each of its marks once,
    // the upload's in order.
    const QByteArray uploadedCfg = readFile(uploadDir() + "/shot.cfg");
    QVERIFY(uploadedCfg.contains("jobLocalId=" + shot->jobLocalId.toUtf8()));
    const QByteArray localCfg = readFile(userFolder() + "/shot.cfg");
    QVERIFY(localCfg.startsWith(uploadedCfg));
    const QByteArray appended = localCfg.mid(uploadedCfg.size());
    for (const char* line : {"\r\nuploadfinished=true", "\r\nautostart=2", "downloadpath=", "rendercomplete=true",
                             "\r\ndownloaded=true", "downloadFinishedSent=true"})
        QVERIFY2(appended.count(line) == 1, line);
    QVERIFY(appended.indexOf("\r\nuploadfinished=true") < appended.indexOf("\r\nautostart=2"));

    // The handshake, once each; the farm's project has the client's id.
    for (const char* action : {"getTexFolderContents", "setuploadstarted", "checkFiles", "setuploadchecked", "addjob"})
        QVERIFY2(received(QString::fromLatin1(action), QStringLiteral("shot")) == 1, action);
    const auto data = [this](const char* action) {
        return m_client->simulator.receivedMessages(QLatin1String(action)).first().object.value("data").toObject();
    };
    QCOMPARE(data("checkFiles").value("uploadMethod").toString(), QStringLiteral("HTTPS"));
    QCOMPARE(data("addjob").value("prio").toInt(), 51);
    QCOMPARE(data("addjob").value("pack").toString(), QStringLiteral("metered"));
    QCOMPARE(m_client->simulator.project(kUser, QStringLiteral("shot"))->id, shot->jobId);

    // Every frame came back into the default output folder.
    QCOMPARE(m_client->simulator.project(kUser, QStringLiteral("shot"))->status, QStringLiteral("RENDERED"));
    verifyFrames(shot);
    QCOMPARE(shot->effectiveDownloadDir(),
             QFileInfo(userFolder() + QStringLiteral("/OrvelKite/Download/output/shot")).absoluteFilePath());
    QTRY_VERIFY(m_client->simulator.project(kUser, QStringLiteral("shot"))->downloadComplete);
    QCOMPARE(m_client->simulator.project(kUser, QStringLiteral("shot"))->downloadProgress, 100);

    QCOMPARE(m_client->settings->runningJobUploads, 0);
    QCOMPARE(m_client->settings->runningJobDownloads, 0);
    QCOMPARE(m_uploader->runningJobCount(), 0);
    QCOMPARE(m_downloader->runningJobCount(), 0);
    QMap<QString, int> types;
    for (const QVariantList& args : qAsConst(notices))
        ++types[args.at(2).toString()];
    QCOMPARE(types.value("UploadStart"), 1);
    QCOMPARE(types.value("UploadEnd"), 1);
    QCOMPARE(types.value("DownloadEnd"), 1);
}

void TestTransfersE2E::sharedTextureGoesUpOnce_data()
{
    QTest::addColumn<bool>("together");
    QTest::newRow("exported one after the other") << false;
    QTest::newRow("exported together") << true;
}

// Two jobs that use one texture: it is sent once, the other job waits for it
// or finds it on the farm.
void TestTransfersE2E::sharedTextureGoesUpOnce()
{
    QFETCH(bool, together);
    QVERIFY(startAndLogIn());
    m_client->settings->maxRunningUploads = 2;
    m_uploader->setChunkBytes(32 * 1024);
    m_uploader->setPaceMs(2);
    m_uploader->setWaitPollMs(20);
    QHash<QString, qint64> copied;
    QHash<QString, qint64> last;
    connect(m_uploader.get(), &StandInUploader::fileStarted, this,
            [&](KiteProject* job, const QString& path, qint64 offset) { last[job->name + path] = offset; });
    connect(m_uploader.get(), &StandInUploader::bytesCopied, this,
            [&](KiteProject* job, const QString& path, qint64 position, qint64) {
                copied[path] += position - last.value(job->name + path);
                last[job->name + path] = position;
            });
    const auto uploaded = [this](const char* name) { return job(QLatin1String(name)) && job(QLatin1String(name))->isUploaded; };

    exportJob(QStringLiteral("left"), {{"tex/shared.png", "assets/shared.png", 600 * 1024},
                                       {"tex/left.png", "assets/left.png", 3000}});
    if (!together) {
        refresh();
        QTRY_VERIFY_WITH_TIMEOUT(uploaded("left"), kWaitMs);
    }
    exportJob(QStringLiteral("right"), {{"tex/shared.png", "assets/shared.png", 600 * 1024},
                                        {"tex/right.png", "assets/right.png", 4000}});
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(uploaded("left") && uploaded("right"), kWaitMs);

    QCOMPARE(copied.value("tex/shared.png"), qint64(600 * 1024));
    QCOMPARE(copied.value("tex/right.png"), qint64(4000));
    QVERIFY(sameFile("assets/shared.png", "tex/shared.png"));
    QVERIFY(sameFile("assets/left.png", "tex/left.png"));
    QVERIFY(sameFile("assets/right.png", "tex/right.png"));
    int waited = 0;
    for (const QString& name : {QStringLiteral("left"), QStringLiteral("right")}) {
        waited += job(name)->alreadyUploadingFilesHash.contains(QStringLiteral("tex/shared.png")) ? 1 : 0;
        QCOMPARE(job(name)->bytesSentTotal, job(name)->uploadBytesTotal);
        QCOMPARE(received(QStringLiteral("checkFiles"), name), 1);
        QCOMPARE(received(QStringLiteral("addjob"), name), 1);
    }
    // Found on the farm, the texture was no one's to wait for.
    QCOMPARE(waited, together ? 1 : 0);
    if (!together)
        QVERIFY(job(QStringLiteral("right"))->uploadList.at(0).alreadyOnServer);
    QCOMPARE(m_client->settings->runningJobUploads, 0);
}

// An upload paused midway continues where the farm's copy ends; a download
// paused midway continues from its local marker.
void TestTransfersE2E::pausedUploadAndDownloadResume()
{
    constexpr int bigSize = 2 * 1024 * 1024;
    QVERIFY(startAndLogIn());
    m_uploader->setChunkBytes(64 * 1024);
    m_uploader->setPaceMs(1);
    m_downloader->setChunkBytes(512);
    qint64 upPausedAt = -1;
    QList<qint64> upStarts;
    connect(m_uploader.get(), &StandInUploader::fileStarted, this, [&](KiteProject*, const QString& path, qint64 offset) {
        if (path == QLatin1String("tex/big.bin"))
            upStarts << offset;
    });
    connect(m_uploader.get(), &StandInUploader::bytesCopied, this,
            [&](KiteProject* job, const QString& path, qint64 position, qint64) {
                if (upPausedAt < 0 && path == QLatin1String("tex/big.bin") && position >= 512 * 1024) {
                    upPausedAt = position;
                    job->uploadPausedSwitchSlot();
                }
            });
    QSignalSpy upStopped(m_uploader.get(), &StandInUploader::jobStopped);
    exportJob(QStringLiteral("long"), {{"tex/big.bin", "assets/big.bin", bigSize}});
    refresh();

    QVERIFY(upStopped.wait(kWaitMs));
    KiteProject* longJob = job(QStringLiteral("long"));
    QCOMPARE(upStopped.first().at(1).toString(), QStringLiteral("paused"));
    QVERIFY(longJob->isUploadPaused);
    QCOMPARE(m_client->settings->runningJobUploads, 0);
    QCOMPARE(QFileInfo(uploadDir() + "/tex/big.bin").size(), upPausedAt);
    QCOMPARE(received(QStringLiteral("checkFiles"), QStringLiteral("long")), 0);

    longJob->uploadPausedSwitchSlot();
    QTRY_VERIFY_WITH_TIMEOUT(longJob->isUploaded, kWaitMs);
    QCOMPARE(upStarts, (QList<qint64>{0, upPausedAt}));
    QVERIFY(sameFile("assets/big.bin", "tex/big.bin"));
    QCOMPARE(received(QStringLiteral("setuploadstarted"), QStringLiteral("long")), 2);
    QCOMPARE(received(QStringLiteral("checkFiles"), QStringLiteral("long")), 1);
    QCOMPARE(longJob->bytesSentTotal, longJob->uploadBytesTotal);

    // Rendered on the farm; the download is paused in a pass's first file.
    QString downPath;
    qint64 downPausedAt = 0;
    connect(m_downloader.get(), &StandInDownloader::bytesCopied, this,
            [&](KiteProject* job, const QString& path, qint64 position, qint64 size) {
                if (!downPath.isEmpty() || position >= size || !path.startsWith(QLatin1String("passes/")))
                    return;
                downPath = path;
                downPausedAt = position;
                job->downloadPausedSwitchSlot(); // the user's "Pause download"
            });
    QSignalSpy downStarted(m_downloader.get(), &StandInDownloader::fileStarted);
    QSignalSpy downStopped(m_downloader.get(), &StandInDownloader::jobStopped);
    QVERIFY(m_client->simulator.startRendering(kUser, QStringLiteral("long")));
    QVERIFY(downStopped.wait(kWaitMs));
    QVERIFY(longJob->isDownloadPaused);
    const QString local = longJob->effectiveDownloadDir() + QLatin1Char('/') + downPath;
    QCOMPARE(QFileInfo(local).size(), downPausedAt);
    QVERIFY(QFileInfo::exists(local + QStringLiteral(".dlstarted")));

    downStarted.clear();
    longJob->downloadPausedSwitchSlot();
    m_client->plugin->syncSlot();
    QTRY_VERIFY_WITH_TIMEOUT(longJob->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kWaitMs);
    qint64 resumedFrom = -1;
    for (const QList<QVariant>& call : qAsConst(downStarted)) {
        if (call.at(1).toString() == downPath)
            resumedFrom = call.at(2).toLongLong();
    }
    QCOMPARE(resumedFrom, downPausedAt);
    verifyFrames(longJob);
}

void TestTransfersE2E::reconnectSubmitsNoJobAgain_data()
{
    QTest::addColumn<QString>("farmState"); // the job's state on the farm when the client is back
    QTest::addColumn<bool>("answerLost");   // the connection dropped before the submission's answer
    QTest::newRow("queued") << "QUEUED" << false;
    QTest::newRow("rendering") << "RENDERING" << false;
    QTest::newRow("rendered") << "RENDERED" << false;
    QTest::newRow("answer lost, queued") << "QUEUED" << true;
    QTest::newRow("answer lost, rendering") << "RENDERING" << true;
    QTest::newRow("answer lost, rendered") << "RENDERED" << true;
}

// After a new login the client takes up its jobs again, but a job the farm
// has taken is never submitted a second time: "addjob" starts its render over.
void TestTransfersE2E::reconnectSubmitsNoJobAgain()
{
    QFETCH(QString, farmState);
    QFETCH(bool, answerLost);
    const QString name = QStringLiteral("shot");
    FarmSimulator& sim = m_client->simulator;
    QVERIFY(startAndLogIn());
    if (answerLost)
        sim.setUnanswered(QStringLiteral("addjob"));
    exportJob(name, {{"tex/a.png", "assets/a.png", 20 * 1024}});
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(sim.receivedCount(QStringLiteral("addjob")) == 1, kWaitMs);
    QVERIFY(sim.project(kUser, name));
    if (!answerLost)
        QTRY_VERIFY(!job(name)->jobId.isEmpty());
    QVERIFY(job(name)->isUploaded);

    // While the client is away the farm takes the job on (its answer to the
    // submission is what got lost).
    QSignalSpy lost(m_client->plugin, &PluginNetConnection::websocketTimeoutSignal);
    sim.abortUserConnections(kUser);
    QVERIFY(lost.wait(10000));
    sim.setUnanswered(QStringLiteral("addjob"), false);
    QVERIFY(sim.setProjectStatus(kUser, name, farmState));
    const QString farmId = sim.project(kUser, name)->id;

    const int polls = sim.receivedCount(QStringLiteral("getProjectStates"));
    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->loginSlot(kUser, kPassword);
    QVERIFY(success.wait(10000));
    KiteProject* shot = job(name);
    QTRY_VERIFY_WITH_TIMEOUT(shot->jobId == farmId && (shot->isQueued || shot->isRendering || shot->renderComplete),
                             kWaitMs);
    QTRY_VERIFY(sim.receivedCount(QStringLiteral("getProjectStates")) > polls);
    // One more round trip: whatever the client asked for after the projects
    // list is on the farm before its answer.
    const int later = sim.receivedCount(QStringLiteral("getProjectStates"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_client->plugin->getProjectStatesRunning, kWaitMs);
    m_client->plugin->syncSlot();
    QTRY_VERIFY_WITH_TIMEOUT(sim.receivedCount(QStringLiteral("getProjectStates")) > later, kWaitMs);

    QCOMPARE(sim.receivedCount(QStringLiteral("addjob")), 1);
    QCOMPARE(sim.project(kUser, name)->id, farmId);
    QCOMPARE(sim.project(kUser, name)->status, farmState);
    QCOMPARE(received(QStringLiteral("checkFiles"), name), 1);
}

void TestTransfersE2E::uploadPathsLeavingTheFolderAreRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("parent") << "../escape.txt";
    QTest::newRow("inner parent") << "tex/../../escape.txt";
    QTest::newRow("absolute") << "/tmp/escape.txt";
    QTest::newRow("backslash") << "tex\\..\\..\\escape.txt";
    QTest::newRow("drive") << "C:/escape.txt";
    QTest::newRow("empty component") << "tex//escape.txt";
}

void TestTransfersE2E::uploadPathsLeavingTheFolderAreRefused()
{
    QFETCH(QString, path);
    QVERIFY(!StandInUploader::isSafeRelativePath(path));
    QVERIFY(StandInUploader::isSafeRelativePath(QStringLiteral("tex/a..b.png")));
    QVERIFY(startAndLogIn());
    QSignalSpy refused(m_uploader.get(), &StandInUploader::jobRefused);
    exportJob(QStringLiteral("sneaky"), {{"tex/fine.png", "assets/fine.png", 100}, {path, "assets/escape.txt", 100}});
    refresh();

    QVERIFY(refused.wait(kWaitMs));
    KiteProject* sneaky = job(QStringLiteral("sneaky"));
    QVERIFY(sneaky->hasUploadError);
    QVERIFY(sneaky->uploadErrorText.contains(path));
    QCOMPARE(m_client->settings->runningJobUploads, 0);
    QCOMPARE(received(QStringLiteral("checkFiles"), QStringLiteral("sneaky")), 0);
    QDirIterator files(m_storage.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        QVERIFY2(file.startsWith(uploadDir() + QLatin1Char('/')), qPrintable(file));
    }
    QVERIFY(!QFileInfo::exists(uploadDir() + "/tex/fine.png"));
    emit m_client->plugin->UploadJobSignal();
    QVERIFY(!m_uploader->isRunning(sneaky));
}

void TestTransfersE2E::downloadPathsLeavingTheFolderAreRefused()
{
    OfflineClient client(kUser);
    const QString farm = m_storage.path() + QStringLiteral("/output/") + kUser;
    QVERIFY(FarmStorage::writeFile(m_storage.path() + QStringLiteral("/secret.txt"), "secret"));
    QVERIFY(FarmStorage::writeFile(farm + QStringLiteral("/shot/ok.png"), "fine"));
    StandInDownloader downloader(client.plugin, client.settings, m_storage.path());
    KiteProject* shot = client.addJob(QStringLiteral("shot"), QStringLiteral("7"));
    shot->localDownloadDirCustom = client.appDir() + QStringLiteral("/out/shot");
    shot->downloadPath = QStringLiteral("shot/");
    for (const QString& path : {QStringLiteral("../../../secret.txt"), QStringLiteral("/etc/hostname"),
                                QStringLiteral("..\\x.png"), QStringLiteral("ok.png")}) {
        DownloadFile file;
        file.path = path;
        shot->downloadList << file;
    }
    QSignalSpy finished(&downloader, &StandInDownloader::jobFinished);
    downloader.downloadJobSlot();
    QVERIFY(finished.wait());
    QCOMPARE(finished.first().at(1).toInt(), 3);
    // The completion retries the job.
    QCOMPARE(shot->downloadJobErrorRestartCount, 1);
    QCOMPARE(QDir(client.appDir() + QStringLiteral("/out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"shot"});
    QCOMPARE(QDir(shot->localDownloadDirCustom).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"ok.png"});

    // A download path that leaves the user's output folder reads nothing.
    shot->downloadPath = QStringLiteral("../../");
    DownloadFile file;
    file.path = QStringLiteral("secret.txt");
    shot->downloadList << file;
    finished.clear();
    downloader.downloadJobSlot();
    QVERIFY(finished.wait());
    QCOMPARE(finished.first().at(1).toInt(), 1);
    QVERIFY(!QFileInfo::exists(shot->localDownloadDirCustom + QStringLiteral("/secret.txt")));
}

// The stand-ins alone, with the connection cut off: one slot, the higher
// priority first.
void TestTransfersE2E::standInsTakeJobsByPriorityWithinTheLimit()
{
    OfflineClient client(kUser);
    StandInUploader uploader(client.plugin, client.settings, m_storage.path());
    uploader.setPaceMs(1000000); // nothing gets copied
    StandInDownloader downloader(client.plugin, client.settings, m_storage.path());
    client.settings->maxRunningUploads = 1;
    client.settings->maxRunningDownloads = 1;
    QStringList downloadOrder;
    connect(&downloader, &StandInDownloader::jobStarted, this, [&](KiteProject* job) { downloadOrder << job->name; });
    const QString farm = m_storage.path() + QStringLiteral("/output/") + kUser;
    QList<KiteProject*> jobs;
    for (const QString& name : {QStringLiteral("low"), QStringLiteral("high"), QStringLiteral("mid")}) {
        client.writeJob(name, {QStringLiteral("renderer=vray")});
        KiteProject* job = client.addJob(name, name);
        job->isReadyForUpload = true;
        job->uploadPriority = name == "high" ? 100 : 0;
        QVERIFY(FarmStorage::writeFile(farm + QLatin1Char('/') + name + QStringLiteral("/f.png"), name.toUtf8()));
        job->localDownloadDirCustom = client.appDir() + QStringLiteral("/out/") + name;
        job->downloadPath = name + QLatin1Char('/');
        job->downloadPriority = name == "high" ? 100 : (name == "mid" ? 50 : 0);
        DownloadFile file;
        file.path = QStringLiteral("f.png");
        file.size = name.size();
        job->downloadList << file;
        jobs << job;
    }
    jobs.at(2)->isUploadPaused = true; // not taken
    uploader.uploadJobSlot();
    QVERIFY(uploader.isRunning(jobs.at(1)));
    QCOMPARE(uploader.runningJobCount(), 1);
    QCOMPARE(client.settings->runningJobUploads, 1);
    QVERIFY(uploader.isQueued(jobs.at(0)));
    QVERIFY(!uploader.isQueued(jobs.at(2)));
    jobs.at(1)->setUploadPaused();
    QCOMPARE(client.settings->runningJobUploads, 0);
    QTRY_VERIFY(uploader.isRunning(jobs.at(0)));

    downloader.downloadJobSlot();
    QCOMPARE(downloader.runningJobCount(), 1);
    QTRY_COMPARE(downloadOrder, (QStringList{"high", "mid", "low"}));
    QTRY_COMPARE(downloader.runningJobCount(), 0);
    for (const QString& name : {QStringLiteral("low"), QStringLiteral("high"), QStringLiteral("mid")})
        QCOMPARE(readFile(client.appDir() + QStringLiteral("/out/") + name + QStringLiteral("/f.png")), name.toUtf8());
}

QTEST_MAIN(TestTransfersE2E)
#include "tst_transfers_e2e.moc"
