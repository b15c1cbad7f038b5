#include "dialogs/errormessagedialog.h"
#include "jobs/jobnames.h"
#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/offlineclient.h"
#include "transfers/uploadorchestrator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
struct LocalFile
{
    QString path; // server path, "tex/..." for textures
    qint64 size;
};

void touch(const QString& path, const QByteArray& content = QByteArray())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QJsonObject message(const QString& action, const QString& scene, const QJsonObject& data)
{
    QJsonObject object{{QStringLiteral("action"), action}, {QStringLiteral("data"), data}};
    if (!scene.isNull())
        object.insert(QStringLiteral("custom"), QJsonObject{{QStringLiteral("scene"), scene}});
    return object;
}

QJsonObject listing(const QString& scene, const QList<LocalFile>& onServer)
{
    QJsonArray files;
    for (const LocalFile& file : onServer)
        files.append(QJsonObject{{QStringLiteral("file"), file.path}, {QStringLiteral("size"), double(file.size)}});
    return message(QStringLiteral("getTexFolderContents"), scene, QJsonObject{{QStringLiteral("files"), files}});
}

QJsonObject checkReply(const QString& scene, bool result, const QString& errors = QString())
{
    return message(QStringLiteral("checkFiles"), scene,
                   QJsonObject{{QStringLiteral("result"), result}, {QStringLiteral("errors"), errors}});
}

int countOf(const QList<QVariantList>& spy, const QString& type)
{
    int n = 0;
    for (const QVariantList& args : spy)
        n += args.value(2).toString() == type ? 1 : 0;
    return n;
}
} // namespace

// Upload orchestration with the connection cut off: requests are
// recorded, server replies are fed into the dispatch.
class TestUploads : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startAsksForTheTextureListing();
    void startIsSkippedForUploadedJobsAndPendingChecks();
    void serverSizes_data();
    void serverSizes();
    void emptyFileMissingOnTheServerIsUploaded();
    void listingWithoutRequestIsIgnored();
    void listingForARenderedJobIsIgnored();
    void sharedTexture_data();
    void sharedTexture();
    void deletedJobsDoNotHoldFiles();
    void uploadMethod_data();
    void uploadMethod();
    void uploadTestJobIsNotChecked();
    void uploadServer_data();
    void uploadServer();
    void uploadAllToDc2WithoutCfg();
    void passedCheckSubmitsAutostartJob();
    void passedCheckWithoutAutostart();
    void addjobReplyKeepsAbsentServers();
    void liveUploadPassesAFailedCheck();
    void failedCheckRetries_data();
    void failedCheckRetries();
    void thirtyFailedChecksEndInUploadError();
    void failedCheckOfAJobNotReadyIsNotRetried();
    void checkReplyWithoutJobDoesNothing();
    void syncOffWhileListingPendingPausesTheJob();
    void cfgThatCannotBeAppendedTo_data();
    void cfgThatCannotBeAppendedTo();
    void createDirsRequestAndReply();
    void exporterRefreshRequests();
    void ftpContentsListing();
    void ftpContentsFileThatCannotBeWritten();
    void textureCacheLookupIsForwarded();
    void unzipRequestSendsUnpack();
    void packAndUnpackRepliesAreAccepted();

private:
    // A job whose cfg lists the files (local copies of those sizes are made)
    // with the header lines; added to the job list.
    KiteProject* makeJob(const QString& name, const QList<LocalFile>& files,
                         const QStringList& header = {QStringLiteral("renderer=vray"), QStringLiteral("program=max")});
    // makeJob, then the start of its upload (the listing request goes out).
    KiteProject* startedJob(const QString& name, const QList<LocalFile>& files);
    void closeErrorDialog(KiteProject* job);

    std::unique_ptr<OfflineClient> m_client;
};

void TestUploads::init()
{
    m_client = std::make_unique<OfflineClient>();
    m_client->settings->useHttpsUp = false;
}

void TestUploads::cleanup()
{
    if (m_client) {
        for (KiteProject* job : qAsConst(m_client->settings->jobList))
            closeErrorDialog(job);
    }
    m_client.reset();
}

void TestUploads::closeErrorDialog(KiteProject* job)
{
    delete job->errorDialog.data();
}

KiteProject* TestUploads::makeJob(const QString& name, const QList<LocalFile>& files, const QStringList& header)
{
    QStringList lines = header;
    lines << QStringLiteral("[files]") << QStringLiteral("paths=%1").arg(files.size());
    for (int i = 0; i < files.size(); ++i) {
        const QString local = m_client->userFolder() + QStringLiteral("/local/") + files.at(i).path;
        touch(local, QByteArray(int(files.at(i).size), 'x'));
        lines << QStringLiteral("path%1=%2").arg(i).arg(files.at(i).path);
        lines << QStringLiteral("pathlocal%1=%2").arg(i).arg(local);
        lines << QStringLiteral("pathsize%1=%2").arg(i).arg(files.at(i).size);
    }
    if (JobNames::isUsableAsFileName(name))
        m_client->writeJob(name, lines);
    return m_client->addJob(name);
}

