#include "farmproject.h"
#include "farmrenderer.h"
#include "farmsimulator.h"
#include "farmstorage.h"
#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "standindownloader.h"
#include "support/clientfixture.h"
#include "support/offlineclient.h"

#include <QAction>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
const QString kUser = QStringLiteral("anna");
const QString kPassword = QStringLiteral("anna-pass-4711");
const QString kJob = QStringLiteral("shot");
constexpr int kFrames = 4;
constexpr int kTimeoutMs = 30000;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList markersBelow(const QString& dir)
{
    QStringList markers;
    QDirIterator it(dir, QStringList{"*.dlstarted"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        markers << it.next();
    return markers;
}
} // namespace

// The client against the farm simulator with the reference host's stand-in
// downloader: rendered frames come back into the job's output folder.
class TestDownloadsEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void renderedFramesArriveByteForByte();
    void pausedDownloadResumesFromItsMarker();

    // The stand-in on its own.
    void standInTakesHighestPriorityFirstWithinTheLimit();
    void standInRefusesPathsOutsideTheFolders();
    void standInReplacesAFileWithoutMarker();

private:
    bool startClient();
    KiteProject* waitForJob();
    void verifyFrames(KiteProject* job);
    QString localFolder(KiteProject* job) const;

    std::unique_ptr<ClientFixture> m_client;
    std::unique_ptr<StandInDownloader> m_downloader;
    QTemporaryDir m_storage;
};

void TestDownloadsEndToEnd::init()
{
    m_client = std::make_unique<ClientFixture>();
    FarmAccount account;
    account.user = kUser;
    account.password = kPassword;
    account.renderPoints = 100;
    m_client->simulator.accounts().insert(account);
    m_client->simulator.setStorageRoot(m_storage.path());
    m_client->simulator.setFrameCount(kFrames);
    m_client->simulator.setRenderPace(20);
}

void TestDownloadsEndToEnd::cleanup()
{
    m_downloader.reset();
    m_client.reset();
}

bool TestDownloadsEndToEnd::startClient()
{
    ClientFixture::Options options;
    options.user = kUser;
    options.password = kPassword;
    if (!m_client->start(options))
        return false;
    // The exporter's cfg of a job that was uploaded and submitted earlier.
    const QString userFolder = m_client->projectsFolder() + QLatin1Char('/') + kUser;
    QDir().mkpath(userFolder);
    QFile cfg(userFolder + QLatin1Char('/') + kJob + QStringLiteral(".cfg"));
    if (!cfg.open(QIODevice::WriteOnly))
        return false;
    cfg.write("program=blender\r\nuploadfinished=true\r\nautostart=2\r\n");
    cfg.close();

    m_downloader = std::make_unique<StandInDownloader>(m_client->plugin, m_client->settings, m_storage.path());
    // As the host connects it: by signature, on the plug-in object.
    connect(m_client->plugin, SIGNAL(downloadJobSignal()), m_downloader.get(), SLOT(downloadJobSlot()));

    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->loginSlot(kUser, kPassword);
    return success.wait(10000) && success.first().first().toInt() == 0;
}

KiteProject* TestDownloadsEndToEnd::waitForJob()
{
    m_client->plugin->syncSlot();
    KiteProject* found = nullptr;
    auto find = [&] {
        for (KiteProject* job : qAsConst(m_client->settings->jobList)) {
            if (job->name == kJob && !job->jobId.isEmpty())
                found = job;
        }
        return found != nullptr;
    };
    if (!QTest::qWaitFor(find, kTimeoutMs))
        return nullptr;
    return found;
}

QString TestDownloadsEndToEnd::localFolder(KiteProject* job) const
{
    return job->localDownloadDirCustom.isEmpty() ? job->localDownloadDir : job->localDownloadDirCustom;
}

