#include "dialogs/errormessagedialog.h"
#include "farmproject.h"
#include "farmsimulator.h"
#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "standinuploader.h"
#include "support/clientfixture.h"
#include "support/offlineclient.h"
#include "support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
using namespace TestFiles;
const QString kUser = QStringLiteral("anna");
const QString kPassword = QStringLiteral("anna-pass-4711");
constexpr int kWaitMs = 30000;

// One file of an exported job: its server path and its local file below the
// user's folder ("assets/...").
struct ExportFile
{
    QString path;
    QString local;
    int size;
};

// What the stand-in copied, per job and path.
class CopyLog : public QObject
{
    Q_OBJECT
public:
    explicit CopyLog(StandInUploader* uploader)
    {
        connect(uploader, &StandInUploader::fileStarted, this,
                [this](KiteProject* job, const QString& path, qint64 offset) {
                    starts[job->name + QLatin1Char('|') + path].append(offset);
                });
        connect(uploader, &StandInUploader::bytesCopied, this,
                [this](KiteProject* job, const QString& path, qint64 position, qint64) {
                    const QString key = job->name + QLatin1Char('|') + path;
                    copied[key] += position - lastPosition.value(key, starts.value(key).value(0));
                    lastPosition[key] = position;
                });
        connect(uploader, &StandInUploader::fileStarted, this,
                [this](KiteProject* job, const QString& path, qint64 offset) {
                    lastPosition[job->name + QLatin1Char('|') + path] = offset;
                });
    }
    // Bytes copied of the path, by all jobs or by one.
    qint64 bytes(const QString& path, const QString& job = QString()) const
    {
        qint64 sum = 0;
        for (auto it = copied.cbegin(); it != copied.cend(); ++it) {
            const QStringList parts = it.key().split(QLatin1Char('|'));
            if (parts.value(1) == path && (job.isEmpty() || parts.value(0) == job))
                sum += it.value();
        }
        return sum;
    }
    QStringList copiedPaths(const QString& job) const
    {
        QStringList paths;
        for (auto it = copied.cbegin(); it != copied.cend(); ++it) {
            const QStringList parts = it.key().split(QLatin1Char('|'));
            if (parts.value(0) == job && it.value() > 0)
                paths << parts.value(1);
        }
        paths.sort();
        return paths;
    }

    QHash<QString, QList<qint64>> starts;
    QHash<QString, qint64> copied;
    QHash<QString, qint64> lastPosition;
};
} // namespace

// A scene exporter's job through the client, the stand-in uploader and the
// farm simulator: found in the projects folder, uploaded into the farm's
// storage, checked and submitted.
class TestUploadsE2E : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void exportedJobIsUploadedCheckedAndSubmitted();
    void secondJobUploadsOnlyWhatTheFirstDidNot();
    void jobsExportedTogetherSendSharedTexturesOnce();
    void interruptedUploadResumes();
    void failedCopyIsRetriedNotReported_data();
    void failedCopyIsRetriedNotReported();
    void pathsLeavingTheUploadFolderAreRefused_data();
    void pathsLeavingTheUploadFolderAreRefused();
    void safeRelativePaths_data();
    void safeRelativePaths();
    void atMostMaxJobsRunByPriority();
    void farmCopyChangesOnlyByContinuationOrWhole_data();
    void farmCopyChangesOnlyByContinuationOrWhole();

private:
    bool startAndLogIn();
    QString userFolder() const { return m_client->projectsFolder() + QLatin1Char('/') + kUser; }
    QString uploadDir() const { return m_client->simulator.uploadDir(kUser); }
    // Writes the job's files as a scene exporter does: the file section's
    // files (unless they exist), the scene package, the preview and the cfg.
    void exportJob(const QString& name, const QList<ExportFile>& files, int sceneSize = 200 * 1024,
                   bool autostart = true);
    void refresh();
    KiteProject* job(const QString& name) const;
    bool sameFile(const QString& local, const QString& serverPath) const;
    int received(const QString& action, const QString& scene) const;

    std::unique_ptr<ClientFixture> m_client;
    std::unique_ptr<StandInUploader> m_uploader;
    std::unique_ptr<CopyLog> m_copies;
    QTemporaryDir m_storage;
    quint32 m_seed = 1;
};