KiteProject* TestUploads::startedJob(const QString& name, const QList<LocalFile>& files)
{
    KiteProject* job = makeJob(name, files);
    m_client->plugin->jobBaseFilesForUploadSlot(job);
    return job;
}

void TestUploads::startAsksForTheTextureListing()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 1000}, {"scene/b.bin", 10}});
    job->isReadyForUpload = true;
    m_client->plugin->jobBaseFilesForUploadSlot(job);

    QVERIFY(m_client->settings->uploadRequested);
    QCOMPARE(job->uploadList.size(), 2);
    QCOMPARE(job->uploadList.at(0).path, QStringLiteral("tex/a.png"));
    QCOMPARE(job->uploadBytesTotal, qint64(1010));
    QVERIFY(!job->isReadyForUpload);
    QVERIFY(job->texFolderRequestRunning);
    QVERIFY(!job->jobLocalId.isEmpty());
    QVERIFY(readAll(job->cfgPath()).contains("jobLocalId=" + job->jobLocalId.toUtf8()));

    const QList<QJsonObject> requests = m_client->sent(QStringLiteral("getTexFolderContents"));
    QCOMPARE(requests.size(), 1);
    const QJsonObject data = requests.first().value("data").toObject();
    QCOMPARE(data.value("size").toBool(), true);
    QCOMPARE(data.value("serverNumberUpload").toInt(), 1);
    QCOMPARE(data.value("scene").toString(), QStringLiteral("job1"));
    // Reading the cfg asked for the job's folders.
    const QList<QJsonObject> dirs = m_client->sent(QStringLiteral("createDirs"));
    QCOMPARE(dirs.size(), 1);
    QStringList dirList;
    for (const QJsonValue& dir : dirs.first().value("data").toObject().value("dirs").toArray())
        dirList << dir.toString();
    dirList.sort();
    QCOMPARE(dirList, (QStringList{"scene", "tex"}));
}

void TestUploads::startIsSkippedForUploadedJobsAndPendingChecks()
{
    KiteProject* uploaded = makeJob(QStringLiteral("done"), {{"tex/a.png", 10}});
    uploaded->isUploaded = true;
    m_client->plugin->jobBaseFilesForUploadSlot(uploaded);
    QVERIFY(m_client->logText().contains(QStringLiteral("383 return?")));

    KiteProject* checking = makeJob(QStringLiteral("checking"), {{"tex/a.png", 10}});
    checking->waitingForCheckFiles = true;
    m_client->plugin->jobBaseFilesForUploadSlot(checking);
    QVERIFY(m_client->sent(QStringLiteral("getTexFolderContents")).isEmpty());

    // A restarted upload of an uploaded job goes ahead.
    uploaded->uploadRestartPending = true;
    m_client->plugin->jobBaseFilesForUploadSlot(uploaded);
    QCOMPARE(m_client->sent(QStringLiteral("getTexFolderContents")).size(), 1);
}

void TestUploads::serverSizes_data()
{
    QTest::addColumn<qint64>("serverSize");
    QTest::addColumn<bool>("alreadyOnServer");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<qint64>("resumeOffset");
    QTest::addColumn<bool>("serverCopyLarger");
    QTest::addColumn<qint64>("bytesSent");

    QTest::newRow("complete") << qint64(1000) << true << false << qint64(0) << false << qint64(1000);
    QTest::newRow("partial") << qint64(400) << false << true << qint64(400) << false << qint64(400);
    QTest::newRow("larger") << qint64(1200) << false << false << qint64(0) << true << qint64(0);
    QTest::newRow("absent") << qint64(-1) << false << false << qint64(0) << false << qint64(0);
}

void TestUploads::serverSizes()
{
    QFETCH(qint64, serverSize);
    KiteProject* job = startedJob(QStringLiteral("job1"), {{"tex/a.png", 1000}, {"tex/other.png", 5}});
    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);

    QList<LocalFile> onServer{{"unrelated.png", 77}};
    if (serverSize >= 0)
        onServer << LocalFile{"a.png", serverSize};
    m_client->receive(listing(QStringLiteral("job1"), onServer));

    const UploadFile& file = job->uploadList.at(0);
    QTEST(file.alreadyOnServer, "alreadyOnServer");
    QTEST(file.resume, "resume");
    QTEST(file.resumeOffset, "resumeOffset");
    QTEST(file.serverCopyLarger, "serverCopyLarger");
    QVERIFY(!file.uploadingElsewhere);
    QTEST(job->bytesSentTotal, "bytesSent");
    QVERIFY(!job->uploadList.at(1).alreadyOnServer);

    QVERIFY(!job->texFolderRequestRunning);
    QVERIFY(job->isReadyForUpload);
    QCOMPARE(uploadSignal.size(), 1);
    QCOMPARE(countOf(messages, QStringLiteral("UploadStart")), 1);
    QCOMPARE(messages.first().at(1).toString(), QStringLiteral("job1"));
    const QList<QJsonObject> started = m_client->sent(QStringLiteral("setuploadstarted"));
    QCOMPARE(started.size(), 1);
    const QJsonObject data = started.first().value("data").toObject();
    QCOMPARE(data.value("scene").toString(), QStringLiteral("job1"));
    QCOMPARE(data.value("serverNumberUpload").toInt(), 1);
    QCOMPARE(data.value("teamid").toInt(), 0);
}

