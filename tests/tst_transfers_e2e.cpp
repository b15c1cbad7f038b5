#include "farmproject.h"
#include "farmrenderer.h"
#include "farmsimulator.h"
#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "standindownloader.h"
#include "standinuploader.h"
#include "support/clientfixture.h"
#include "support/offlineclient.h"
#include "support/testfiles.h"

#include <QAction>
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
    void init()
    {
        QDir(m_storage.path()).removeRecursively();
        QDir().mkpath(m_storage.path());
        m_client = std::make_unique<ClientFixture>();
        m_client->simulator.accounts().insert(FarmAccount{kUser, kPassword, false, 100, {}});
        m_client->simulator.setStorageRoot(m_storage.path());
        m_client->simulator.setFrameCount(kFrames);
        m_client->simulator.setRenderPace(20);
        m_client->simulator.setAutoRender(false);
    }

    void cleanup()
    {
        m_uploader.reset(), m_downloader.reset(), m_client.reset();
    }

    void exportedJobTravelsTheWholeWay()
    {
        m_client->simulator.setAutoRender(true);
        QVERIFY(startAndLogIn());
        QSignalSpy notices(m_client->plugin, &PluginNetConnection::showMessageSignal);
        // The user pauses the download in its first file of a pass.
        m_downloader->setChunkBytes(512);
        QString pausedPath;
        qint64 pausedAt = 0;
        connect(m_downloader.get(), &StandInDownloader::bytesCopied, this,
                [&](KiteProject* job, const QString& path, qint64 position, qint64 size) {
                    if (pausedPath.isEmpty() && position < size && path.startsWith(QLatin1String("passes/"))) {
                        std::tie(pausedPath, pausedAt) = std::make_tuple(path, position);
                        job->downloadPausedSwitchSlot();
                    }
                });
        QSignalSpy stopped(m_downloader.get(), &StandInDownloader::jobStopped);
        QSignalSpy started(m_downloader.get(), &StandInDownloader::fileStarted);
        exportJob(QStringLiteral("shot"), {{"tex/a.png", "assets/a.png", 700 * 1024},
                                           {"tex/sub/b.png", "assets/b.png", 10 * 1024},
                                           {"scene/cache.bin", "assets/cache.bin", 1}},
                  600 * 1024);
        refresh();
        QVERIFY(stopped.wait(kWaitMs));
        KiteProject* shot = job(QStringLiteral("shot"));
        QVERIFY(shot->isDownloadPaused);
        const QString partial = shot->effectiveDownloadDir() + QLatin1Char('/') + pausedPath;
        QCOMPARE(QFileInfo(partial).size(), pausedAt);
        QVERIFY(QFileInfo::exists(partial + QStringLiteral(".dlstarted")));
        // Resumed, the next look at the output finds the marker.
        started.clear();
        shot->downloadPausedSwitchSlot();
        m_client->plugin->syncSlot();
        QTRY_VERIFY_WITH_TIMEOUT(shot->jobAction->text().endsWith(QStringLiteral("DOWNLOADED (100%)")), kWaitMs);
        const auto resumed = std::find_if(started.cbegin(), started.cend(),
                                          [&](const QVariantList& call) { return call.at(1).toString() == pausedPath; });
        QVERIFY(resumed != started.cend());
        QCOMPARE(resumed->at(2).toLongLong(), pausedAt);
        // Every byte went up, the folders the cfg asked for were made.
        for (const QString& pair : QStringList{"assets/a.png tex/a.png", "assets/b.png tex/sub/b.png", "shot shot",
                                               "assets/cache.bin scene/cache.bin", "shot.jpg shot.jpg"})
            QVERIFY2(sameFile(pair.section(' ', 0, 0), pair.section(' ', 1)), qPrintable(pair));
        QVERIFY(QFileInfo(uploadDir() + "/tex/sub").isDir() && QFileInfo::exists(uploadDir() + "/shot.ischecked"));
        QCOMPARE(shot->bytesSentTotal, shot->uploadBytesTotal);
        // The cfg went up as it was; the client appended each of its marks once,
        // the upload's in order.
        const QByteArray uploadedCfg = readFile(uploadDir() + "/shot.cfg");
        const QByteArray localCfg = readFile(userFolder() + "/shot.cfg");
        QVERIFY(uploadedCfg.contains("jobLocalId=" + shot->jobLocalId.toUtf8()) && localCfg.startsWith(uploadedCfg));
        const QByteArray appended = localCfg.mid(uploadedCfg.size());
        for (const char* line : {"\r\nuploadfinished=true", "\r\nautostart=2", "downloadpath=", "rendercomplete=true",
                                 "\r\ndownloaded=true", "downloadFinishedSent=true"})
            QVERIFY2(appended.count(line) == 1, line);
        QVERIFY(appended.indexOf("\r\nuploadfinished=true") < appended.indexOf("\r\nautostart=2"));
        // The handshake, once each; the farm's project has the client's id.
        for (const char* action : {"getTexFolderContents", "setuploadstarted", "checkFiles", "setuploadchecked", "addjob"})
            QVERIFY2(received(QString::fromLatin1(action), QStringLiteral("shot")) == 1, action);
        QCOMPARE(m_client->simulator.receivedMessages("checkFiles").first().object.value("data")["uploadMethod"].toString(), QStringLiteral("HTTPS"));
        QCOMPARE(m_client->simulator.receivedMessages("addjob").first().object["data"].toObject(),
                 (QJsonObject{{"prio", 51}, {"pack", "metered"}, {"scene", "shot"}}));
        QCOMPARE(m_client->simulator.project(kUser, QStringLiteral("shot"))->id, shot->jobId);
        // Every frame came back whole into the default output folder.
        QCOMPARE(m_client->simulator.project(kUser, QStringLiteral("shot"))->status, QStringLiteral("RENDERED"));
        for (const FarmFileEntry& frame : FarmRenderer::outputFiles(kFrames)) {
            const QByteArray expected = FarmRenderer::fileContent("shot", frame.path, frame.size);
            QCOMPARE(readFile(m_client->simulator.outputDir(kUser, "shot") + '/' + frame.path), expected);
            QVERIFY2(readFile(shot->effectiveDownloadDir() + '/' + frame.path) == expected, qPrintable(frame.path));
        }
        QCOMPARE(markersBelow(shot->effectiveDownloadDir()), QStringList());
        QCOMPARE(shot->effectiveDownloadDir(),
                 QFileInfo(userFolder() + QStringLiteral("/OrvelKite/Download/output/shot")).absoluteFilePath());
        QTRY_VERIFY(m_client->simulator.project(kUser, QStringLiteral("shot"))->downloadComplete);
        QCOMPARE(m_client->simulator.project(kUser, QStringLiteral("shot"))->downloadProgress, 100);
        QCOMPARE(m_client->settings->runningJobUploads, 0);
        QCOMPARE(m_uploader->runningJobCount(), 0);
        QCOMPARE(m_downloader->runningJobCount(), 0);
        QStringList types;
        for (const QVariantList& args : qAsConst(notices))
            types << args.at(2).toString();
        for (const char* type : {"UploadStart", "UploadEnd", "DownloadEnd"})
            QVERIFY2(types.count(type) == 1, type);
    }

    void sharedTextureGoesUpOnce_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("exported one after the other") << "apart";
        QTest::newRow("exported together") << "together";
        QTest::newRow("listing asked for before the other job's upload, answered after its check") << "late listing";
        QTest::newRow("edited between the exports, another size; waits for the uploader meanwhile") << "edited";
    }

    // Two jobs that use one texture: it is sent once, the other job waits for it
    // or finds it on the farm, even when its listing is older than the upload;
    // an edited copy of another size goes up with its own job.
    void sharedTextureGoesUpOnce()
    {
        QFETCH(QString, how);
        const bool edited = how == "edited", held = edited || how == "late listing";
        FarmSimulator& sim = m_client->simulator;
        QVERIFY(startAndLogIn());
        m_client->settings->maxRunningUploads = 2;
        m_uploader->setChunkBytes(32 * 1024);
        m_uploader->setPaceMs(2);
        m_uploader->setWaitPollMs(20);
        QHash<QString, qint64> copied, last; // bytes per path; position per job and path
        connect(m_uploader.get(), &StandInUploader::fileStarted, this,
                [&](KiteProject* job, const QString& path, qint64 offset) { last[job->name + path] = offset; });
        connect(m_uploader.get(), &StandInUploader::bytesCopied, this, [&](KiteProject* job, const QString& path, qint64 at) {
            copied[path] += at - std::exchange(last[job->name + path], at);
        });
        // Uploaded and submitted.
        const auto uploaded = [this](const char* name) {
            return job(name) && job(name)->isUploaded && !job(name)->jobId.isEmpty();
        };
        const auto answerListing = [&](const QString& name) { // as the farm was when asked: no texture there
            QCOMPARE(sim.pushToUser(kUser, {{"action", "getTexFolderContents"}, {"custom", QJsonObject{{"scene", name}}},
                                            {"data", QJsonObject{{"files", QJsonArray()}}}}), 1);
        };
        sim.setUnanswered("getTexFolderContents", held);
        exportJob(QStringLiteral("left"), {{"tex/shared.png", "assets/shared.png", 600 * 1024},
                                           {"tex/left.png", "assets/left.png", 3000}});
        if (how == "apart") {
            refresh();
            QTRY_VERIFY_WITH_TIMEOUT(uploaded("left"), kWaitMs);
        }
        const QString shared = edited ? "assets/shared-v2.png" : "assets/shared.png";
        exportJob(QStringLiteral("right"), {{"tex/shared.png", shared, edited ? 500 * 1024 : 600 * 1024},
                                            {"tex/right.png", "assets/right.png", 4000}});
        refresh();
        if (held) {
            QTRY_VERIFY_WITH_TIMEOUT(sim.receivedCount("getTexFolderContents") == 2, kWaitMs);
            sim.setUnanswered("getTexFolderContents", false);
            answerListing("left");
            QTRY_VERIFY_WITH_TIMEOUT(edited ? m_uploader->isRunning(job("left")) : uploaded("left"), kWaitMs);
            if (edited)
                disconnect(m_client->plugin, SIGNAL(UploadJobSignal()), m_uploader.get(), SLOT(uploadJobSlot()));
            answerListing("right");
            QTRY_VERIFY_WITH_TIMEOUT(uploaded("left") && job("right")->isReadyForUpload, kWaitMs);
            connect(m_client->plugin, SIGNAL(UploadJobSignal()), m_uploader.get(), SLOT(uploadJobSlot()), Qt::UniqueConnection);
            m_uploader->uploadJobSlot();
        }
        QTRY_VERIFY_WITH_TIMEOUT(uploaded("left") && uploaded("right"), kWaitMs);
        QCOMPARE(copied.value("tex/shared.png"), qint64(600 * 1024 + (edited ? 500 * 1024 : 0)));
        QCOMPARE(copied.value("tex/right.png"), qint64(4000));
        for (const QString& file : {shared, QStringLiteral("assets/left.png"), QStringLiteral("assets/right.png")})
            QVERIFY2(sameFile(file, "tex/" + QFileInfo(file).fileName().remove("-v2")), qPrintable(file));
        int waited = 0;
        for (const QString& name : {QStringLiteral("left"), QStringLiteral("right")}) {
            waited += job(name)->alreadyUploadingFilesHash.contains(QStringLiteral("tex/shared.png")) ? 1 : 0;
            QCOMPARE(job(name)->bytesSentTotal, job(name)->uploadBytesTotal);
            QCOMPARE(received(QStringLiteral("getTexFolderContents"), name), 1);
            QCOMPARE(received(QStringLiteral("checkFiles"), name), 1);
            QCOMPARE(received(QStringLiteral("addjob"), name), 1);
        }
        // Found on the farm, the texture was no one's to wait for.
        QCOMPARE(waited, how == "together" || edited ? 1 : 0);
        QCOMPARE(m_client->settings->runningJobUploads, 0);
    }

    void reconnectSubmitsNoJobAgain_data()
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
    void reconnectSubmitsNoJobAgain()
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
        QVERIFY(sim.abortUserConnections(kUser) == 1 && lost.wait(10000));
        sim.setUnanswered(QStringLiteral("addjob"), false);
        QVERIFY(sim.setProjectStatus(kUser, name, farmState));
        const QString farmId = sim.project(kUser, name)->id;
        QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
        m_client->plugin->loginSlot(kUser, kPassword);
        QVERIFY(success.wait(10000));
        KiteProject* shot = job(name);
        QTRY_VERIFY_WITH_TIMEOUT(shot->jobId == farmId && (shot->isQueued || shot->isRendering || shot->renderComplete),
                                 kWaitMs);
        // One more round trip: whatever the client asked for after the projects
        // list is on the farm before its answer.
        const int later = sim.receivedCount(QStringLiteral("getProjectStates"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_client->plugin->getProjectStatesRunning, kWaitMs);
        m_client->plugin->syncSlot();
        QTRY_VERIFY_WITH_TIMEOUT(sim.receivedCount(QStringLiteral("getProjectStates")) > later, kWaitMs);
        QCOMPARE(sim.receivedCount(QStringLiteral("addjob")), 1);
        QVERIFY(sim.project(kUser, name)->id == farmId && sim.project(kUser, name)->status == farmState);
        QCOMPARE(received(QStringLiteral("checkFiles"), name), 1);
    }

    // The stand-ins write only into the job's folders and read only from the
    // user's: a hostile path refuses the upload, and fails the downloaded file.
    void standInsRefusePathsLeavingTheirFolders()
    {
        OfflineClient client(kUser);
        StandInUploader uploader(client.plugin, client.settings, m_storage.path());
        QSignalSpy refused(&uploader, &StandInUploader::jobRefused);
        QVERIFY(StandInUploader::isSafeRelativePath("tex/a..b.png"));
        client.writeUserFile("assets/x.png", "fine");
        for (const QString path : {"../x.png", "tex/../../x.png", "/tmp/x.png", "tex\\..\\..\\x.png", "C:/x.png", "tex//x.png"}) {
            QVERIFY2(!StandInUploader::isSafeRelativePath(path), qPrintable(path));
            KiteProject* up = client.addJob("up" + QString::number(refused.size()));
            for (const QString& serverPath : {QStringLiteral("tex/fine.png"), path}) {
                UploadFile file;
                file.path = serverPath;
                file.pathLocal = client.userFolder() + "/assets/x.png";
                file.size = 4;
                up->uploadList << file;
            }
            up->isReadyForUpload = true;
            uploader.uploadJobSlot();
            QTRY_VERIFY(!refused.isEmpty() && refused.last().first().value<KiteProject*>() == up);
            QVERIFY(up->hasUploadError && up->uploadErrorText.contains(path) && !uploader.isRunning(up));
        }
        QCOMPARE(client.settings->runningJobUploads, 0);
        QVERIFY(client.sent("checkFiles").isEmpty());
        QDirIterator written(m_storage.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        QVERIFY2(!written.hasNext(), qPrintable(written.next()));

        QVERIFY(writeFile(m_storage.path() + "/secret.txt", "secret"));
        QVERIFY(writeFile(m_storage.path() + "/output/" + kUser + "/shot/ok.png", "fine"));
        StandInDownloader downloader(client.plugin, client.settings, m_storage.path());
        KiteProject* shot = client.addJob("shot", "7");
        shot->localDownloadDirCustom = client.appDir() + "/out/shot";
        QSignalSpy finished(&downloader, &StandInDownloader::jobFinished);
        const auto run = [&](const QString& downloadPath, const QStringList& files) {
            shot->downloadPath = downloadPath;
            for (const QString& path : files) {
                DownloadFile file;
                file.path = path;
                shot->downloadList << file;
            }
            finished.clear();
            downloader.downloadJobSlot();
            return finished.wait() ? finished.first().at(1).toInt() : -1;
        };
        QCOMPARE(run("shot/", {"../../../secret.txt", "/etc/hostname", "..\\x.png", "ok.png"}), 3);
        QCOMPARE(shot->downloadJobErrorRestartCount, 1); // the completion retries the job
        QCOMPARE(QDir(client.appDir() + "/out").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"shot"});
        QCOMPARE(QDir(shot->localDownloadDirCustom).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"ok.png"});
        QCOMPARE(run("../../", {"secret.txt"}), 1);
        QVERIFY(!QFileInfo::exists(shot->localDownloadDirCustom + "/secret.txt"));
    }

    void uploaderChangesAFarmCopyOnlyByContinuingItOrWhole_data()
    {
        const QByteArray local = randomBytes(200 * 1024, 11), other = randomBytes(300 * 1024, 12);
        QTest::addColumn<QByteArray>("farmCopy"); // "<missing>": none
        QTest::addColumn<qint64>("listedOffset"); // the listing's resume offset
        QTest::addColumn<qint64>("start");        // where the copy must begin
        QTest::newRow("not on the farm") << QByteArray("<missing>") << qint64(0) << qint64(0);
        QTest::newRow("listed missing, another file since") << other.left(local.size()) << qint64(0) << qint64(0);
        QTest::newRow("beginning of this file, grown since") << local.left(96 * 1024) << qint64(64 * 1024)
                                                             << qint64(96 * 1024);
        QTest::newRow("beginning of another file") << other.left(64 * 1024) << qint64(64 * 1024) << qint64(0);
        QTest::newRow("larger copy") << other << qint64(0) << qint64(0);
    }

    // The stand-in uploader writes into the farm's copy only to continue it; a
    // copy from the first byte replaces the farm's only once whole, and a stop
    // midway leaves it as it was.
    void uploaderChangesAFarmCopyOnlyByContinuingItOrWhole()
    {
        QFETCH(QByteArray, farmCopy);
        QFETCH(qint64, listedOffset);
        QFETCH(qint64, start);
        const QByteArray local = randomBytes(200 * 1024, 11);
        OfflineClient client(kUser);
        StandInUploader uploader(client.plugin, client.settings, m_storage.path());
        uploader.setChunkBytes(16 * 1024);
        const QString onFarm = m_storage.path() + "/upload/" + kUser + "/tex/t.bin";
        if (farmCopy != "<missing>")
            QVERIFY(writeFile(onFarm, farmCopy));
        client.writeUserFile("assets/t.bin", local);
        KiteProject* job = client.addJob("job");
        UploadFile file;
        file.path = "tex/t.bin";
        file.pathLocal = client.userFolder() + "/assets/t.bin";
        file.size = local.size();
        QList<qint64> starts;
        connect(&uploader, &StandInUploader::fileStarted, job, [&](KiteProject*, const QString&, qint64 at) { starts << at; });
        connect(&uploader, &StandInUploader::bytesCopied, job, [job] {
            if (!job->isUploadPaused)
                job->setUploadPaused(); // stopped after its first chunk
        });
        QByteArray afterStop = farmCopy;
        for (int run = 0; run < 2; ++run) { // stopped midway, then to the end
            file.resume = run ? afterStop.size() < local.size() && local.startsWith(afterStop) : listedOffset > 0;
            file.resumeOffset = run ? (file.resume ? afterStop.size() : 0) : listedOffset;
            file.serverCopyLarger = afterStop.size() > local.size();
            job->uploadList = {file};
            job->isUploadPaused = false;
            job->isReadyForUpload = true;
            QSignalSpy finished(&uploader, &StandInUploader::jobFinished);
            uploader.uploadJobSlot();
            if (run == 1) {
                QVERIFY(finished.wait(kWaitMs));
                QCOMPARE(readFile(onFarm), local);
                break;
            }
            QTRY_VERIFY(job->isUploadPaused && !uploader.isRunning(job));
            disconnect(&uploader, &StandInUploader::bytesCopied, job, nullptr);
            QCOMPARE(starts.value(0), start);
            afterStop = readFile(onFarm);
            if (start > 0) // continued in place
                QVERIFY(afterStop.size() > farmCopy.size() && local.startsWith(afterStop));
            else if (farmCopy != "<missing>") // the farm's copy untouched
                QCOMPARE(afterStop, farmCopy);
            QCOMPARE(QDir(QFileInfo(onFarm).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"t.bin"});
        }
    }

private:
    QString userFolder() const { return m_client->projectsFolder() + QLatin1Char('/') + kUser; }
    QString uploadDir() const { return m_client->simulator.uploadDir(kUser); }
    bool startAndLogIn()
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

    void exportJob(const QString& name, const QList<ExportFile>& files, int sceneSize = 100 * 1024)
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

    void refresh() { QVERIFY(m_client->refresh()); }
    KiteProject* job(const QString& name) const { return m_client->job(name); }

    bool sameFile(const QString& local, const QString& serverPath) const
    { return readFile(userFolder() + '/' + local) == readFile(uploadDir() + '/' + serverPath); }

    int received(const QString& action, const QString& scene) const
    {
        int n = 0;
        for (const FarmReceivedMessage& message : m_client->simulator.receivedMessages(action))
            n += message.object.value("data").toObject().value("scene").toString() == scene ? 1 : 0;
        return n;
    }

    std::unique_ptr<ClientFixture> m_client;
    std::unique_ptr<StandInUploader> m_uploader;
    std::unique_ptr<StandInDownloader> m_downloader;
    QTemporaryDir m_storage;
    quint32 m_seed = 1;
};

QTEST_MAIN(TestTransfersE2E)
#include "tst_transfers_e2e.moc"