void TestUploadsE2E::init()
{
    QVERIFY(m_storage.isValid());
    QDir(m_storage.path()).removeRecursively();
    QDir().mkpath(m_storage.path());
    m_client = std::make_unique<ClientFixture>();
    FarmAccount account;
    account.user = kUser;
    account.password = kPassword;
    account.renderPoints = 100;
    m_client->simulator.accounts().insert(account);
    m_client->simulator.setStorageRoot(m_storage.path());
    m_client->simulator.setAutoRender(false);
}

void TestUploadsE2E::cleanup()
{
    m_copies.reset();
    m_uploader.reset();
    m_client.reset();
}

bool TestUploadsE2E::startAndLogIn()
{
    if (!m_client->start(ClientFixture::Options()))
        return false;
    // The host's side: the stand-in uploader takes the plug-in's jobs.
    m_uploader = std::make_unique<StandInUploader>(m_client->plugin, m_client->settings, m_storage.path());
    m_copies = std::make_unique<CopyLog>(m_uploader.get());
    QObject::connect(m_client->plugin, SIGNAL(UploadJobSignal()), m_uploader.get(), SLOT(uploadJobSlot()));

    QSignalSpy success(m_client->plugin, &PluginNetConnection::loginSuccessSignal);
    m_client->plugin->loginSlot(kUser, kPassword);
    if (!success.wait(10000) || success.first().first().toInt() != 0)
        return false;
    QDir().mkpath(userFolder());
    return m_client->settings->loggedIn && m_client->settings->syncActive;
}