void TestUploads::emptyFileMissingOnTheServerIsUploaded()
{
    KiteProject* job = startedJob(QStringLiteral("job1"), {{"tex/empty.txt", 0}, {"tex/listed.txt", 0}});
    m_client->receive(listing(QStringLiteral("job1"), {{"listed.txt", 0}}));
    QVERIFY(!job->uploadList.at(0).alreadyOnServer);
    QVERIFY(job->uploadList.at(1).alreadyOnServer);
}

void TestUploads::listingWithoutRequestIsIgnored()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 1000}});
    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    m_client->receive(listing(QStringLiteral("job1"), {{"a.png", 1000}}));
    QVERIFY(uploadSignal.isEmpty());
    QVERIFY(!job->isReadyForUpload);
    QVERIFY(m_client->logText().contains(QStringLiteral("1753 getTexFolderContents return")));

    // A second reply to one request is ignored as well.
    m_client->plugin->jobBaseFilesForUploadSlot(job);
    m_client->receive(listing(QStringLiteral("job1"), {}));
    m_client->receive(listing(QStringLiteral("job1"), {}));
    QCOMPARE(uploadSignal.size(), 1);
}

void TestUploads::listingForARenderedJobIsIgnored()
{
    KiteProject* job = startedJob(QStringLiteral("job1"), {{"tex/a.png", 1000}});
    job->isRendering = true;
    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    m_client->receive(listing(QStringLiteral("job1"), {{"a.png", 1000}}));
    QVERIFY(uploadSignal.isEmpty());
    QVERIFY(!job->texFolderRequestRunning);
    QVERIFY(!job->uploadList.at(0).alreadyOnServer);
    QVERIFY(m_client->sent(QStringLiteral("setuploadstarted")).isEmpty());
    QVERIFY(m_client->logText().contains(QStringLiteral("already uploaded, do not upload again 1855")));
}

void TestUploads::sharedTexture_data()
{
    QTest::addColumn<qint64>("serverSize");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<qint64>("bytesSent");
    QTest::newRow("partly on the server") << qint64(400) << true << qint64(400);
    QTest::newRow("not yet on the server") << qint64(-1) << false << qint64(0);
}

void TestUploads::sharedTexture()
{
    QFETCH(qint64, serverSize);
    KiteProject* first = makeJob(QStringLiteral("first"), {{"tex/shared.png", 1000}});
    // The uploader is sending the first job's copy of the texture.
    first->uploadingFilesHash.insert(QStringLiteral("tex/shared.png"), 1000);

    KiteProject* second = startedJob(QStringLiteral("second"), {{"tex/shared.png", 1000}, {"tex/own.png", 20}});
    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    QList<LocalFile> onServer;
    if (serverSize >= 0)
        onServer << LocalFile{"shared.png", serverSize};
    m_client->receive(listing(QStringLiteral("second"), onServer));

    const UploadFile& shared = second->uploadList.at(0);
    QVERIFY(shared.uploadingElsewhere);
    QTEST(shared.resume, "resume");
    QCOMPARE(shared.resumeOffset, serverSize > 0 ? serverSize : qint64(0));
    QVERIFY(!shared.alreadyOnServer);
    QVERIFY(second->alreadyUploadingFilesHash.contains(QStringLiteral("tex/shared.png")));
    QCOMPARE(second->alreadyUploadingFilesHash.value(QStringLiteral("tex/shared.png")), qint64(1000));
    QVERIFY(second->waitsForOtherUpload);
    QVERIFY(!second->uploadList.at(1).uploadingElsewhere);
    QTEST(second->bytesSentTotal, "bytesSent");
    // The job is handed to the uploader, which waits for the file, but no
    // "Upload started" is shown for it.
    QCOMPARE(uploadSignal.size(), 1);
    QVERIFY(second->isReadyForUpload);
    QCOMPARE(countOf(messages, QStringLiteral("UploadStart")), 0);
    QCOMPARE(m_client->sent(QStringLiteral("setuploadstarted")).size(), 1);
}