void TestDownloadsEndToEnd::verifyFrames(KiteProject* job)
{
    const QString local = localFolder(job);
    const QString farm = m_client->simulator.outputDir(kUser, kJob);
    const QVector<FarmFileEntry> frames = FarmRenderer::outputFiles(kFrames);
    QCOMPARE(frames.size(), 2 * kFrames);
    for (const FarmFileEntry& frame : frames) {
        const QByteArray expected = FarmRenderer::fileContent(kJob, frame.path, frame.size);
        QCOMPARE(readAll(farm + QLatin1Char('/') + frame.path), expected);
        QVERIFY2(readAll(local + QLatin1Char('/') + frame.path) == expected, qPrintable(frame.path));
    }
    QCOMPARE(markersBelow(local), QStringList());
}

void TestDownloadsEndToEnd::renderedFramesArriveByteForByte()
{
    m_client->simulator.addProject(kUser, kJob, QStringLiteral("RENDERABLE"));
    QVERIFY(startClient());
    KiteProject* job = waitForJob();
    QVERIFY(job);
    QVERIFY(m_client->simulator.startRendering(kUser, kJob));

    QTRY_VERIFY_WITH_TIMEOUT(job->isDownloaded && job->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")),
                             kTimeoutMs);
    QCOMPARE(m_client->simulator.project(kUser, kJob)->status, QStringLiteral("RENDERED"));
    verifyFrames(job);
    QCOMPARE(localFolder(job),
             QFileInfo(m_client->projectsFolder() + QStringLiteral("/anna/OrvelKite/Download/output/shot")).absoluteFilePath());

    const QString cfg = QString::fromUtf8(readAll(m_client->projectsFolder() + QStringLiteral("/anna/shot.cfg")));
    for (const char* line : {"downloadpath=", "rendercomplete=true", "downloaded=true", "downloadFinishedSent=true"})
        QVERIFY2(cfg.contains(QLatin1String(line)), line);
    // The last requests may still be on their way.
    for (const char* action : {"getOutputDir", "setDownloadProgress", "setDownloadComplete"})
        QTRY_VERIFY2(m_client->simulator.receivedCount(QLatin1String(action)) > 0, action);
    QTRY_VERIFY(m_client->simulator.project(kUser, kJob)->downloadComplete);
    QCOMPARE(m_client->simulator.project(kUser, kJob)->downloadProgress, 100);
    QCOMPARE(m_downloader->runningJobCount(), 0);
    QCOMPARE(job->runningDownloadsOfJob, 0);
}

void TestDownloadsEndToEnd::pausedDownloadResumesFromItsMarker()
{
    // A job that finished rendering before the client looked.
    m_client->simulator.addProject(kUser, kJob, QStringLiteral("RENDERED"));
    for (int frame = 1; frame <= kFrames; ++frame)
        QVERIFY(FarmRenderer::writeFrame(m_client->simulator.outputDir(kUser, kJob), kJob, frame));
    QVERIFY(startClient());
    m_downloader->setChunkBytes(512);

    QString pausedPath;
    qint64 pausedAt = 0;
    KiteProject* pausedJob = nullptr;
    connect(m_downloader.get(), &StandInDownloader::bytesCopied, this,
            [&](KiteProject* job, const QString& path, qint64 position, qint64 size) {
                if (pausedJob || position >= size || !path.startsWith(QLatin1String("passes/")))
                    return;
                pausedJob = job;
                pausedPath = path;
                pausedAt = position;
                job->downloadPausedSwitchSlot(); // the user's "Pause download"
            });
    QSignalSpy started(m_downloader.get(), &StandInDownloader::fileStarted);
    QSignalSpy stopped(m_downloader.get(), &StandInDownloader::jobStopped);

    KiteProject* job = waitForJob();
    QVERIFY(job);
    // The first pass gave the job its default folder; the next poll looks at
    // its output.
    QTRY_VERIFY(!localFolder(job).isEmpty());
    m_client->plugin->syncSlot();
    QVERIFY(stopped.wait(kTimeoutMs));
    QCOMPARE(pausedJob, job);
    QVERIFY(job->isDownloadPaused);
    const QString local = localFolder(job) + QLatin1Char('/') + pausedPath;
    QCOMPARE(QFileInfo(local).size(), pausedAt);
    QVERIFY(QFileInfo::exists(local + QStringLiteral(".dlstarted")));

    // Resume, and let the next look at the output find the marker.
    started.clear();
    job->downloadPausedSwitchSlot();
    QVERIFY(!job->isDownloadPaused);
    m_client->plugin->syncSlot();
    QTRY_VERIFY_WITH_TIMEOUT(job->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kTimeoutMs);

    qint64 resumedFrom = -1;
    for (const QList<QVariant>& call : qAsConst(started)) {
        if (call.at(1).toString() == pausedPath)
            resumedFrom = call.at(2).toLongLong();
    }
    QCOMPARE(resumedFrom, pausedAt);
    verifyFrames(job);
}

