#include "jobs/jobdeleter.h"
#include "jobs/kiteproject.h"
#include "jobs/localprojectsscanner.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/offlineclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
void touch(const QString& path, const QByteArray& content = QByteArray())
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

QStringList fileSection(const QStringList& paths)
{
    QStringList lines{QStringLiteral("renderer=vray"), QStringLiteral("[files]")};
    for (int i = 0; i < paths.size(); ++i) {
        lines << QStringLiteral("path%1=%2").arg(i).arg(paths.at(i));
        lines << QStringLiteral("pathlocal%1=/local/%2").arg(i).arg(paths.at(i));
        lines << QStringLiteral("pathsize%1=10").arg(i);
    }
    return lines;
}
} // namespace

// The file protocol with the scene exporters: marker files, new job files,
// the scanner's pass over the server listing, and job deletion.
class TestProjectsFolder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void portalMarkersOpenInOrder();
    void calculatorMarkerCarriesItsValues();
    void loginRescansTheProjectsFolder();
    void newJobFileIsAnnounced();
    void knownJobFileIsNotAnnounced();
    void changeDuringAPassGivesOneMorePass();
    void liveUploadStartsOnce();
    void scannerCreatesLocalJobs_data();
    void scannerCreatesLocalJobs();
    void checkedMarkMakesJobUploaded();
    void rendersAreNeverUploadedAgain();
    void sharedTextureSurvivesTheFirstDeletion();
    void deletionStaysInsideTheUserFolder();
    void liveUploadDeletionComparesNothing();
    void serverDeletion_data();
    void serverDeletion();
    void deletedJobIsRecreatedFromANewCfg();

private:
    QStringList openedLinks() const;
    std::unique_ptr<OfflineClient> m_client;
};

void TestProjectsFolder::init()
{
    m_client = std::make_unique<OfflineClient>();
}

void TestProjectsFolder::cleanup()
{
    m_client.reset();
}

QStringList TestProjectsFolder::openedLinks() const
{
    QStringList links;
    for (const QJsonObject& request : m_client->sent(QStringLiteral("getUserToken")))
        links << request.value("custom").toObject().value("linkUrl").toString();
    return links;
}

void TestProjectsFolder::portalMarkersOpenInOrder()
{
    const QString folder = m_client->projectsFolder();
    touch(folder + "/opentm.txt");
    touch(folder + "/opencc.txt");
    m_client->plugin->directoryChangedSlot(folder);
    QCOMPARE(openedLinks(), (QStringList{m_client->settings->controlCenterUrl, m_client->settings->teamManagerUrl}));
    QVERIFY(!QFile::exists(folder + "/opentm.txt"));
    QVERIFY(!QFile::exists(folder + "/opencc.txt"));
}

void TestProjectsFolder::calculatorMarkerCarriesItsValues()
{
    touch(m_client->projectsFolder() + "/opencalcwithvalues.txt", "?frames=100&ghz=3.2\nignored\n");
    m_client->plugin->directoryChangedSlot(m_client->projectsFolder());
    QCOMPARE(openedLinks(), QStringList{m_client->settings->calculatorUrl + "?frames=100&ghz=3.2"});
    QVERIFY(!QFile::exists(m_client->projectsFolder() + "/opencalcwithvalues.txt"));
}

void TestProjectsFolder::loginRescansTheProjectsFolder()
{
    // A job exported while the client was not running is found at login,
    // although the refresh marker of the start-up is still in the folder.
    m_client->writeJob(QStringLiteral("exported"), {QStringLiteral("renderer=vray")});
    QVERIFY(QFile::exists(m_client->projectsFolder() + "/di2_orv_refresh.txt"));
    m_client->plugin->loginSuccessSlot(0);
    QTRY_COMPARE(m_client->sent(QStringLiteral("getProjectFolderContents")).size(), 1);
}