void TestUploads::deletedJobsDoNotHoldFiles()
{
    KiteProject* gone = makeJob(QStringLiteral("gone"), {{"tex/shared.png", 1000}});
    gone->uploadingFilesHash.insert(QStringLiteral("tex/shared.png"), 1000);
    gone->isDeleted = true;
    KiteProject* job = startedJob(QStringLiteral("job"), {{"tex/shared.png", 1000}});
    m_client->receive(listing(QStringLiteral("job"), {{"shared.png", 400}}));
    QVERIFY(!job->uploadList.at(0).uploadingElsewhere);
    QVERIFY(job->uploadList.at(0).resume);
    QVERIFY(!job->waitsForOtherUpload);
    QVERIFY(job->alreadyUploadingFilesHash.isEmpty());
}

void TestUploads::uploadMethod_data()
{
    QTest::addColumn<bool>("encryption");
    QTest::addColumn<bool>("ccc");
    QTest::addColumn<bool>("sftp");
    QTest::addColumn<bool>("https");
    QTest::addColumn<bool>("expedat");
    QTest::addColumn<QString>("method");

    QTest::newRow("default") << false << false << false << false << false << "FTP";
    QTest::newRow("encrypted") << true << false << false << false << false << "FTPS";
    QTest::newRow("encrypted ccc") << true << true << false << false << false << "FTPSCCC";
    QTest::newRow("ccc alone") << false << true << false << false << false << "FTP";
    QTest::newRow("sftp") << true << true << true << false << false << "SFTP";
    QTest::newRow("https over ftps ccc") << true << true << false << true << false << "HTTPS";
    QTest::newRow("https over sftp") << false << false << true << true << false << "HTTPS";
    QTest::newRow("rapid over all") << true << true << true << true << true << "RAPID";
}

void TestUploads::uploadMethod()
{
    QFETCH(bool, encryption);
    QFETCH(bool, ccc);
    QFETCH(bool, sftp);
    QFETCH(bool, https);
    QFETCH(bool, expedat);
    KiteSettings* settings = m_client->settings;
    settings->ftpEncryptionUp = encryption;
    settings->ftpCCC = ccc;
    settings->useSftpUp = sftp;
    settings->useHttpsUp = https;
    settings->useExpedatUp = expedat;
    QTEST(UploadOrchestrator::uploadMethod(settings), "method");

    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}});
    job->serverNumberUpload = 2;
    job->hasUploadError = true;
    m_client->plugin->checkFilesSlot(job);
    QVERIFY(job->waitingForCheckFiles);
    const QList<QJsonObject> checks = m_client->sent(QStringLiteral("checkFiles"));
    QCOMPARE(checks.size(), 1);
    const QJsonObject data = checks.first().value("data").toObject();
    QTEST(data.value("uploadMethod").toString(), "method");
    QCOMPARE(data.value("scene").toString(), QStringLiteral("job1"));
    QCOMPARE(data.value("error").toBool(), true);
    QCOMPARE(data.value("serverNumberUpload").toInt(), 2);
}

void TestUploads::uploadTestJobIsNotChecked()
{
    KiteProject* job = m_client->addJob(QStringLiteral("uploadtest"));
    job->isUploadTest = true;
    job->alreadyUploadingFilesHash.insert(QStringLiteral("tex/a.png"), 3);
    job->uploadFileQueue.append(UploadFile());
    m_client->plugin->checkFilesSlot(job);
    QVERIFY(job->isUploaded);
    QVERIFY(job->alreadyUploadingFilesHash.isEmpty());
    QVERIFY(job->uploadFileQueue.isEmpty());
    QVERIFY(m_client->sent().isEmpty());
}

void TestUploads::uploadServer_data()
{
    QTest::addColumn<bool>("allToDc2");
    QTest::addColumn<QString>("renderers");
    QTest::addColumn<QString>("programs");
    QTest::addColumn<int>("server");

    QTest::newRow("all to dc2") << true << "" << "" << 2;
    QTest::newRow("renderer and program") << false << "corona;VRay" << "Max" << 2;
    QTest::newRow("renderer only") << false << "vray" << "c4d" << 1;
    QTest::newRow("program only") << false << "arnold" << "max" << 1;
    QTest::newRow("nothing listed") << false << "" << "" << 1;
}

void TestUploads::uploadServer()
{
    QFETCH(bool, allToDc2);
    QFETCH(QString, renderers);
    QFETCH(QString, programs);
    KiteSettings* settings = m_client->settings;
    settings->uploadAllToDc2 = allToDc2;
    settings->uploadToDc2Renderers = renderers.isEmpty() ? QStringList() : renderers.split(';');
    settings->uploadToDc2Programs = programs.isEmpty() ? QStringList() : programs.split(';');

    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}},
                               {QStringLiteral("renderer=VRay Next"), QStringLiteral("program=3ds max")});
    m_client->plugin->jobBaseFilesForUploadSlot(job);
    QTEST(job->serverNumberUpload, "server");
    QTEST(m_client->sent(QStringLiteral("getTexFolderContents")).first().value("data").toObject()
              .value("serverNumberUpload").toInt(), "server");

    m_client->receive(listing(QStringLiteral("job1"), {}));
    QTEST(m_client->sent(QStringLiteral("setuploadstarted")).first().value("data").toObject()
              .value("serverNumberUpload").toInt(), "server");
    QCOMPARE(m_client->plugin->uploadOrchestrator->serverNumberForUpload(QStringLiteral("job1")), job->serverNumberUpload);
}