void TestUploadsE2E::exportJob(const QString& name, const QList<ExportFile>& files, int sceneSize, bool autostart)
{
    QStringList lines{QStringLiteral("renderer=vray"), QStringLiteral("program=max"),
                      autostart ? QStringLiteral("autostart=1") : QStringLiteral("autostart=0"), QStringLiteral("prio=2"),
                      QStringLiteral("[files]"), QStringLiteral("paths=%1").arg(files.size())};
    for (int i = 0; i < files.size(); ++i) {
        const ExportFile& file = files.at(i);
        const QString local = userFolder() + QLatin1Char('/') + file.local;
        if (!QFileInfo::exists(local))
            QVERIFY(writeFile(local, randomBytes(file.size, ++m_seed)));
        lines << QStringLiteral("path%1=%2").arg(i).arg(file.path) << QStringLiteral("pathlocal%1=%2").arg(i).arg(local)
              << QStringLiteral("pathsize%1=%2").arg(i).arg(QFileInfo(local).size());
    }
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name, randomBytes(sceneSize, ++m_seed)));
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".jpg"), randomBytes(5000, ++m_seed)));
    QVERIFY(writeFile(userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"),
                      lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n"));
}

void TestUploadsE2E::refresh()
{
    // A new marker file, as the exporter makes it: the folder watcher sees
    // the folder change.
    const QString marker = m_client->projectsFolder() + QStringLiteral("/di2_orv_refresh.txt");
    QFile::remove(marker);
    QVERIFY(writeFile(marker, QByteArray()));
}

KiteProject* TestUploadsE2E::job(const QString& name) const
{
    for (KiteProject* candidate : qAsConst(m_client->settings->jobList)) {
        if (candidate->name == name && !candidate->isDeleted)
            return candidate;
    }
    return nullptr;
}

bool TestUploadsE2E::sameFile(const QString& local, const QString& serverPath) const
{
    const QByteArray mine = readFile(local);
    const QByteArray theirs = readFile(uploadDir() + QLatin1Char('/') + serverPath);
    if (mine != theirs)
        qWarning() << "differs:" << serverPath << mine.size() << theirs.size();
    return mine == theirs;
}

int TestUploadsE2E::received(const QString& action, const QString& scene) const
{
    int n = 0;
    for (const FarmReceivedMessage& message : m_client->simulator.receivedMessages(action))
        n += message.object.value("data").toObject().value("scene").toString() == scene ? 1 : 0;
    return n;
}

void TestUploadsE2E::exportedJobIsUploadedCheckedAndSubmitted()
{
    m_client->simulator.setAutoRender(true);
    m_client->simulator.setRenderPace(200);
    QVERIFY(startAndLogIn());
    QSignalSpy notices(m_client->plugin, &PluginNetConnection::showMessageSignal);
    exportJob(QStringLiteral("shot1"), {{"tex/a.png", "assets/a.png", 700 * 1024},
                                        {"tex/sub/b.png", "assets/b.png", 10 * 1024},
                                        {"scene/cache.bin", "assets/cache.bin", 1}},
              600 * 1024);
    refresh();

    QTRY_VERIFY_WITH_TIMEOUT(job(QStringLiteral("shot1")), kWaitMs);
    KiteProject* shot = job(QStringLiteral("shot1"));
    QTRY_VERIFY_WITH_TIMEOUT(shot->isUploaded && !shot->jobId.isEmpty(), kWaitMs);

    // Every byte is on the farm.
    QVERIFY(sameFile(userFolder() + "/assets/a.png", "tex/a.png"));
    QVERIFY(sameFile(userFolder() + "/assets/b.png", "tex/sub/b.png"));
    QVERIFY(sameFile(userFolder() + "/assets/cache.bin", "scene/cache.bin"));
    QVERIFY(sameFile(userFolder() + "/shot1", "shot1"));
    QVERIFY(sameFile(userFolder() + "/shot1.jpg", "shot1.jpg"));
    QVERIFY(QFileInfo::exists(uploadDir() + "/shot1.ischecked"));
    // The cfg went up as it was; afterwards the client appended its marks.
    const QByteArray uploadedCfg = readFile(uploadDir() + "/shot1.cfg");
    QVERIFY(uploadedCfg.contains("jobLocalId=" + shot->jobLocalId.toUtf8()));
    // Other lines (the output folder, ...) may come in between.
    const QByteArray localCfg = readFile(userFolder() + "/shot1.cfg");
    QVERIFY(localCfg.startsWith(uploadedCfg));
    const QByteArray appended = localCfg.mid(uploadedCfg.size());
    QCOMPARE(appended.count("\r\nuploadfinished=true"), 1);
    QCOMPARE(appended.count("\r\nautostart=2"), 1);
    QVERIFY(appended.indexOf("\r\nuploadfinished=true") < appended.indexOf("\r\nautostart=2"));

    // The handshake, once each.
    for (const char* action : {"getTexFolderContents", "setuploadstarted", "checkFiles", "setuploadchecked", "addjob"})
        QCOMPARE(received(QString::fromLatin1(action), QStringLiteral("shot1")), 1);
    const FarmReceivedMessage check = m_client->simulator.receivedMessages(QStringLiteral("checkFiles")).first();
    QCOMPARE(check.object.value("data").toObject().value("uploadMethod").toString(), QStringLiteral("HTTPS"));
    QCOMPARE(m_client->simulator.receivedMessages(QStringLiteral("addjob")).first().object.value("data").toObject()
                 .value("prio").toInt(), 51);
    QVERIFY(QFileInfo(uploadDir() + "/tex/sub").isDir());

    QCOMPARE(shot->bytesSentTotal, shot->uploadBytesTotal);
    QCOMPARE(m_client->settings->runningJobUploads, 0);
    QVERIFY(shot->uploadingFilesHash.isEmpty());
    QCOMPARE(m_uploader->runningJobCount(), 0);
    int started = 0, finished = 0;
    for (const QVariantList& args : qAsConst(notices)) {
        started += args.at(2).toString() == QLatin1String("UploadStart");
        finished += args.at(2).toString() == QLatin1String("UploadEnd");
    }
    QCOMPARE(started, 1);
    QCOMPARE(finished, 1);

    // Submitted: the farm's project carries the id the client got, and moves on.
    const FarmProject* project = m_client->simulator.project(kUser, QStringLiteral("shot1"));
    QVERIFY(project);
    QCOMPARE(project->id, shot->jobId);
    QTRY_VERIFY_WITH_TIMEOUT(m_client->simulator.project(kUser, QStringLiteral("shot1"))->status != QLatin1String("RENDERABLE"),
                             kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(shot->isQueued || shot->isRendering || shot->renderComplete, kWaitMs);
}

void TestUploadsE2E::secondJobUploadsOnlyWhatTheFirstDidNot()
{
    QVERIFY(startAndLogIn());
    exportJob(QStringLiteral("first"), {{"tex/shared.png", "assets/shared.png", 300 * 1024},
                                        {"tex/first.png", "assets/first.png", 1000}});
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(job(QStringLiteral("first")) && job(QStringLiteral("first"))->isUploaded, kWaitMs);
    QCOMPARE(m_copies->bytes(QStringLiteral("tex/shared.png")), qint64(300 * 1024));

    exportJob(QStringLiteral("second"), {{"tex/shared.png", "assets/shared.png", 300 * 1024},
                                         {"tex/second.png", "assets/second.png", 2000}});
    refresh();
    QTRY_VERIFY_WITH_TIMEOUT(job(QStringLiteral("second")) && job(QStringLiteral("second"))->isUploaded, kWaitMs);
    KiteProject* second = job(QStringLiteral("second"));

    QVERIFY(second->uploadList.isEmpty() || second->uploadList.at(0).alreadyOnServer);
    QCOMPARE(m_copies->copiedPaths(QStringLiteral("second")),
             (QStringList{"second", "second.cfg", "second.jpg", "tex/second.png"}));
    QCOMPARE(m_copies->bytes(QStringLiteral("tex/shared.png")), qint64(300 * 1024));
    QVERIFY(sameFile(userFolder() + "/assets/shared.png", "tex/shared.png"));
    QVERIFY(sameFile(userFolder() + "/assets/second.png", "tex/second.png"));
    QVERIFY(sameFile(userFolder() + "/second", "second"));
    QCOMPARE(second->bytesSentTotal, second->uploadBytesTotal);
    QCOMPARE(received(QStringLiteral("addjob"), QStringLiteral("second")), 1);
}

void TestUploadsE2E::jobsExportedTogetherSendSharedTexturesOnce()
{
    QVERIFY(startAndLogIn());
    m_client->settings->maxRunningUploads = 2;
    m_uploader->setChunkBytes(32 * 1024);
    m_uploader->setPaceMs(2);
    m_uploader->setWaitPollMs(20);
    exportJob(QStringLiteral("left"), {{"tex/shared.png", "assets/shared.png", 600 * 1024},
                                       {"tex/left.png", "assets/left.png", 3000}});
    exportJob(QStringLiteral("right"), {{"tex/shared.png", "assets/shared.png", 600 * 1024},
                                        {"tex/right.png", "assets/right.png", 4000}});
    refresh();

    QTRY_VERIFY_WITH_TIMEOUT(job(QStringLiteral("left")) && job(QStringLiteral("left"))->isUploaded
                                 && job(QStringLiteral("right")) && job(QStringLiteral("right"))->isUploaded,
                             kWaitMs);
    // One job sent the texture, the other waited for it.
    QCOMPARE(m_copies->bytes(QStringLiteral("tex/shared.png")), qint64(600 * 1024));
    QVERIFY(sameFile(userFolder() + "/assets/shared.png", "tex/shared.png"));
    QVERIFY(sameFile(userFolder() + "/assets/left.png", "tex/left.png"));
    QVERIFY(sameFile(userFolder() + "/assets/right.png", "tex/right.png"));
    int waited = 0;
    for (const QString& name : {QStringLiteral("left"), QStringLiteral("right")}) {
        KiteProject* each = job(name);
        waited += each->alreadyUploadingFilesHash.contains(QStringLiteral("tex/shared.png")) ? 1 : 0;
        QCOMPARE(each->bytesSentTotal, each->uploadBytesTotal);
        QCOMPARE(received(QStringLiteral("checkFiles"), name), 1);
    }
    QCOMPARE(waited, 1);
    QCOMPARE(m_client->settings->runningJobUploads, 0);
}

void TestUploadsE2E::interruptedUploadResumes()
{
    QVERIFY(startAndLogIn());
    constexpr int bigSize = 3 * 1024 * 1024;
    m_uploader->setChunkBytes(64 * 1024);
    m_uploader->setPaceMs(1);
    // Pause from inside the uploader's own progress report, mid-file.
    qint64 pausedAt = -1;
    connect(m_uploader.get(), &StandInUploader::bytesCopied, this,
            [&pausedAt](KiteProject* job, const QString& path, qint64 position, qint64) {
                if (pausedAt < 0 && path == QLatin1String("tex/big.bin") && position >= 1024 * 1024) {
                    pausedAt = position;
                    job->uploadPausedSwitchSlot();
                }
            });
    QSignalSpy stopped(m_uploader.get(), &StandInUploader::jobStopped);
    exportJob(QStringLiteral("long"), {{"tex/big.bin", "assets/big.bin", bigSize}});
    refresh();

    QTRY_VERIFY_WITH_TIMEOUT(pausedAt > 0, kWaitMs);
    KiteProject* longJob = job(QStringLiteral("long"));
    QVERIFY(longJob->isUploadPaused);
    QCOMPARE(stopped.size(), 1);
    QCOMPARE(stopped.first().at(1).toString(), QStringLiteral("paused"));
    QVERIFY(!m_uploader->isRunning(longJob));
    QCOMPARE(m_client->settings->runningJobUploads, 0);
    QVERIFY(longJob->uploadingFilesHash.isEmpty());
    QTest::qWait(200);
    QCOMPARE(QFileInfo(uploadDir() + "/tex/big.bin").size(), pausedAt);
    QVERIFY(!longJob->isUploaded);
    QCOMPARE(received(QStringLiteral("checkFiles"), QStringLiteral("long")), 0);

    // Resumed: the listing finds the partial file and the copy continues there.
    longJob->uploadPausedSwitchSlot();
    QTRY_VERIFY_WITH_TIMEOUT(longJob->isUploaded, kWaitMs);
    const QList<qint64> starts = m_copies->starts.value(QStringLiteral("long|tex/big.bin"));
    QCOMPARE(starts, (QList<qint64>{0, pausedAt}));
    QCOMPARE(m_copies->bytes(QStringLiteral("tex/big.bin")), qint64(bigSize));
    QVERIFY(sameFile(userFolder() + "/assets/big.bin", "tex/big.bin"));
    QVERIFY(sameFile(userFolder() + "/long", "long"));
    QCOMPARE(received(QStringLiteral("setuploadstarted"), QStringLiteral("long")), 2);
    QCOMPARE(received(QStringLiteral("checkFiles"), QStringLiteral("long")), 1);
    QCOMPARE(longJob->bytesSentTotal, longJob->uploadBytesTotal);
    QCOMPARE(m_client->settings->runningJobUploads, 0);
}

void TestUploadsE2E::failedCopyIsRetriedNotReported_data()
{
    QTest::addColumn<bool>("targetBlocked");
    QTest::newRow("unwritable target") << true;
    QTest::newRow("unreadable source") << false;
}

void TestUploadsE2E::failedCopyIsRetriedNotReported()
{
    QFETCH(bool, targetBlocked);
    QVERIFY(startAndLogIn());
    m_uploader->setRetryDelayMs(50);
    QSignalSpy failures(m_uploader.get(), &StandInUploader::copyFailed);
    QSignalSpy finished(m_uploader.get(), &StandInUploader::jobFinished);
    exportJob(QStringLiteral("stuck"), {{"tex/ok.png", "assets/ok.png", 1000}, {"tex/fail.png", "assets/fail.png", 2000}});
    const QString local = userFolder() + "/assets/fail.png";
    const QByteArray content = readFile(local);
    if (targetBlocked)
        QVERIFY(QDir().mkpath(uploadDir() + "/tex/fail.png"));
    else
        QVERIFY(QFile::rename(local, local + ".away"));
    refresh();

    QTRY_VERIFY_WITH_TIMEOUT(failures.size() >= 3, kWaitMs);
    QCOMPARE(failures.first().at(1).toString(), QStringLiteral("tex/fail.png"));
    QVERIFY(finished.isEmpty());
    KiteProject* stuck = job(QStringLiteral("stuck"));
    QVERIFY(!stuck->isUploaded);
    QCOMPARE(received(QStringLiteral("checkFiles"), QStringLiteral("stuck")), 0);
    QVERIFY(m_uploader->isRunning(stuck));

    if (targetBlocked)
        QVERIFY(QDir(uploadDir() + "/tex/fail.png").removeRecursively());
    else
        QVERIFY(QFile::rename(local + ".away", local));
    QTRY_VERIFY_WITH_TIMEOUT(stuck->isUploaded, kWaitMs);
    QCOMPARE(readFile(uploadDir() + "/tex/fail.png"), content);
    QCOMPARE(received(QStringLiteral("checkFiles"), QStringLiteral("stuck")), 1);
}

void TestUploadsE2E::pathsLeavingTheUploadFolderAreRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("parent") << "../escape.txt";
    QTest::newRow("inner parent") << "tex/../../escape.txt";
    QTest::newRow("absolute") << "/tmp/escape.txt";
    QTest::newRow("backslash") << "tex\\..\\..\\escape.txt";
}

void TestUploadsE2E::pathsLeavingTheUploadFolderAreRefused()
{
    QFETCH(QString, path);
    QVERIFY(startAndLogIn());
    QSignalSpy refused(m_uploader.get(), &StandInUploader::jobRefused);
    exportJob(QStringLiteral("sneaky"), {{"tex/fine.png", "assets/fine.png", 100}, {path, "assets/escape.txt", 100}});
    refresh();

    QTRY_VERIFY_WITH_TIMEOUT(!refused.isEmpty(), kWaitMs);
    KiteProject* sneaky = job(QStringLiteral("sneaky"));
    QVERIFY(sneaky->hasUploadError);
    QVERIFY(sneaky->uploadErrorText.contains(path));
    QVERIFY(!m_uploader->isRunning(sneaky));
    QCOMPARE(m_client->settings->runningJobUploads, 0);
    QCOMPARE(received(QStringLiteral("checkFiles"), QStringLiteral("sneaky")), 0);
    // Nothing was written outside the user's upload folder.
    QDirIterator files(m_storage.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        QVERIFY2(file.startsWith(uploadDir() + QLatin1Char('/')), qPrintable(file));
    }
    QVERIFY(!QFileInfo::exists(uploadDir() + "/tex/fine.png"));
    // A later UploadJobSignal does not take the job again.
    emit m_client->plugin->UploadJobSignal();
    QVERIFY(!m_uploader->isRunning(sneaky));
}

void TestUploadsE2E::safeRelativePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("texture") << "tex/a.png" << true;
    QTest::newRow("base") << "shot1.cfg" << true;
    QTest::newRow("dots in name") << "tex/a..b.png" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "./a" << false;
    QTest::newRow("parent") << "tex/../a" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("backslash") << "tex\\a.png" << false;
    QTest::newRow("drive") << "C:/a.png" << false;
    QTest::newRow("empty component") << "tex//a.png" << false;
    QTest::newRow("trailing slash") << "tex/" << false;
    QTest::newRow("control") << "tex/a\nb" << false;
}

