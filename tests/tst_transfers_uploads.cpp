#include "transfers/uploadorchestrator.h"
#include "transfers_fixture.h"

using namespace Transfers;
using TestFiles::readFile;

namespace {
QJsonObject listing(const QString& scene, const QList<LocalFile>& onServer)
{
    QJsonArray files;
    for (const LocalFile& file : onServer)
        files.append(entry(file.path, file.size));
    return message("getTexFolderContents", scene, {{"files", files}});
}

QJsonObject checkReply(const QString& scene, bool result, const QString& errors = QString())
{
    return message("checkFiles", scene, {{"result", result}, {"errors", errors}});
}
} // namespace

// Upload orchestration with the connection cut off: requests are recorded,
// server replies are fed into the dispatch.
class TestTransfersUploads : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_client.start(); }
    void cleanup() { m_client.stop(); }

    void startAsksForTheTextureListing()
    {
        KiteProject* job = m_client.uploadJob("job1", {{"tex/a.png", 1000}, {"scene/b.bin", 10}});
        job->isReadyForUpload = true;
        m_client->plugin->jobBaseFilesForUploadSlot(job);
        QVERIFY(m_client->settings->uploadRequested);
        QVERIFY(job->uploadList.size() == 2 && job->uploadList.at(0).path == "tex/a.png" && job->uploadBytesTotal == 1010);
        QVERIFY(!job->isReadyForUpload && job->texFolderRequestRunning && !job->jobLocalId.isEmpty());
        QVERIFY(readFile(job->cfgPath()).contains("jobLocalId=" + job->jobLocalId.toUtf8()));
        QCOMPARE(m_client->sent("getTexFolderContents").size(), 1);
        QCOMPARE(dataOf(m_client->sent("getTexFolderContents").first()),
                 (QJsonObject{{"size", true}, {"serverNumberUpload", 1}, {"scene", "job1"}}));
        // Reading the cfg asked for the job's folders.
        QCOMPARE(sortedDirs(m_client->sent("createDirs").value(0)), (QStringList{"scene", "tex"}));
        // Not again for an uploaded job or one whose check is on its way.
        m_client->clearSent();
        KiteProject* uploaded = m_client.uploadJob("done", {{"tex/a.png", 10}});
        KiteProject* checking = m_client.uploadJob("checking", {{"tex/a.png", 10}});
        std::tie(uploaded->isUploaded, checking->waitingForCheckFiles) = std::make_pair(true, true);
        m_client->plugin->jobBaseFilesForUploadSlot(uploaded);
        m_client->plugin->jobBaseFilesForUploadSlot(checking);
        QVERIFY(m_client->sent("getTexFolderContents").isEmpty());
        // A restarted upload of an uploaded job goes ahead.
        uploaded->uploadRestartPending = true;
        m_client->plugin->jobBaseFilesForUploadSlot(uploaded);
        QCOMPARE(m_client->sent("getTexFolderContents").size(), 1);
    }

    void serverSizes_data()
    {
        QTest::addColumn<qint64>("serverSize");
        QTest::addColumn<bool>("alreadyOnServer");
        QTest::addColumn<qint64>("resumeOffset"); // 0: no resume
        QTest::addColumn<bool>("serverCopyLarger");
        QTest::addColumn<qint64>("bytesSent");
        QTest::newRow("complete") << qint64(1000) << true << qint64(0) << false << qint64(1000);
        QTest::newRow("partial") << qint64(400) << false << qint64(400) << false << qint64(400);
        QTest::newRow("larger") << qint64(1200) << false << qint64(0) << true << qint64(0);
        QTest::newRow("absent") << qint64(-1) << false << qint64(0) << false << qint64(0);
    }

    void serverSizes()
    {
        QFETCH(qint64, serverSize);
        QFETCH(qint64, resumeOffset);
        KiteProject* job = startedJob("job1", {{"tex/a.png", 1000}, {"tex/other.png", 5}, {"tex/empty.txt", 0},
                                               {"tex/listed.txt", 0}});
        QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        QList<LocalFile> onServer{{"unrelated.png", 77}, {"listed.txt", 0}};
        if (serverSize >= 0)
            onServer << LocalFile{"a.png", serverSize};
        m_client->receive(listing("job1", onServer));
        const UploadFile& file = job->uploadList.at(0);
        QTEST(file.alreadyOnServer, "alreadyOnServer");
        QCOMPARE(file.resume, resumeOffset > 0);
        QCOMPARE(file.resumeOffset, resumeOffset);
        QTEST(file.serverCopyLarger, "serverCopyLarger");
        QTEST(job->bytesSentTotal, "bytesSent");
        QVERIFY(!file.uploadingElsewhere && !job->uploadList.at(1).alreadyOnServer);
        // An empty file counts as on the server only when it is listed.
        QVERIFY(!job->uploadList.at(2).alreadyOnServer && job->uploadList.at(3).alreadyOnServer);
        QVERIFY(!job->texFolderRequestRunning && job->isReadyForUpload);
        QCOMPARE(uploadSignal.size(), 1);
        QCOMPARE(ofType(messages, "UploadStart").size(), 1);
        QCOMPARE(messages.first().mid(0, 2), (QVariantList{"Upload started", "job1"}));
        QCOMPARE(m_client->sent("setuploadstarted").size(), 1);
        QCOMPARE(dataOf(m_client->sent("setuploadstarted").first()),
                 (QJsonObject{{"scene", "job1"}, {"serverNumberUpload", 1}, {"teamid", 0}}));
    }

    // A listing nobody asked for, a second one for one request, and one for a
    // job that renders are ignored.
    void unaskedOrLateListingIsIgnored()
    {
        KiteProject* job = m_client.uploadJob("job1", {{"tex/a.png", 1000}});
        QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
        m_client->receive(listing("job1", {{"a.png", 1000}}));
        QVERIFY(uploadSignal.isEmpty() && !job->isReadyForUpload);
        m_client->plugin->jobBaseFilesForUploadSlot(job);
        m_client->receive(listing("job1", {}));
        m_client->receive(listing("job1", {}));
        QCOMPARE(uploadSignal.size(), 1);
        KiteProject* rendering = startedJob("job2", {{"tex/a.png", 1000}});
        rendering->isRendering = true;
        m_client->receive(listing("job2", {{"a.png", 1000}}));
        QCOMPARE(uploadSignal.size(), 1);
        QVERIFY(!rendering->texFolderRequestRunning && !rendering->uploadList.at(0).alreadyOnServer);
        QCOMPARE(m_client->sent("setuploadstarted").size(), 1);

        // Sync switched off while the listing was on its way: the job is paused.
        KiteProject* held = startedJob("job3", {{"tex/a.png", 1000}});
        m_client->settings->syncActive = false;
        QSignalSpy paused(held, &KiteProject::pauseUploadSignal);
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        m_client->receive(listing("job3", {{"a.png", 400}}));
        QVERIFY(held->isUploadPaused && held->isUploadPausedByStopSync && !held->isReadyForUpload);
        QCOMPARE(paused.size(), 1);
        QVERIFY(held->uploadList.at(0).resume); // the listing itself was taken in
        QCOMPARE(uploadSignal.size(), 1);
        QVERIFY(messages.isEmpty());
        QCOMPARE(m_client->sent("setuploadstarted").size(), 1);
    }

    void sharedTexture_data()
    {
        QTest::addColumn<qint64>("serverSize");
        QTest::addColumn<bool>("holderDeleted");
        QTest::newRow("partly on the server") << qint64(400) << false;
        QTest::newRow("not yet on the server") << qint64(-1) << false;
        QTest::newRow("the job sending it is deleted") << qint64(400) << true;
    }

    void sharedTexture()
    {
        QFETCH(qint64, serverSize);
        QFETCH(bool, holderDeleted);
        KiteProject* first = m_client.uploadJob("first", {{"tex/shared.png", 1000}});
        // The uploader is sending the first job's copy of the texture.
        std::tie(first->uploadingFilesHash["tex/shared.png"], first->isDeleted) = std::make_pair(1000, holderDeleted);
        KiteProject* second = startedJob("second", {{"tex/shared.png", 1000}, {"tex/own.png", 20}});
        QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        m_client->receive(listing("second", serverSize < 0 ? QList<LocalFile>() : QList<LocalFile>{{"shared.png", serverSize}}));
        const UploadFile& shared = second->uploadList.at(0);
        QCOMPARE(shared.uploadingElsewhere, !holderDeleted);
        QCOMPARE(second->waitsForOtherUpload, !holderDeleted);
        QCOMPARE(second->alreadyUploadingFilesHash.value("tex/shared.png", -1), holderDeleted ? -1 : qint64(1000));
        QCOMPARE(shared.resume, serverSize > 0);
        QCOMPARE(shared.resumeOffset, qMax(serverSize, qint64(0)));
        QVERIFY(!shared.alreadyOnServer && !second->uploadList.at(1).uploadingElsewhere);
        QCOMPARE(second->bytesSentTotal, qMax(serverSize, qint64(0)));
        // Handed to the uploader, which waits for the file; "Upload started" is
        // only shown for a job that sends its own.
        QVERIFY(uploadSignal.size() == 1 && second->isReadyForUpload);
        QCOMPARE(ofType(messages, "UploadStart").size(), holderDeleted ? 1 : 0);
        QCOMPARE(m_client->sent("setuploadstarted").size(), 1);
    }

    void uploadMethod_data()
    {
        QTest::addColumn<QList<bool>>("flags"); // encryption, ccc, sftp, https, expedat
        QTest::addColumn<QString>("method");
        QTest::newRow("default") << QList<bool>{false, false, false, false, false} << "FTP";
        QTest::newRow("encrypted") << QList<bool>{true, false, false, false, false} << "FTPS";
        QTest::newRow("encrypted ccc") << QList<bool>{true, true, false, false, false} << "FTPSCCC";
        QTest::newRow("ccc alone") << QList<bool>{false, true, false, false, false} << "FTP";
        QTest::newRow("sftp") << QList<bool>{true, true, true, false, false} << "SFTP";
        QTest::newRow("https over ftps ccc") << QList<bool>{true, true, false, true, false} << "HTTPS";
        QTest::newRow("https over sftp") << QList<bool>{false, false, true, true, false} << "HTTPS";
        QTest::newRow("rapid over all") << QList<bool>{true, true, true, true, true} << "RAPID";
    }

    void uploadMethod()
    {
        QFETCH(QList<bool>, flags);
        QFETCH(QString, method);
        KiteSettings* set = m_client->settings;
        std::tie(set->ftpEncryptionUp, set->ftpCCC, set->useSftpUp, set->useHttpsUp, set->useExpedatUp) =
            std::make_tuple(flags.at(0), flags.at(1), flags.at(2), flags.at(3), flags.at(4));
        KiteProject* job = m_client.uploadJob("job1", {{"tex/a.png", 10}});
        job->serverNumberUpload = 2;
        job->hasUploadError = true;
        m_client->plugin->checkFilesSlot(job);
        QVERIFY(job->waitingForCheckFiles);
        QCOMPARE(m_client->sent("checkFiles").size(), 1);
        QCOMPARE(dataOf(m_client->sent("checkFiles").first()),
                 (QJsonObject{{"scene", "job1"}, {"uploadMethod", method}, {"error", true}, {"serverNumberUpload", 2}}));
        // A test job is not checked.
        KiteProject* test = m_client->addJob("uploadtest");
        test->isUploadTest = true;
        test->alreadyUploadingFilesHash.insert("tex/a.png", 3);
        test->uploadFileQueue.append(UploadFile());
        m_client->plugin->checkFilesSlot(test);
        QVERIFY(test->isUploaded && test->alreadyUploadingFilesHash.isEmpty() && test->uploadFileQueue.isEmpty());
        QCOMPARE(m_client->sent().size(), 1);
    }

    void uploadServer_data()
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
        QTest::newRow("empty entry matches nothing") << false << "arnold;" << "maya;" << 1;
    }

    void uploadServer()
    {
        QFETCH(bool, allToDc2);
        QFETCH(QString, renderers);
        QFETCH(QString, programs);
        KiteSettings* settings = m_client->settings;
        settings->uploadAllToDc2 = allToDc2;
        settings->setUploadToDc2Renderers(renderers);
        settings->setUploadToDc2Programs(programs);
        KiteProject* job = m_client.uploadJob("job1", {{"tex/a.png", 10}}, {"renderer=VRay Next", "program=3ds max"});
        m_client->plugin->jobBaseFilesForUploadSlot(job);
        QTEST(job->serverNumberUpload, "server");
        QTEST(dataOf(m_client->sent("getTexFolderContents").first()).value("serverNumberUpload").toInt(), "server");
        m_client->receive(listing("job1", {}));
        QTEST(dataOf(m_client->sent("setuploadstarted").first()).value("serverNumberUpload").toInt(), "server");
        // Without a cfg only "all to dc2" counts.
        QCOMPARE(m_client->plugin->uploadOrchestrator->serverNumberForUpload("no such job"), allToDc2 ? 2 : 1);
    }

    void passedCheck_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("autostart");
        QTest::addColumn<QString>("cfg"); // "file", "directory" or "none" (not a file name)
        QTest::newRow("autostart") << "job1" << true << "file";
        QTest::newRow("no autostart") << "job1" << false << "file";
        QTest::newRow("cfg is a directory") << "job1" << true << "directory";
        QTest::newRow("name is not a file name") << "../job1" << true << "none";
    }

    // A passed check marks the job uploaded in its cfg and submits it when
    // asked to; a cfg that cannot be written to holds nothing up.
    void passedCheck()
    {
        QFETCH(QString, name);
        QFETCH(bool, autostart);
        QFETCH(QString, cfg);
        KiteProject* job = m_client.uploadJob(name, {{"tex/a.png", 10}});
        if (cfg == "directory")
            QVERIFY(QFile::remove(job->cfgPath()) && QDir().mkpath(job->cfgPath()));
        std::tie(job->autostart, job->renderPriority, job->isReadyForUpload) = std::make_tuple(autostart, 52, true);
        m_client->settings->runningJobUploads = 2;
        m_client->plugin->checkFilesSlot(job);
        const QByteArray cfgBefore = readFile(job->cfgPath());
        QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
        QSignalSpy messages(m_client->plugin, &PluginNetConnection::showMessageSignal);
        m_client->receive(checkReply(name, true));
        QVERIFY(!job->waitingForCheckFiles && job->isUploaded && !job->isUploading && !job->autostart);
        QCOMPARE(m_client->settings->runningJobUploads, 1);
        QCOMPARE(uploadSignal.size(), 1);
        QCOMPARE(ofType(messages, "UploadEnd").value(0).mid(0, 2),
                 (QVariantList{"Upload finished", name + "100%... \nClick to open Control Center"}));
        QCOMPARE(m_client->sent("setuploadchecked").size(), 1);
        QCOMPARE(dataOf(m_client->sent("setuploadchecked").first()),
                 (QJsonObject{{"scene", name}, {"custom", "VK"}, {"serverNumberUpload", 1}}));
        if (cfg == "file")
            QCOMPARE(readFile(job->cfgPath()), cfgBefore + "\r\nuploadfinished=true");
        QCOMPARE(m_client->sent("addjob").size(), autostart ? 1 : 0);
        if (!autostart)
            return;
        QCOMPARE(dataOf(m_client->sent("addjob").first()), (QJsonObject{{"prio", 52}, {"pack", "metered"}, {"scene", name}}));
        m_client->receive(message("addjob", name, {{"id", "4711"}, {"server_download", 2}, {"server_upload", 2}}));
        QCOMPARE(job->jobId, QStringLiteral("4711"));
        QVERIFY(job->serverNumber == 2 && job->serverNumberUpload == 2);
        if (cfg == "file")
            QCOMPARE(readFile(job->cfgPath()), cfgBefore + "\r\nuploadfinished=true\r\nautostart=2");
        else
            QCOMPARE(m_client->logText().count("Could not open file for appending autostart info"), 2);
        QVERIFY(!QFileInfo::exists(m_client->projectsFolder() + "/job1.cfg"));
        // Absent servers are left as they are.
        m_client->receive(message("addjob", name, {{"id", 99}}));
        QCOMPARE(job->jobId, QStringLiteral("99"));
        QVERIFY(job->serverNumber == 2 && job->serverNumberUpload == 2);
        // A reply without a usable id leaves the job the one it has.
        for (const QJsonValue& unusable : {QJsonValue(), QJsonValue(true), QJsonValue(QJsonArray{1}), QJsonValue("")})
            m_client->receive(message("addjob", name, {{"id", unusable}}));
        QCOMPARE(job->jobId, QStringLiteral("99"));
    }

    void liveUploadPassesAFailedCheck()
    {
        KiteProject* job = m_client.uploadJob("liveUploadJob", {{"tex/live.png", 10}});
        std::tie(job->isLiveUpload, job->isReadyForUpload) = std::make_pair(true, true);
        m_client->plugin->liveUploadRunning = true;
        m_client->settings->runningJobUploads = 1;
        m_client->plugin->checkFilesSlot(job);
        QSignalSpy menu(m_client->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
        m_client->receive(checkReply("liveUploadJob", false, "missing: tex/live.png"));
        QCOMPARE(m_client->sent("setuploadchecked").size(), 1);
        QCOMPARE(readFile(m_client->userFolder() + "/preuploadcomplete.txt"), QByteArray());
        QVERIFY(job->isUploaded && job->errorCount == 0 && m_client->settings->runningJobUploads == 0);
        QVERIFY(!m_client->plugin->liveUploadRunning);
        // The live job's local files go, and the menu is rebuilt afterwards.
        QVERIFY(job->isDeletedLocal || job->isDeleted);
        QVERIFY(menu.size() >= 1 || menu.wait());
    }

    void failedCheck_data()
    {
        QTest::addColumn<int>("errorsBefore");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<QString>("outcome"); // "retry", "error", "nothing"
        QTest::newRow("first failure") << 0 << true << "retry";
        QTest::newRow("29th failure") << 28 << true << "retry";
        QTest::newRow("30th failure") << 29 << true << "error";
        QTest::newRow("after 30") << 35 << true << "error";
        QTest::newRow("30th, not checked by this client") << 29 << false << "nothing";
    }

    void failedCheck()
    {
        QFETCH(int, errorsBefore);
        QFETCH(bool, ready);
        QFETCH(QString, outcome);
        KiteProject* job = m_client.uploadJob("job1", {{"tex/a.png", 10}});
        job->errorCount = errorsBefore;
        job->isReadyForUpload = ready;
        job->isUploading = true;
        m_client->settings->runningJobUploads = 1;
        if (ready)
            m_client->plugin->checkFilesSlot(job);
        QSignalSpy uploadSignal(m_client->plugin, &PluginNetConnection::UploadJobSignal);
        QSignalSpy notices(m_client->settings, &KiteSettings::showMessageSignal);
        m_client->receive(checkReply("job1", false, "missing: tex/a.png"));
        QCOMPARE(job->errorCount, errorsBefore + 1);
        QVERIFY(!job->isUploading && !job->isUploaded);
        QCOMPARE(job->uploadErrorText, QStringLiteral("missing: tex/a.png"));
        // Counted down once per run the uploader reported.
        QCOMPARE(m_client->settings->runningJobUploads, ready ? 0 : 1);
        QCOMPARE(uploadSignal.size(), 1);
        QVERIFY(m_client->sent("setuploadchecked").isEmpty());
        // A retry starts over from the folder listing.
        QCOMPARE(m_client->sent("getProjectFolderContents").size(), outcome == "retry" ? 1 : 0);
        QCOMPARE(job->uploadRestartPending, outcome == "retry");
        QCOMPARE(job->hasUploadError, outcome == "error");
        QCOMPARE(ofType(notices, "UploadError").size(), outcome == "error" ? 1 : 0);
        QCOMPARE(bool(job->errorDialog), outcome == "error");
        // A reply that resolves to no job changes nothing.
        m_client->clearSent();
        m_client->receive(checkReply("unknown", true));
        m_client->receive(message("addjob", "unknown", {{"id", "1"}}));
        QCOMPARE(uploadSignal.size(), 1);
        QVERIFY(m_client->sent().isEmpty());
    }

    void smallRequestsAndReplies()
    {
        KiteProject* job = m_client.uploadJob("job1", {{"tex/a.png", 10}}, {"renderer=vray"});
        m_client->settings->uploadAllToDc2 = true;
        m_client->plugin->createDirsOnServerSlot({"tex", "scene/sub"}, job);
        QCOMPARE(job->serverNumberUpload, 2);
        QCOMPARE(sortedDirs(m_client->sent("createDirs").value(0)), (QStringList{"scene/sub", "tex"}));
        QCOMPARE(dataOf(m_client->sent("createDirs").value(0)).value("serverNumberUpload").toInt(), 2);
        QCOMPARE(dataOf(m_client->sent("createDirs").value(0)).value("scene").toString(), QStringLiteral("job1"));
        // Server 2 is kept without reading the cfg again.
        m_client->settings->uploadAllToDc2 = false;
        m_client->plugin->createDirsOnServerSlot({"tex"}, job);
        QCOMPARE(dataOf(m_client->sent("createDirs").last()).value("serverNumberUpload").toInt(), 2);
        job->createDirsSent = true;
        m_client->receive(message("createDirs", "job1", {{"result", false}}));
        QVERIFY(!job->dirsCreated);
        m_client->receive(message("createDirs", "job1", {{"result", true}}));
        QVERIFY(job->dirsCreated && !job->createDirsSent);

        // Unpacking, and the texture cache's answer passed on.
        m_client->clearSent();
        UploadFile file;
        file.path = "tex/a.zip";
        m_client->plugin->unzipRequestSlot(file, job);
        QCOMPARE(m_client->sent().size(), 1);
        QCOMPARE(dataOf(m_client->sent("unpack").value(0)), (QJsonObject{{"scene", "job1"}, {"picture", "tex/a.zip"}}));
        QSignalSpy results(m_client->plugin, &PluginNetConnection::texDbResultSignal);
        m_client->receive(QJsonObject{{"action", "textureCacheLookup"},
                                      {"data", QJsonObject{{"onlinePath", "tex/a.png"}, {"checksum", "abc"}, {"result", "found"}}}});
        QCOMPARE(results.value(0), (QVariantList{"tex/a.png", "abc", "found"}));
        m_client->receive(message("unpack", "job1", {{"result", true}}));
        QCOMPARE(m_client->sent().size(), 1);
    }

    // The exporter's marker files: a refresh is taken away, a texture listing is
    // asked for and written.
    void exporterTextureListing()
    {
        QCOMPARE(UploadOrchestrator::ftpContentsLine("tex/sub/a.png", 12), QStringLiteral("sub/a.png:12\r\n"));
        const QString folder = m_client->projectsFolder();
        QVERIFY(TestFiles::writeFile(folder + "/di2_orv_refresh.txt", {}));
        m_client->plugin->appRefreshSlot();
        QVERIFY(!QFileInfo::exists(folder + "/di2_orv_refresh.txt") && m_client->sent("getTexFiles").isEmpty());
        m_client.uploadJob("job1", {{"tex/local.png", 77}, {"scene/x.bin", 5}});
        m_client.uploadJob("gone", {{"tex/gone.png", 9}})->isDeleted = true;
        m_client->settings->uploadAllToDc2 = true;
        QVERIFY(TestFiles::writeFile(folder + "/di2_orv_refresh_ftp.txt", {}));
        m_client->plugin->appRefreshSlot();
        QCOMPARE(m_client->sent("getTexFiles").size(), 1);
        const QJsonObject request = m_client->sent("getTexFiles").first();
        QCOMPARE(dataOf(request), (QJsonObject{{"size", true}, {"serverNumberUpload", 2}}));
        QCOMPARE(request.value("custom").toObject(), (QJsonObject{{"appTexRequest", true}}));
        const QJsonObject reply{{"action", "getTexFiles"},
                                {"custom", QJsonObject{{"appTexRequest", true}}},
                                {"data", QJsonObject{{"files", QJsonObject{{"tex/b.png", 5}, {"tex/a.png", 3000000000.0},
                                                                           {"tex/ü.png", 1}}}}}};
        // An unwritable listing keeps the request for the next try.
        QVERIFY(QDir().mkpath(folder + "/di2_orv_ftp_contents.txt"));
        m_client->receive(reply);
        QVERIFY(m_client->logText().contains("Could not open file"));
        QVERIFY(QFileInfo::exists(folder + "/di2_orv_refresh_ftp.txt"));
        QVERIFY(QDir(folder + "/di2_orv_ftp_contents.txt").removeRecursively());
        QVERIFY(TestFiles::writeFile(folder + "/di2_orv_ftp_contents.txt", QByteArray(200, 'o')));
        m_client->receive(reply);
        QCOMPARE(readFile(folder + "/di2_orv_ftp_contents.txt"),
                 QByteArray("a.png:3000000000\r\nb.png:5\r\n\xc3\xbc.png:1\r\nlocal.png:77\r\n"));
        QVERIFY(!QFileInfo::exists(folder + "/di2_orv_refresh_ftp.txt"));
    }

private:
    KiteProject* startedJob(const QString& name, const QList<LocalFile>& files)
    {
        KiteProject* job = m_client.uploadJob(name, files);
        m_client->plugin->jobBaseFilesForUploadSlot(job);
        return job;
    }

    Client m_client;
};

QTEST_MAIN(TestTransfersUploads)
#include "tst_transfers_uploads.moc"