void TestUploads::uploadAllToDc2WithoutCfg()
{
    m_client->settings->uploadAllToDc2 = true;
    QCOMPARE(m_client->plugin->uploadOrchestrator->serverNumberForUpload(QStringLiteral("no such job")), 2);
    m_client->settings->uploadAllToDc2 = false;
    QCOMPARE(m_client->plugin->uploadOrchestrator->serverNumberForUpload(QStringLiteral("no such job")), 1);
}

void TestUploads::passedCheckSubmitsAutostartJob()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}},
                               {QStringLiteral("renderer=vray"), QStringLiteral("autostart=1"), QStringLiteral("prio=3")});
    m_client->plugin->jobBaseFilesForUploadSlot(job);
    QVERIFY(job->autostart);
    m_client->receive(listing(QStringLiteral("job1"), {}));
    m_client->settings->runningJobUploads = 2;
    m_client->plugin->checkFilesSlot(job);
    const QByteArray cfgBefore = readAll(job->cfgPath());

    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    m_client->receive(checkReply(QStringLiteral("job1"), true));

    QVERIFY(!job->waitingForCheckFiles);
    QVERIFY(job->isUploaded);
    QVERIFY(!job->isUploading);
    QCOMPARE(m_client->settings->runningJobUploads, 1);
    QCOMPARE(uploadSignal.size(), 1);
    QCOMPARE(countOf(messages, QStringLiteral("UploadEnd")), 1);
    QCOMPARE(messages.last().at(0).toString(), QStringLiteral("Upload finished"));
    QCOMPARE(messages.last().at(1).toString(), QStringLiteral("job1100%... \nClick to open Control Center"));

    const QList<QJsonObject> checked = m_client->sent(QStringLiteral("setuploadchecked"));
    QCOMPARE(checked.size(), 1);
    QCOMPARE(checked.first().value("data").toObject().value("custom").toString(), QStringLiteral("VK"));
    QCOMPARE(checked.first().value("data").toObject().value("scene").toString(), QStringLiteral("job1"));
    QCOMPARE(readAll(job->cfgPath()), cfgBefore + "\r\nuploadfinished=true");

    QVERIFY(!job->autostart);
    const QList<QJsonObject> added = m_client->sent(QStringLiteral("addjob"));
    QCOMPARE(added.size(), 1);
    QCOMPARE(added.first().value("data").toObject().value("prio").toInt(), 52);
    QCOMPARE(added.first().value("data").toObject().value("pack").toString(), QStringLiteral("metered"));
    QCOMPARE(added.first().value("data").toObject().value("scene").toString(), QStringLiteral("job1"));

    m_client->receive(message(QStringLiteral("addjob"), QStringLiteral("job1"),
                              {{"id", "4711"}, {"server_download", 2}, {"server_upload", 2}}));
    QCOMPARE(job->jobId, QStringLiteral("4711"));
    QCOMPARE(job->serverNumber, 2);
    QCOMPARE(job->serverNumberUpload, 2);
    QCOMPARE(readAll(job->cfgPath()), cfgBefore + "\r\nuploadfinished=true\r\nautostart=2");
}

void TestUploads::passedCheckWithoutAutostart()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}});
    m_client->plugin->checkFilesSlot(job);
    m_client->receive(checkReply(QStringLiteral("job1"), true));
    QVERIFY(job->isUploaded);
    QVERIFY(m_client->sent(QStringLiteral("addjob")).isEmpty());
    // The counter never goes below zero.
    QCOMPARE(m_client->settings->runningJobUploads, 0);
}

void TestUploads::addjobReplyKeepsAbsentServers()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}});
    job->serverNumber = 2;
    m_client->receive(message(QStringLiteral("addjob"), QStringLiteral("job1"), {{"id", 99}}));
    QCOMPARE(job->jobId, QStringLiteral("99"));
    QCOMPARE(job->serverNumber, 2);
    QCOMPARE(job->serverNumberUpload, 1);
    QVERIFY(m_client->logText().contains(QStringLiteral("ADDJOB")));
}