void TestDownloadsEndToEnd::standInTakesHighestPriorityFirstWithinTheLimit()
{
    OfflineClient client(kUser);
    const QString farm = m_storage.path() + QStringLiteral("/output/") + kUser;
    StandInDownloader downloader(client.plugin, client.settings, m_storage.path());
    client.settings->maxRunningDownloads = 1;
    QStringList order;
    connect(&downloader, &StandInDownloader::jobStarted, this, [&](KiteProject* job) { order << job->name; });

    for (const QString& name : {QStringLiteral("low"), QStringLiteral("high"), QStringLiteral("mid")}) {
        QVERIFY(FarmStorage::writeFile(farm + QLatin1Char('/') + name + QStringLiteral("/f.png"), name.toUtf8()));
        KiteProject* job = client.addJob(name, name);
        job->localDownloadDirCustom = client.appDir() + QStringLiteral("/out/") + name;
        job->downloadPath = name + QLatin1Char('/');
        job->downloadPriority = name == "high" ? 100 : (name == "mid" ? 50 : 0);
        DownloadFile file;
        file.path = QStringLiteral("f.png");
        file.size = name.size();
        job->downloadList << file;
    }
    client.addJob(QStringLiteral("empty"));

    downloader.downloadJobSlot();
    QCOMPARE(downloader.runningJobCount(), 1);
    QCOMPARE(order, QStringList{"high"});
    QTRY_COMPARE(order, (QStringList{"high", "mid", "low"}));
    QTRY_COMPARE(downloader.runningJobCount(), 0);
    for (const QString& name : {QStringLiteral("low"), QStringLiteral("high"), QStringLiteral("mid")})
        QCOMPARE(readAll(client.appDir() + QStringLiteral("/out/") + name + QStringLiteral("/f.png")), name.toUtf8());
}