void TestUploadsE2E::safeRelativePaths()
{
    QFETCH(QString, path);
    QTEST(StandInUploader::isSafeRelativePath(path), "safe");
}

void TestUploadsE2E::atMostMaxJobsRunByPriority()
{
    // The stand-in on its own, with the connection cut off.
    OfflineClient client;
    QTemporaryDir storage;
    StandInUploader uploader(client.plugin, client.settings, storage.path());
    uploader.setPaceMs(1000000); // nothing gets copied in this test
    client.settings->maxRunningUploads = 1;

    QList<KiteProject*> jobs;
    for (const QString& name : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
        client.writeJob(name, {QStringLiteral("renderer=vray")});
        KiteProject* job = client.addJob(name);
        job->isReadyForUpload = true;
        jobs << job;
    }
    jobs.at(2)->uploadPriority = 100;
    jobs.at(1)->isUploadPaused = true; // not taken
    uploader.uploadJobSlot();
    // One slot: the high-priority job runs, the other waits.
    QVERIFY(uploader.isRunning(jobs.at(2)));
    QVERIFY(jobs.at(2)->isUploading);
    QCOMPARE(uploader.runningJobCount(), 1);
    QCOMPARE(client.settings->runningJobUploads, 1);
    QVERIFY(uploader.isQueued(jobs.at(0)));
    QVERIFY(!uploader.isQueued(jobs.at(1)) && !uploader.isRunning(jobs.at(1)));

    // A job queued later with a higher priority takes the next free slot.
    jobs.at(1)->isUploadPaused = false;
    jobs.at(1)->uploadPriority = 100;
    uploader.uploadJobSlot();
    QCOMPARE(uploader.queuedJobCount(), 2);
    jobs.at(2)->setUploadPaused();
    QVERIFY(!uploader.isRunning(jobs.at(2)));
    QVERIFY(!jobs.at(2)->isUploading);
    QCOMPARE(client.settings->runningJobUploads, 0);
    QTRY_VERIFY(uploader.isRunning(jobs.at(1)));
    QVERIFY(uploader.isQueued(jobs.at(0)));
    QCOMPARE(client.settings->runningJobUploads, 1);

    // A paused queued job leaves the queue; a job that is no longer ready
    // does not start.
    jobs.at(0)->setUploadPaused();
    QCOMPARE(uploader.queuedJobCount(), 0);
    QVERIFY(client.sent(QStringLiteral("checkFiles")).isEmpty());
}