void TestUploads::liveUploadPassesAFailedCheck()
{
    KiteProject* job = makeJob(QStringLiteral("liveUploadJob"), {{"tex/live.png", 10}});
    job->isLiveUpload = true;
    job->isReadyForUpload = true;
    m_client->plugin->liveUploadRunning = true;
    m_client->settings->runningJobUploads = 1;
    m_client->plugin->checkFilesSlot(job);
    QSignalSpy menu(m_client->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);

    m_client->receive(checkReply(QStringLiteral("liveUploadJob"), false, QStringLiteral("missing: tex/live.png")));

    QCOMPARE(m_client->sent(QStringLiteral("setuploadchecked")).size(), 1);
    QVERIFY(QFileInfo::exists(m_client->userFolder() + QStringLiteral("/preuploadcomplete.txt")));
    QCOMPARE(readAll(m_client->userFolder() + QStringLiteral("/preuploadcomplete.txt")), QByteArray());
    QVERIFY(job->isUploaded);
    QCOMPARE(job->errorCount, 0);
    QCOMPARE(m_client->settings->runningJobUploads, 0);
    QVERIFY(!m_client->plugin->liveUploadRunning);
    // The live job's local files go, and the menu is rebuilt afterwards.
    QVERIFY(job->isDeletedLocal || job->isDeleted);
    QVERIFY(menu.size() >= 1 || menu.wait(2000));
    QVERIFY(m_client->sent(QStringLiteral("getProjectFolderContents")).isEmpty());
}

void TestUploads::failedCheckRetries_data()
{
    QTest::addColumn<int>("errorsBefore");
    QTest::addColumn<bool>("retried");
    QTest::newRow("first failure") << 0 << true;
    QTest::newRow("29th failure") << 28 << true;
    QTest::newRow("30th failure") << 29 << false;
    QTest::newRow("after 30") << 35 << false;
}

void TestUploads::failedCheckRetries()
{
    QFETCH(int, errorsBefore);
    QFETCH(bool, retried);
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}});
    job->errorCount = errorsBefore;
    job->isReadyForUpload = true;
    job->isUploading = true;
    m_client->settings->runningJobUploads = 1;
    m_client->plugin->checkFilesSlot(job);
    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    QSignalSpy notices(m_client->settings, &KiteSettings::showMessageSignal);

    m_client->receive(checkReply(QStringLiteral("job1"), false, QStringLiteral("missing: tex/a.png")));

    QCOMPARE(job->errorCount, errorsBefore + 1);
    QVERIFY(!job->isUploading);
    QVERIFY(!job->isUploaded);
    QCOMPARE(job->uploadErrorText, QStringLiteral("missing: tex/a.png"));
    QCOMPARE(m_client->settings->runningJobUploads, 0);
    QCOMPARE(uploadSignal.size(), 1);
    QVERIFY(m_client->sent(QStringLiteral("setuploadchecked")).isEmpty());
    const QList<QJsonObject> listings = m_client->sent(QStringLiteral("getProjectFolderContents"));
    if (retried) {
        QCOMPARE(listings.size(), 1);
        QVERIFY(job->uploadRestartPending);
        QVERIFY(!job->isReadyForUpload);
        QVERIFY(!job->hasUploadError);
    } else {
        QVERIFY(listings.isEmpty());
        QVERIFY(job->hasUploadError);
        QVERIFY(job->errorDialog);
        QCOMPARE(countOf(notices, QStringLiteral("UploadError")), 1);
        QVERIFY(m_client->logText().contains(QStringLiteral("1653 setErrorUploadSignal")));
    }
}

void TestUploads::thirtyFailedChecksEndInUploadError()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}});
    for (int i = 0; i < 30; ++i) {
        // What the listing reply does before each new attempt.
        job->isReadyForUpload = true;
        m_client->plugin->checkFilesSlot(job);
        m_client->receive(checkReply(QStringLiteral("job1"), false, QStringLiteral("check %1").arg(i)));
        QCOMPARE(job->hasUploadError, i == 29);
    }
    QCOMPARE(job->errorCount, 30);
    QCOMPARE(m_client->sent(QStringLiteral("getProjectFolderContents")).size(), 29);
    QCOMPARE(m_client->sent(QStringLiteral("checkFiles")).size(), 30);
    QCOMPARE(job->uploadErrorText, QStringLiteral("check 29"));
}

void TestUploads::failedCheckOfAJobNotReadyIsNotRetried()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}});
    job->errorCount = 29;
    m_client->receive(checkReply(QStringLiteral("job1"), false));
    QCOMPARE(job->errorCount, 30);
    QVERIFY(!job->hasUploadError);
    QVERIFY(m_client->sent(QStringLiteral("getProjectFolderContents")).isEmpty());
}

void TestUploads::checkReplyWithoutJobDoesNothing()
{
    m_client->settings->runningJobUploads = 1;
    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    m_client->receive(checkReply(QStringLiteral("unknown"), true));
    m_client->receive(message(QStringLiteral("addjob"), QStringLiteral("unknown"), {{"id", "1"}}));
    QVERIFY(uploadSignal.isEmpty());
    QCOMPARE(m_client->settings->runningJobUploads, 1);
    QVERIFY(m_client->sent().isEmpty());
}