void TestDownloadsEndToEnd::standInRefusesPathsOutsideTheFolders()
{
    OfflineClient client(kUser);
    const QString farm = m_storage.path() + QStringLiteral("/output/") + kUser;
    QVERIFY(FarmStorage::writeFile(m_storage.path() + QStringLiteral("/secret.txt"), "secret"));
    QVERIFY(FarmStorage::writeFile(farm + QStringLiteral("/shot/ok.png"), "fine"));
    StandInDownloader downloader(client.plugin, client.settings, m_storage.path());

    KiteProject* job = client.addJob(kJob, QStringLiteral("7"));
    job->localDownloadDirCustom = client.appDir() + QStringLiteral("/out/shot");
    job->downloadPath = QStringLiteral("shot/");
    for (const QString& path : {QStringLiteral("../../../secret.txt"), QStringLiteral("/etc/hostname"),
                                QStringLiteral("..\\x.png"), QStringLiteral("ok.png")}) {
        DownloadFile file;
        file.path = path;
        job->downloadList << file;
    }
    QSignalSpy finished(&downloader, &StandInDownloader::jobFinished);
    // The completion starts a retry at once, which resets the counters.
    int errorCount = 0;
    QStringList failed;
    connect(&downloader, &StandInDownloader::jobFinished, this, [&](KiteProject* finishedJob) {
        errorCount = finishedJob->downloadJobErrorCount;
        failed = finishedJob->failedDownloadFiles;
    });
    downloader.downloadJobSlot();
    QVERIFY(finished.wait());
    QCOMPARE(finished.first().at(1).toInt(), 3);
    QCOMPARE(errorCount, 3);
    QCOMPARE(failed, (QStringList{"../../../secret.txt", "/etc/hostname", "..\\x.png"}));
    QCOMPARE(job->downloadJobErrorRestartCount, 1);
    QCOMPARE(QDir(client.appDir() + QStringLiteral("/out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"shot"});
    QCOMPARE(QDir(job->localDownloadDirCustom).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"ok.png"});

    // A download path that leaves the user's output folder reads nothing.
    job->downloadPath = QStringLiteral("../../");
    DownloadFile file;
    file.path = QStringLiteral("secret.txt");
    job->downloadList << file;
    finished.clear();
    downloader.downloadJobSlot();
    QVERIFY(finished.wait());
    QCOMPARE(finished.first().at(1).toInt(), 1);
    QVERIFY(!QFileInfo::exists(job->localDownloadDirCustom + QStringLiteral("/secret.txt")));
}

void TestDownloadsEndToEnd::standInReplacesAFileWithoutMarker()
{
    OfflineClient client(kUser);
    const QString farm = m_storage.path() + QStringLiteral("/output/") + kUser;
    QVERIFY(FarmStorage::writeFile(farm + QStringLiteral("/shot/a.png"), "0123456789"));
    QVERIFY(FarmStorage::writeFile(farm + QStringLiteral("/shot/b.png"), "abcdefghij"));
    StandInDownloader downloader(client.plugin, client.settings, m_storage.path());
    KiteProject* job = client.addJob(kJob, QStringLiteral("7"));
    job->localDownloadDirCustom = client.appDir() + QStringLiteral("/out/shot");
    job->downloadPath = QStringLiteral("shot/");
    // a.png: an older, different file the user allowed to overwrite;
    // b.png: an interrupted download with its marker.
    QVERIFY(FarmStorage::writeFile(job->localDownloadDirCustom + QStringLiteral("/a.png"), "XXXX"));
    QVERIFY(FarmStorage::writeFile(job->localDownloadDirCustom + QStringLiteral("/b.png"), "abcd"));
    QVERIFY(FarmStorage::writeFile(job->localDownloadDirCustom + QStringLiteral("/b.png.dlstarted"), ""));
    for (const QString& path : {QStringLiteral("a.png"), QStringLiteral("b.png")}) {
        DownloadFile file;
        file.path = path;
        file.size = 10;
        file.localSize = 4;
        job->downloadList << file;
    }
    QSignalSpy started(&downloader, &StandInDownloader::fileStarted);
    QSignalSpy finished(&downloader, &StandInDownloader::jobFinished);
    downloader.downloadJobSlot();
    QVERIFY(finished.wait());
    QCOMPARE(started.at(0).at(2).toLongLong(), qint64(0));
    QCOMPARE(started.at(1).at(2).toLongLong(), qint64(4));
    QCOMPARE(readAll(job->localDownloadDirCustom + QStringLiteral("/a.png")), QByteArray("0123456789"));
    QCOMPARE(readAll(job->localDownloadDirCustom + QStringLiteral("/b.png")), QByteArray("abcdefghij"));
    QCOMPARE(markersBelow(job->localDownloadDirCustom), QStringList());
    QCOMPARE(job->bytesReceivedTotal, qint64(10 + 6));
}

QTEST_MAIN(TestDownloadsEndToEnd)
#include "tst_downloads_e2e.moc"