void TestUploadsE2E::farmCopyChangesOnlyByContinuationOrWhole_data()
{
    const QByteArray local = randomBytes(200 * 1024, 11);
    const QByteArray other = randomBytes(300 * 1024, 12);
    QTest::addColumn<QByteArray>("farmCopy"); // "<missing>": none
    QTest::addColumn<qint64>("listedOffset"); // the listing's resume offset
    QTest::addColumn<bool>("larger");         // the listing saw a larger copy
    QTest::addColumn<qint64>("start");        // where the copy must begin
    QTest::newRow("not on the farm") << QByteArray("<missing>") << qint64(0) << false << qint64(0);
    QTest::newRow("listed missing, whole since") << local << qint64(0) << false << qint64(0);
    QTest::newRow("listed missing, another file since") << other.left(local.size()) << qint64(0) << false
                                                         << qint64(0);
    QTest::newRow("beginning of this file") << local.left(64 * 1024) << qint64(64 * 1024) << false
                                            << qint64(64 * 1024);
    QTest::newRow("beginning of this file, grown since") << local.left(96 * 1024) << qint64(64 * 1024) << false
                                                         << qint64(96 * 1024);
    QTest::newRow("beginning of another file") << other.left(64 * 1024) << qint64(64 * 1024) << false << qint64(0);
    QTest::newRow("larger copy") << other << qint64(0) << true << qint64(0);
}