void TestUploads::syncOffWhileListingPendingPausesTheJob()
{
    KiteProject* job = startedJob(QStringLiteral("job1"), {{"tex/a.png", 1000}});
    m_client->settings->syncActive = false;
    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    QSignalSpy paused(job, &KiteProject::pauseUploadSignal);
    QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
    m_client->receive(listing(QStringLiteral("job1"), {{"a.png", 400}}));

    QVERIFY(job->isUploadPaused);
    QVERIFY(job->isUploadPausedByStopSync);
    QCOMPARE(paused.size(), 1);
    QVERIFY(!job->isReadyForUpload);
    QVERIFY(uploadSignal.isEmpty());
    QVERIFY(messages.isEmpty());
    QVERIFY(m_client->sent(QStringLiteral("setuploadstarted")).isEmpty());
    // The listing itself was taken in.
    QVERIFY(job->uploadList.at(0).resume);
    QVERIFY(m_client->logText().contains(QStringLiteral("1837 setUploadPaused()")));
}

void TestUploads::cfgThatCannotBeAppendedTo_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("cfgIsDirectory");
    QTest::newRow("cfg is a directory") << "job1" << true;
    QTest::newRow("name is not a file name") << "../job1" << false;
}

void TestUploads::cfgThatCannotBeAppendedTo()
{
    QFETCH(QString, name);
    QFETCH(bool, cfgIsDirectory);
    KiteProject* job = makeJob(name, {{"tex/a.png", 10}});
    if (cfgIsDirectory) {
        QVERIFY(QFile::remove(job->cfgPath()));
        QVERIFY(QDir().mkpath(job->cfgPath()));
    }
    job->autostart = true;
    job->isReadyForUpload = true;
    m_client->plugin->checkFilesSlot(job);
    m_client->receive(checkReply(name, true));

    // The handshake goes on: checked, uploaded, submitted.
    QVERIFY(job->isUploaded);
    QCOMPARE(m_client->sent(QStringLiteral("setuploadchecked")).size(), 1);
    QCOMPARE(m_client->sent(QStringLiteral("addjob")).size(), 1);
    m_client->receive(message(QStringLiteral("addjob"), name, {{"id", "77"}}));
    QCOMPARE(job->jobId, QStringLiteral("77"));

    const QString log = m_client->logText();
    QCOMPARE(log.count(QStringLiteral("Could not open file for appending autostart info")), 2);
    if (cfgIsDirectory)
        QVERIFY(QFileInfo(job->cfgPath()).isDir());
    // Nothing was written beside the user's folder.
    QVERIFY(!QFileInfo::exists(m_client->projectsFolder() + QStringLiteral("/job1.cfg")));
}

void TestUploads::createDirsRequestAndReply()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.png", 10}}, {QStringLiteral("renderer=vray")});
    m_client->settings->uploadAllToDc2 = true;
    m_client->plugin->createDirsOnServerSlot({QStringLiteral("tex"), QStringLiteral("scene/sub")}, job);
    QCOMPARE(job->serverNumberUpload, 2);
    const QList<QJsonObject> requests = m_client->sent(QStringLiteral("createDirs"));
    QCOMPARE(requests.size(), 1);
    const QJsonObject data = requests.first().value("data").toObject();
    QStringList dirs;
    for (const QJsonValue& dir : data.value("dirs").toArray())
        dirs << dir.toString();
    dirs.sort();
    QCOMPARE(dirs, (QStringList{"scene/sub", "tex"}));
    QCOMPARE(data.value("serverNumberUpload").toInt(), 2);
    QCOMPARE(data.value("scene").toString(), QStringLiteral("job1"));

    // Server 2 is kept without reading the cfg again.
    m_client->settings->uploadAllToDc2 = false;
    m_client->plugin->createDirsOnServerSlot({QStringLiteral("tex")}, job);
    QCOMPARE(m_client->sent(QStringLiteral("createDirs")).last().value("data").toObject().value("serverNumberUpload").toInt(), 2);

    job->createDirsSent = true;
    m_client->receive(message(QStringLiteral("createDirs"), QStringLiteral("job1"), {{"result", false}}));
    QVERIFY(!job->dirsCreated);
    QVERIFY(m_client->logText().contains(QStringLiteral("1536 createDirs error")));
    m_client->receive(message(QStringLiteral("createDirs"), QStringLiteral("job1"), {{"result", true}}));
    QVERIFY(job->dirsCreated);
    QVERIFY(!job->createDirsSent);
}