void TestProjectsFolder::newJobFileIsAnnounced()
{
    m_client->writeJob(QStringLiteral("newjob"), {QStringLiteral("renderer=vray")});
    m_client->writeUserFile(QStringLiteral("newjob_uploadfinished"), "x");
    touch(m_client->projectsFolder() + "/di2_orv_refresh.txt");
    m_client->settings->loggedIn = false;
    m_client->plugin->directoryChangedSlot(m_client->projectsFolder());

    const QList<QJsonObject> requests = m_client->sent(QStringLiteral("getProjectFolderContents"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().value("data").toObject().value("serverNumberUpload").toInt(), 1);
    QVERIFY(!QFile::exists(m_client->projectsFolder() + "/di2_orv_refresh.txt"));
    QVERIFY(m_client->plugin->loginRequiredForChange);
}

void TestProjectsFolder::knownJobFileIsNotAnnounced()
{
    m_client->writeJob(QStringLiteral("known"), {QStringLiteral("renderer=vray"), QStringLiteral("downloadpath=/out/known")});
    KiteProject* job = m_client->addJob(QStringLiteral("known"));
    touch(m_client->projectsFolder() + "/di2_orv_refresh.txt");
    m_client->plugin->directoryChangedSlot(m_client->projectsFolder());
    QCOMPARE(m_client->sent(QStringLiteral("getProjectFolderContents")).size(), 0);
    QCOMPARE(job->localDownloadDir, QStringLiteral("/out/known")); // header refreshed
}

void TestProjectsFolder::changeDuringAPassGivesOneMorePass()
{
    // Changes reported while a pass runs collapse into one more pass.
    m_client->plugin->directoryScanRunning = true;
    m_client->plugin->directoryChangedSlot(m_client->projectsFolder());
    m_client->plugin->directoryChangedSlot(m_client->projectsFolder());
    QVERIFY(m_client->plugin->directoryChangedAgain);
    m_client->plugin->directoryScanRunning = false;

    m_client->writeJob(QStringLiteral("late"), {QStringLiteral("renderer=vray")});
    touch(m_client->projectsFolder() + "/di2_orv_refresh.txt");
    touch(m_client->projectsFolder() + "/opencc.txt");
    m_client->plugin->directoryChangedSlot(m_client->projectsFolder());
    QVERIFY(!m_client->plugin->directoryChangedAgain);
    QVERIFY(!m_client->plugin->directoryScanRunning);
    QCOMPARE(m_client->sent(QStringLiteral("getProjectFolderContents")).size(), 1);
    QCOMPARE(openedLinks().size(), 1);
}

void TestProjectsFolder::liveUploadStartsOnce()
{
    touch(m_client->projectsFolder() + "/di2_orv_livefiles.txt", "/tmp/a.png|/tex\n");
    m_client->plugin->directoryChangedSlot(m_client->projectsFolder());
    m_client->plugin->directoryChangedSlot(m_client->projectsFolder());
    int live = 0;
    for (KiteProject* job : qAsConst(m_client->settings->jobList))
        live += job->isLiveUpload ? 1 : 0;
    QCOMPARE(live, 1);
    QVERIFY(m_client->plugin->liveUploadRunning);
    QCOMPARE(m_client->job(QStringLiteral("liveUploadJob"))->jobId, QStringLiteral("liveUploadId"));
}

void TestProjectsFolder::scannerCreatesLocalJobs_data()
{
    QTest::addColumn<bool>("withScene");
    QTest::addColumn<bool>("handedToUpload");

    QTest::newRow("cfg with scene package") << true << true;
    QTest::newRow("cfg alone is not local") << false << false;
}

void TestProjectsFolder::scannerCreatesLocalJobs()
{
    QFETCH(bool, withScene);
    QFETCH(bool, handedToUpload);

    m_client->writeJob(QStringLiteral("scan"), {QStringLiteral("renderer=vray")}, withScene);
    m_client->writeUserFile(QStringLiteral("scan.jpg"), QByteArray(40, 'j'));
    // The scanner alone: the upload orchestration would choose the
    // job's upload server again from its cfg.
    QVERIFY(disconnect(m_client->plugin->localProjectsScanner, &LocalProjectsScanner::jobForUploadSignal, m_client->plugin,
                       &PluginNetConnection::jobBaseFilesForUploadSlot));
    QSignalSpy upload(m_client->plugin->localProjectsScanner, &LocalProjectsScanner::jobForUploadSignal);
    QSignalSpy polls(m_client->plugin->localProjectsScanner, &LocalProjectsScanner::getProjectStatesSignal);
    const QJsonArray listing{QJsonObject{{"file", "scan.jpg"}, {"size", 40}}, QJsonObject{{"file", "scan"}, {"size", 5}}};
    emit m_client->plugin->scanProjectsSignal(listing, 2);

    KiteProject* job = m_client->job(QStringLiteral("scan"));
    QVERIFY(job);
    QCOMPARE(job->isLocal, withScene);
    QCOMPARE(upload.count(), handedToUpload ? 1 : 0);
    QCOMPARE(polls.count(), 1);
    QVERIFY(m_client->settings->uploadRequested);
    if (handedToUpload) {
        QVERIFY(job->isMarkedForUpload);
        QCOMPARE(job->serverNumberUpload, 2);
        // The preview is complete on the server; the scene package is resumed
        // from its fifth byte.
        const qint64 sceneSize = QFileInfo(m_client->userFolder() + QStringLiteral("/scan")).size();
        QCOMPARE(job->uploadBytesTotal, sceneSize - 5);
    }
}

void TestProjectsFolder::checkedMarkMakesJobUploaded()
{
    m_client->writeJob(QStringLiteral("done"), {QStringLiteral("renderer=vray")});
    QSignalSpy upload(m_client->plugin->localProjectsScanner, &LocalProjectsScanner::jobForUploadSignal);
    emit m_client->plugin->scanProjectsSignal(QJsonArray{QJsonObject{{"file", "done.ischecked"}, {"size", 0}}}, 1);
    QVERIFY(m_client->job(QStringLiteral("done"))->isUploaded);
    QCOMPARE(upload.count(), 0);
}

void TestProjectsFolder::rendersAreNeverUploadedAgain()
{
    m_client->writeJob(QStringLiteral("busy"), {QStringLiteral("renderer=vray")});
    KiteProject* job = m_client->addJob(QStringLiteral("busy"));
    job->isRendering = true;
    QSignalSpy upload(m_client->plugin->localProjectsScanner, &LocalProjectsScanner::jobForUploadSignal);
    emit m_client->plugin->scanProjectsSignal(QJsonArray(), 1);
    QCOMPARE(upload.count(), 0);
}

void TestProjectsFolder::sharedTextureSurvivesTheFirstDeletion()
{
    m_client->writeJob(QStringLiteral("one"), fileSection({"tex/shared.png", "tex/one.png"}));
    m_client->writeJob(QStringLiteral("two"), fileSection({"tex/shared.png"}));
    m_client->writeUserFile(QStringLiteral("tex/shared.png"), "s");
    m_client->writeUserFile(QStringLiteral("tex/one.png"), "o");
    m_client->writeUserFile(QStringLiteral("one.jpg"), "j");
    KiteProject* one = m_client->addJob(QStringLiteral("one"));
    KiteProject* two = m_client->addJob(QStringLiteral("two"));
    QSignalSpy menu(m_client->plugin, &PluginNetConnection::buildRenderJobSubmenuSignal);
    QSignalSpy pauseUpload(one, &KiteProject::pauseUploadSignal);

    emit m_client->settings->deleteLocalJobSignal(one);
    const QString user = m_client->userFolder();
    QVERIFY(QFile::exists(user + "/tex/shared.png"));
    QVERIFY(!QFile::exists(user + "/tex/one.png"));
    QVERIFY(!QFile::exists(user + "/one.cfg"));
    QVERIFY(!QFile::exists(user + "/one"));
    QVERIFY(!QFile::exists(user + "/one.jpg"));
    QVERIFY(one->isDeleted && one->isDeletedLocal);
    QCOMPARE(one->name, QStringLiteral("one(deleted)"));
    QVERIFY(pauseUpload.count() >= 1);
    QTRY_COMPARE(menu.count(), 1); // once the deleter is gone

    emit m_client->settings->deleteLocalJobSignal(two);
    QVERIFY(!QFile::exists(user + "/tex/shared.png"));
}

void TestProjectsFolder::deletionStaysInsideTheUserFolder()
{
    touch(m_client->projectsFolder() + "/keep.txt", "precious");
    QTemporaryDir elsewhere;
    touch(elsewhere.filePath("abs.txt"), "precious");
    m_client->writeJob(QStringLiteral("evil"), fileSection({"../keep.txt", elsewhere.filePath("abs.txt"), "tex/../../keep.txt",
                                                            "tex/ok.png"}));
    m_client->writeUserFile(QStringLiteral("tex/ok.png"), "ok");
    emit m_client->settings->deleteLocalJobSignal(m_client->addJob(QStringLiteral("evil")));
    QVERIFY(QFile::exists(m_client->projectsFolder() + "/keep.txt"));
    QVERIFY(QFile::exists(elsewhere.filePath("abs.txt")));
    QVERIFY(!QFile::exists(m_client->userFolder() + "/tex/ok.png"));
    QCOMPARE(JobDeleter::fileInUserFolder("/p/u", "tex/a.png"), QStringLiteral("/p/u/tex/a.png"));
    QVERIFY(JobDeleter::fileInUserFolder("/p/u", "tex/../../u2/a").isEmpty());
    QVERIFY(JobDeleter::fileInUserFolder("/p/u", "C:\\x").isEmpty());
}

void TestProjectsFolder::liveUploadDeletionComparesNothing()
{
    m_client->writeJob(QStringLiteral("other"), fileSection({"tex/a.png"}));
    m_client->writeUserFile(QStringLiteral("tex/a.png"), "a");
    m_client->writeUserFile(QStringLiteral("liveUploadJob.cfg"), "path0=tex/a.png\r\n");
    KiteProject* live = m_client->addJob(QStringLiteral("liveUploadJob"));
    live->isLiveUpload = true;
    emit m_client->settings->deleteLocalJobSignal(live);
    QVERIFY(!QFile::exists(m_client->userFolder() + "/liveUploadJob.cfg"));
    QVERIFY(QFile::exists(m_client->userFolder() + "/tex/a.png"));
}

void TestProjectsFolder::serverDeletion_data()
{
    QTest::addColumn<bool>("alreadyDeleted");
    QTest::newRow("known job") << false;
    QTest::newRow("only a deleted record") << true;
}

void TestProjectsFolder::serverDeletion()
{
    QFETCH(bool, alreadyDeleted);
    m_client->writeJob(QStringLiteral("srv"), {QStringLiteral("renderer=vray")});
    KiteProject* job = m_client->addJob(QStringLiteral("srv"), QStringLiteral("8"));
    job->isDeletedLocal = alreadyDeleted;
    QSignalSpy pauseDownload(job, &KiteProject::pauseDownloadSignal);
    m_client->receive(QJsonObject{{"action", "projectDeleted"}, {"data", QJsonObject{{"scene", "srv"}}}});
    QCOMPARE(QFile::exists(m_client->userFolder() + "/srv.cfg"), alreadyDeleted);
    QCOMPARE(job->isDeleted, !alreadyDeleted);
    QCOMPARE(pauseDownload.isEmpty(), alreadyDeleted);
    if (alreadyDeleted)
        QVERIFY(m_client->logText().contains(QLatin1String("job for deletion not found!")));
}

void TestProjectsFolder::deletedJobIsRecreatedFromANewCfg()
{
    m_client->writeJob(QStringLiteral("again"), {QStringLiteral("renderer=vray")});
    KiteProject* old = m_client->addJob(QStringLiteral("again"));
    emit m_client->settings->deleteLocalJobSignal(old);
    m_client->writeJob(QStringLiteral("again"), {QStringLiteral("renderer=vray")});
    emit m_client->plugin->scanProjectsSignal(QJsonArray(), 1);
    QCOMPARE(m_client->settings->jobList.size(), 2);
    QCOMPARE(old->name, QStringLiteral("again(deleted)"));
    QCOMPARE(m_client->settings->jobList.last()->name, QStringLiteral("again"));
}

QTEST_MAIN(TestProjectsFolder)
#include "tst_projectsfolder.moc"