// The stand-in uploader writes into the farm's copy of a file only to
// continue it; a copy from the first byte of a file the farm holds replaces
// that copy only once it is whole, and a stop midway leaves it as it was.
void TestUploadsE2E::farmCopyChangesOnlyByContinuationOrWhole()
{
    QFETCH(QByteArray, farmCopy);
    QFETCH(qint64, listedOffset);
    QFETCH(bool, larger);
    QFETCH(qint64, start);
    const QByteArray local = randomBytes(200 * 1024, 11);
    OfflineClient client;
    QTemporaryDir storage;
    StandInUploader uploader(client.plugin, client.settings, storage.path());
    uploader.setChunkBytes(16 * 1024);
    const QString onFarm = storage.path() + QStringLiteral("/upload/anna/tex/t.bin");
    if (farmCopy != "<missing>")
        QVERIFY(writeFile(onFarm, farmCopy));
    client.writeUserFile(QStringLiteral("assets/t.bin"), local);
    client.writeJob(QStringLiteral("job"), {QStringLiteral("renderer=vray")});
    KiteProject* job = client.addJob(QStringLiteral("job"));
    UploadFile file;
    file.path = QStringLiteral("tex/t.bin");
    file.pathLocal = client.userFolder() + QStringLiteral("/assets/t.bin");
    file.size = local.size();
    file.resume = listedOffset > 0;
    file.resumeOffset = listedOffset;
    file.serverCopyLarger = larger;
    job->uploadList = {file};
    QList<qint64> starts;
    connect(&uploader, &StandInUploader::fileStarted, this, [&](KiteProject*, const QString& path, qint64 offset) {
        if (path == file.path)
            starts << offset;
    });

    // Stopped after its first chunk of the file.
    connect(&uploader, &StandInUploader::bytesCopied, job, [job](KiteProject*, const QString&, qint64, qint64) {
        if (!job->isUploadPaused)
            job->setUploadPaused();
    });
    job->isReadyForUpload = true;
    uploader.uploadJobSlot();
    QTRY_VERIFY(job->isUploadPaused && !uploader.isRunning(job));
    QCOMPARE(starts.value(0), start);
    const QByteArray afterStop = readFile(onFarm);
    if (start > 0) // continued in place
        QVERIFY(afterStop.size() > farmCopy.size() && local.startsWith(afterStop));
    else if (farmCopy != "<missing>") // the farm's copy is untouched
        QCOMPARE(afterStop, farmCopy);
    else
        QVERIFY(local.startsWith(afterStop));
    QCOMPARE(QDir(QFileInfo(onFarm).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"t.bin"});

    // Run to its end: the farm holds the file whole.
    disconnect(&uploader, &StandInUploader::bytesCopied, job, nullptr);
    job->isUploadPaused = false;
    file.resume = afterStop.size() < local.size() && local.startsWith(afterStop);
    file.resumeOffset = file.resume ? afterStop.size() : 0;
    file.serverCopyLarger = afterStop.size() > local.size();
    job->uploadList = {file};
    QSignalSpy finished(&uploader, &StandInUploader::jobFinished);
    uploader.uploadJobSlot();
    QVERIFY(finished.wait(kWaitMs));
    QCOMPARE(readFile(onFarm), local);
}

QTEST_MAIN(TestUploadsE2E)
#include "tst_uploads_e2e.moc"