void TestUploads::exporterRefreshRequests()
{
    const QString folder = m_client->projectsFolder();
    touch(folder + QStringLiteral("/di2_orv_refresh.txt"));
    m_client->plugin->appRefreshSlot();
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/di2_orv_refresh.txt")));
    QVERIFY(m_client->sent(QStringLiteral("getTexFiles")).isEmpty());

    m_client->settings->uploadAllToDc2 = true;
    touch(folder + QStringLiteral("/di2_orv_refresh_ftp.txt"));
    m_client->plugin->appRefreshSlot();
    const QList<QJsonObject> requests = m_client->sent(QStringLiteral("getTexFiles"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().value("data").toObject().value("size").toBool(), true);
    QCOMPARE(requests.first().value("data").toObject().value("serverNumberUpload").toInt(), 2);
    QCOMPARE(requests.first().value("custom").toObject().value("appTexRequest").toBool(), true);
    // The request file stays until the listing is written.
    QVERIFY(QFileInfo::exists(folder + QStringLiteral("/di2_orv_refresh_ftp.txt")));
}

void TestUploads::ftpContentsListing()
{
    QCOMPARE(UploadOrchestrator::ftpContentsLine(QStringLiteral("tex/sub/a.png"), 12), QStringLiteral("sub/a.png:12\r\n"));

    makeJob(QStringLiteral("job1"), {{"tex/local.png", 77}, {"scene/x.bin", 5}});
    KiteProject* gone = makeJob(QStringLiteral("gone"), {{"tex/gone.png", 9}});
    gone->isDeleted = true;
    const QString folder = m_client->projectsFolder();
    touch(folder + QStringLiteral("/di2_orv_refresh_ftp.txt"));
    touch(folder + QStringLiteral("/di2_orv_ftp_contents.txt"), "old content that is longer than the new one\r\n"
                                                                 "old content that is longer than the new one\r\n");

    m_client->receive(QJsonObject{
        {"action", "getTexFiles"},
        {"custom", QJsonObject{{"appTexRequest", true}}},
        {"data", QJsonObject{{"files", QJsonObject{{"tex/b.png", 5}, {"tex/a.png", 3000000000.0}, {"tex/ü.png", 1}}}}},
    });
    QCOMPARE(readAll(folder + QStringLiteral("/di2_orv_ftp_contents.txt")),
             QByteArray("a.png:3000000000\r\nb.png:5\r\n\xc3\xbc.png:1\r\nlocal.png:77\r\n"));
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/di2_orv_refresh_ftp.txt")));
}

void TestUploads::ftpContentsFileThatCannotBeWritten()
{
    const QString folder = m_client->projectsFolder();
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/di2_orv_ftp_contents.txt")));
    touch(folder + QStringLiteral("/di2_orv_refresh_ftp.txt"));
    m_client->receive(QJsonObject{{"action", "getTexFiles"},
                                  {"custom", QJsonObject{{"appTexRequest", true}}},
                                  {"data", QJsonObject{{"files", QJsonObject{{"tex/b.png", 5}}}}}});
    QVERIFY(m_client->logText().contains(QStringLiteral("Could not open file")));
    // The request stays for the next attempt.
    QVERIFY(QFileInfo::exists(folder + QStringLiteral("/di2_orv_refresh_ftp.txt")));
}

void TestUploads::textureCacheLookupIsForwarded()
{
    QSignalSpy results(m_client->plugin, &PluginNetConnection::texDbResultSignal);
    m_client->receive(QJsonObject{{"action", "textureCacheLookup"},
                                  {"data", QJsonObject{{"onlinePath", "tex/a.png"}, {"checksum", "abc"}, {"result", "found"}}}});
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.first(), (QVariantList{"tex/a.png", "abc", "found"}));
}

void TestUploads::unzipRequestSendsUnpack()
{
    KiteProject* job = makeJob(QStringLiteral("job1"), {{"tex/a.zip", 10}});
    UploadFile file;
    file.path = QStringLiteral("tex/a.zip");
    m_client->plugin->unzipRequestSlot(file, job);
    const QList<QJsonObject> requests = m_client->sent(QStringLiteral("unpack"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().value("data").toObject().value("scene").toString(), QStringLiteral("job1"));
    QCOMPARE(requests.first().value("data").toObject().value("picture").toString(), QStringLiteral("tex/a.zip"));
    QVERIFY(m_client->logText().contains(QStringLiteral("unzipRequestSlot:job1 file:tex/a.zip")));
}

void TestUploads::packAndUnpackRepliesAreAccepted()
{
    makeJob(QStringLiteral("job1"), {{"tex/a.zip", 10}});
    QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
    m_client->receive(message(QStringLiteral("unpack"), QStringLiteral("job1"), {{"result", true}}));
    m_client->receive(message(QStringLiteral("pack"), QStringLiteral("job1"), {{"result", false}}));
    QVERIFY(m_client->sent().isEmpty());
    QVERIFY(uploadSignal.isEmpty());
}

QTEST_MAIN(TestUploads)
#include "tst_uploads.moc"
