#include "hostoptions.h"
#include "jobs/kiteproject.h"
#include "maintenance/logupload.h"
#include "maintenance/updatecheck.h"
#include "maintenanceprinter.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "support/clientfixture.h"
#include "support/offlineclient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSettings>
#include <QSignalSpy>
#include <QTextStream>
#include <QtTest>

#include <memory>

namespace {
using K = KiteSettings;

struct NamedField {
    const char* name;
    int K::*field;
};

// Every version field an update check can hide, in the order of the check.
const NamedField kHideable[] = {
    {"version3ds", &K::version3ds}, {"version3dsPlugins", &K::version3dsPlugins},
    {"versionBlender", &K::versionBlender}, {"versionBlender28", &K::versionBlender28},
    {"versionCinema4d", &K::versionCinema4d}, {"versionCinema4d14", &K::versionCinema4d14},
    {"versionCinema4d21", &K::versionCinema4d21}, {"versionCinema4dPlugins", &K::versionCinema4dPlugins},
    {"versionLightwave", &K::versionLightwave}, {"versionMaxwell", &K::versionMaxwell},
    {"versionMaya", &K::versionMaya}, {"versionModo", &K::versionModo}, {"versionXSI", &K::versionXSI},
    {"versionMentalray", &K::versionMentalray}, {"versionVray", &K::versionVray},
    {"versionArnold", &K::versionArnold}, {"versionOctane", &K::versionOctane},
    {"versionKeyshot", &K::versionKeyshot}, {"versionRenderman", &K::versionRenderman},
    {"versionRhino", &K::versionRhino}, {"versionRevit", &K::versionRevit},
    {"versionHoudini", &K::versionHoudini}, {"versionSketchup", &K::versionSketchup},
    {"versionClarisse", &K::versionClarisse}, {"versionRedshift", &K::versionRedshift},
};

QStringList allHideable()
{
    QStringList names;
    for (const NamedField& entry : kHideable)
        names << QLatin1String(entry.name);
    return names;
}

QStringList allBut(const QStringList& kept)
{
    QStringList names = allHideable();
    for (const QString& name : kept)
        names.removeAll(name);
    return names;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QString sentName(const QJsonObject& envelope)
{
    return envelope.value("data").toObject().value("filename").toString();
}

QString sentContent(const QJsonObject& envelope)
{
    return envelope.value("data").toObject().value("content").toString();
}

QString dateLine(const QString& path)
{
    return QStringLiteral("file date: ") + QFileInfo(path).lastModified().toString(Qt::TextDate)
        + QLatin1Char('\n');
}
} // namespace

// Update checks, plug-in updates and configuration files, the log upload to
// support, and the reference host's answer to update information.
class TestMaintenance : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installedApplications_data();
    void installedApplications();
    void pluginCopyVersionOnlyWhenStored();
    void checkSendsAutoupdateAndMarksTheDownload();
    void entriesWrittenMeanwhileAreSeen();
    void randomDelay_data();
    void randomDelay();
    void autoupdatesignalSchedulesTheCheck_data();
    void autoupdatesignalSchedulesTheCheck();
    void updateJobFromTheFileList();
    void updateJobEndIsReportedAndChecksAgain();
    void unusableUpdateEntriesAreSkipped_data();
    void unusableUpdateEntriesAreSkipped();
    void pluginConfigWritten_data();
    void pluginConfigWritten();
    void pluginConfigRefused_data();
    void pluginConfigRefused();
    void pluginConfigUnwritableIsNoUpdate();
    void updateAndConfigThroughTheFarm();

    void logFilesInTableOrder();
    void logFileContent_data();
    void logFileContent();
    void noFilesNoRequests();
    void logsGoOncePerRun();
    void settingsRedaction_data();
    void settingsRedaction();
    void settingsSentWithoutPasswordsAndUntouched();
    void logFilesReachTheFarm();

    void hostAcceptUpdatesOption();
    void hostPrintsUpdateAndFetchesWhenAccepted_data();
    void hostPrintsUpdateAndFetchesWhenAccepted();
    void hostPrintsTunnelChanges();

private:
    QString iniPath() const { return m_client->appDir() + QStringLiteral("/settings.ini"); }
    void writeApplications(const QStringList& applications);

    std::unique_ptr<OfflineClient> m_client;
};

void TestMaintenance::init()
{
    m_client = std::make_unique<OfflineClient>();
    m_client->settings->pluginDir = m_client->appDir() + QStringLiteral("/plugins");
}

void TestMaintenance::cleanup()
{
    m_client.reset();
}

void TestMaintenance::writeApplications(const QStringList& applications)
{
    QSettings ini(iniPath(), QSettings::IniFormat);
    int value = 10;
    for (const NamedField& entry : kHideable)
        ini.setValue(QStringLiteral("plugins/") + QLatin1String(entry.name), value++);
    ini.beginWriteArray(QStringLiteral("pluginpaths"));
    for (int i = 0; i < applications.size(); ++i) {
        ini.setArrayIndex(i);
        ini.setValue(QStringLiteral("application"), applications.at(i));
    }
    ini.endArray();
}

void TestMaintenance::installedApplications_data()
{
    QTest::addColumn<QStringList>("applications");
    QTest::addColumn<QStringList>("hidden");
    QTest::newRow("no pluginpaths") << QStringList() << allHideable();
    QTest::newRow("blender28 only") << QStringList{"blender28"} << allBut({"versionBlender28"});
    QTest::newRow("blender and blender28") << QStringList{"C:/Program Files/blender", "blender28"}
                                           << allBut({"versionBlender", "versionBlender28"});
    QTest::newRow("cinema 4d 14 only") << QStringList{"c4d14"}
                                       << allBut({"versionCinema4d14", "versionCinema4dPlugins"});
    QTest::newRow("cinema 4d only") << QStringList{"c4d"} << allBut({"versionCinema4d", "versionCinema4dPlugins"});
    QTest::newRow("3ds max") << QStringList{"3dsmax2024"} << allBut({"version3ds", "version3dsPlugins"});
    QTest::newRow("first token wins") << QStringList{"maya_vray_arnold"} << allBut({"versionMaya"});
    QTest::newRow("letter case counts") << QStringList{"Maya"} << allHideable();
    QTest::newRow("the simple ones")
        << QStringList{"lightwave", "maxwell", "maya", "modo", "xsi", "mentalray", "vray", "arnold", "octane",
                       "keyshot", "renderman", "rhino", "revit", "houdini", "sketchup", "clarisse", "redshift"}
        << QStringList{"version3ds", "version3dsPlugins", "versionBlender", "versionBlender28", "versionCinema4d",
                       "versionCinema4d14", "versionCinema4d21", "versionCinema4dPlugins"};
}

void TestMaintenance::installedApplications()
{
    QFETCH(QStringList, applications);
    QFETCH(QStringList, hidden);
    writeApplications(applications);
    KiteSettings* settings = m_client->settings;
    settings->versionBlender30 = 7;

    m_client->plugin->checkforUpdates();
    int stored = 10;
    for (const NamedField& entry : kHideable) {
        const int expected = hidden.contains(QLatin1String(entry.name)) ? 99999 : stored;
        QVERIFY2(settings->*entry.field == expected, entry.name);
        ++stored;
    }
    QCOMPARE(settings->versionBlender30, 7);
}

void TestMaintenance::pluginCopyVersionOnlyWhenStored()
{
    m_client->settings->versionPluginCopy = 5;
    m_client->plugin->checkforUpdates();
    QCOMPARE(m_client->settings->versionPluginCopy, 5);
    {
        QSettings ini(iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("plugins/versionPluginCopy"), 12);
    }
    m_client->plugin->checkforUpdates();
    QCOMPARE(m_client->settings->versionPluginCopy, 12);
}

void TestMaintenance::checkSendsAutoupdateAndMarksTheDownload()
{
    KiteSettings* settings = m_client->settings;
    QVERIFY(!settings->updateDownloadStarted);
    m_client->plugin->checkforUpdates();
    QVERIFY(settings->updateDownloadStarted);
    QVERIFY(settings->autoupdateRequested);
    QList<QJsonObject> sent = m_client->sent(QStringLiteral("autoupdate"));
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().value("data").toObject().value("custom").toString(), QStringLiteral("autoupdate"));
    QVERIFY(m_client->logText().contains(QStringLiteral("Checking for updates...")));

    // A check while the flag is set goes ahead all the same.
    m_client->plugin->checkforUpdates();
    QVERIFY(settings->updateDownloadStarted);
    QCOMPARE(m_client->sent(QStringLiteral("autoupdate")).size(), 2);

    QSignalSpy update(m_client->plugin, &PluginNetConnection::updateDataSignal);
    m_client->receive(QJsonObject{{"action", "autoupdate"},
                                  {"data", QJsonObject{{"content", QJsonObject{{"version", "2.1"}}}}}});
    QCOMPARE(update.count(), 1);
    QCOMPARE(update.first().first().toJsonObject().value("version").toString(), QStringLiteral("2.1"));
}

void TestMaintenance::entriesWrittenMeanwhileAreSeen()
{
    m_client->plugin->checkforUpdates();
    QCOMPARE(m_client->settings->versionMaya, 99999);
    {
        // Written by the installer, in its own letter case.
        QSettings ini(iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Plugins/VersionMaya"), 321);
        ini.beginWriteArray(QStringLiteral("pluginpaths"));
        ini.setArrayIndex(0);
        ini.setValue(QStringLiteral("application"), QStringLiteral("maya2024"));
        ini.endArray();
    }
    m_client->plugin->checkforUpdates();
    QCOMPARE(m_client->settings->versionMaya, 321);
}

void TestMaintenance::randomDelay_data()
{
    QTest::addColumn<int>("minutes");
    QTest::addColumn<int>("r");
    QTest::addColumn<int>("delay");
    QTest::newRow("now, earliest") << 0 << 0 << 0;
    QTest::newRow("now, latest") << 0 << 32767 << 1000;
    QTest::newRow("30 minutes, latest") << 30 << 32767 << 1800000;
    QTest::newRow("30 minutes, earliest") << 30 << 0 << 0;
    QTest::newRow("negative counts as now") << -5 << 32767 << 1000;
    QTest::newRow("endless window is capped") << 100000000 << 32767 << 2147483000;
}

void TestMaintenance::randomDelay()
{
    QFETCH(int, minutes);
    QFETCH(int, r);
    QFETCH(int, delay);
    QCOMPARE(UpdateCheck::randomDelayMs(minutes, r), delay);
}

void TestMaintenance::autoupdatesignalSchedulesTheCheck_data()
{
    QTest::addColumn<QJsonValue>("time");
    QTest::addColumn<int>("latestMs");
    QTest::newRow("0 minutes") << QJsonValue(0) << 1000;
    QTest::newRow("30 minutes") << QJsonValue(30) << 1800000;
    QTest::newRow("minutes as text") << QJsonValue("5") << 300000;
}

void TestMaintenance::autoupdatesignalSchedulesTheCheck()
{
    QFETCH(QJsonValue, time);
    QFETCH(int, latestMs);
    PluginNetConnection* plugin = m_client->plugin;
    plugin->updateTimer.start(600000); // an earlier check is replaced
    m_client->receive(QJsonObject{{"action", "autoupdatesignal"}, {"data", QJsonObject{{"time", time}}}});

    QVERIFY(plugin->updateTimerRunning);
    QVERIFY(plugin->updateTimer.isActive());
    QVERIFY(plugin->updateTimer.isSingleShot());
    QVERIFY(plugin->updateTimer.interval() >= 0);
    QVERIFY(plugin->updateTimer.interval() <= latestMs);
    QVERIFY(m_client->logText().contains(QStringLiteral("autoupdatesignal received: ")));

    // When the timer fires, the check runs for a logged-in user only.
    m_client->settings->loggedIn = false;
    plugin->updateTimerSlot();
    QVERIFY(!plugin->updateTimerRunning);
    QVERIFY(m_client->sent(QStringLiteral("autoupdate")).isEmpty());
    m_client->settings->loggedIn = true;
    plugin->updateTimerSlot();
    QCOMPARE(m_client->sent(QStringLiteral("autoupdate")).size(), 1);
}

void TestMaintenance::updateJobFromTheFileList()
{
    KiteSettings* settings = m_client->settings;
    settings->pluginFolder = QStringLiteral("updates/win64");
    const int runningBefore = settings->runningJobDownloads;
    QSignalSpy downloadJob(m_client->plugin, &PluginNetConnection::downloadJobSignal);
    QSignalSpy progress(settings, &KiteSettings::updateDownloadProgressSignal);

    m_client->plugin->downloadUpdateFiles({"PluginNetConnection.dll:123456", "3ds/kite.dms:42"});

    KiteProject* job = m_client->job(QStringLiteral("updateDownload"));
    QVERIFY(job);
    QCOMPARE(settings->jobList.last(), job);
    QVERIFY(job->isUpdateJob);
    QVERIFY(!job->isUnknown);
    QVERIFY(job->isDownloading);
    QCOMPARE(job->downloadPath, QStringLiteral("updates/win64"));
    QCOMPARE(job->localDownloadDir, settings->pluginDir);
    QCOMPARE(job->downloadPriority, 99999);
    QCOMPARE(job->downloadList.size(), 2);
    QCOMPARE(job->downloadList.at(0).path, QStringLiteral("PluginNetConnection.dll"));
    QCOMPARE(job->downloadList.at(0).size, qint64(123456));
    QCOMPARE(job->downloadList.at(1).path, QStringLiteral("3ds/kite.dms"));
    QCOMPARE(job->downloadBytesTotal, qint64(123498));
    QCOMPARE(settings->runningJobDownloads, runningBefore + 1);
    QCOMPARE(downloadJob.count(), 1);
    QVERIFY(m_client->logText().contains(QStringLiteral("UPDATEFILELIST: 3ds/kite.dms:42")));

    emit job->downloadProgressSignal(42.5f);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.first().first().toFloat(), 42.5f);
}

void TestMaintenance::updateJobEndIsReportedAndChecksAgain()
{
    KiteSettings* settings = m_client->settings;
    m_client->plugin->checkforUpdates();
    QVERIFY(settings->updateDownloadStarted);
    const int running = settings->runningJobDownloads;
    m_client->plugin->downloadUpdateFiles({"PluginNetConnection.dll:10"});
    KiteProject* job = m_client->job(QStringLiteral("updateDownload"));
    QVERIFY(job);
    QSignalSpy finished(m_client->plugin, &PluginNetConnection::updateDownloadFinishedSignal);

    // The downloader reports the job done: the download path ends it.
    m_client->plugin->downloadJobFinishedSlot(job, 0);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(settings->runningJobDownloads, running);
    QCOMPARE(m_client->sent(QStringLiteral("autoupdate")).size(), 2);
}

void TestMaintenance::unusableUpdateEntriesAreSkipped_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("leaves the folder") << QStringLiteral("../evil.dll:10");
    QTest::newRow("deeper escape") << QStringLiteral("3ds/../../evil.dll:10");
    QTest::newRow("backslash escape") << QStringLiteral("3ds\\..\\..\\evil.dll:10");
    QTest::newRow("absolute") << QStringLiteral("/etc/cron.d/evil:10");
    QTest::newRow("no size") << QStringLiteral("readme.txt");
    QTest::newRow("size not a number") << QStringLiteral("readme.txt:many");
    QTest::newRow("negative size") << QStringLiteral("readme.txt:-5");
    QTest::newRow("no name") << QStringLiteral(":12");
}

void TestMaintenance::unusableUpdateEntriesAreSkipped()
{
    QFETCH(QString, entry);
    m_client->plugin->downloadUpdateFiles({entry, QStringLiteral("good.dll:7")});
    KiteProject* job = m_client->job(QStringLiteral("updateDownload"));
    QVERIFY(job);
    QCOMPARE(job->downloadList.size(), 1);
    QCOMPARE(job->downloadList.first().path, QStringLiteral("good.dll"));
    QCOMPARE(job->downloadBytesTotal, qint64(7));
    QVERIFY(m_client->logText().contains(QStringLiteral("UPDATEFILELIST entry refused: ") + entry));
}

void TestMaintenance::pluginConfigWritten_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("fileBefore");
    QTest::addColumn<bool>("written");
    const QString max = QStringLiteral("3ds/plugs.cfg");
    const QString c4d = QStringLiteral("Cinema4D/c4d_plugs.cfg");
    // The stored versions are 5 for both programs.
    QTest::newRow("max newer, new file") << "max" << max << 6 << false << true;
    QTest::newRow("max not newer, new file") << "max" << max << 5 << false << true;
    QTest::newRow("max not newer, file kept") << "max" << max << 5 << true << false;
    QTest::newRow("max newer, file rewritten") << "max" << max << 6 << true << true;
    QTest::newRow("c4d newer") << "c4d" << c4d << 9 << true << true;
    QTest::newRow("c4d older, file kept") << "c4d" << c4d << 4 << true << false;
}

void TestMaintenance::pluginConfigWritten()
{
    QFETCH(QString, program);
    QFETCH(QString, relativePath);
    QFETCH(int, version);
    QFETCH(bool, fileBefore);
    QFETCH(bool, written);
    KiteSettings* settings = m_client->settings;
    settings->version3dsPlugins = 5;
    settings->versionCinema4dPlugins = 5;
    const QString path = settings->pluginDir + QLatin1Char('/') + relativePath;
    if (fileBefore)
        writeFile(path, "old configuration\n");
    QSignalSpy ready(settings, &KiteSettings::updateReadySignal);

    const QString content = QStringLiteral("[plugins]\nkite=1\n");
    m_client->receive(QJsonObject{
        {"action", "getPluginConfig"},
        {"data", QJsonObject{{"program", program}, {"version", version}, {"content", content}}}});

    QCOMPARE(ready.count(), written ? 1 : 0);
    QCOMPARE(fileBytes(path), written ? content.toUtf8() : QByteArray("old configuration\n"));
}

void TestMaintenance::pluginConfigRefused_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("content");
    QTest::newRow("unknown program") << QStringLiteral("maya") << QStringLiteral("x=1\n");
    QTest::newRow("empty content") << QStringLiteral("max") << QString();
}

void TestMaintenance::pluginConfigRefused()
{
    QFETCH(QString, program);
    QFETCH(QString, content);
    QSignalSpy ready(m_client->settings, &KiteSettings::updateReadySignal);
    m_client->receive(QJsonObject{{"action", "getPluginConfig"},
                                  {"data", QJsonObject{{"program", program}, {"version", 3}, {"content", content}}}});
    QCOMPARE(ready.count(), 0);
    QVERIFY(m_client->logText().contains(QStringLiteral("Could not write correct config info")));
    QVERIFY(!QFile::exists(m_client->settings->pluginDir + QStringLiteral("/3ds/plugs.cfg")));
}

void TestMaintenance::pluginConfigUnwritableIsNoUpdate()
{
    // A folder where the file should be: nothing can be written.
    QVERIFY(QDir().mkpath(m_client->settings->pluginDir + QStringLiteral("/3ds/plugs.cfg")));
    QSignalSpy ready(m_client->settings, &KiteSettings::updateReadySignal);
    m_client->receive(QJsonObject{{"action", "getPluginConfig"},
                                  {"data", QJsonObject{{"program", "max"}, {"version", 3}, {"content", "x=1\n"}}}});
    QCOMPARE(ready.count(), 0);
    QVERIFY(m_client->logText().contains(QStringLiteral("Could not open config file 2441")));
}

void TestMaintenance::updateAndConfigThroughTheFarm()
{
    ClientFixture fixture;
    FarmAccount account;
    account.user = QStringLiteral("anna");
    account.password = QStringLiteral("anna-pass-4711");
    fixture.simulator.accounts().insert(account);
    fixture.simulator.setAutoupdateContent(
        QJsonObject{{"version", "2.0"}, {"build", 400}, {"files", QJsonArray{"PluginNetConnection.dll:2048"}}});
    fixture.simulator.setPluginConfig(QStringLiteral("max"), 8, QStringLiteral("kite=2\n"));
    QVERIFY(fixture.start(ClientFixture::Options()));
    fixture.settings->pluginDir = fixture.appDir() + QStringLiteral("/plugins");

    QString printed;
    QTextStream out(&printed);
    MaintenancePrinter printer(fixture.plugin, true, out);
    QSignalSpy success(fixture.plugin, &PluginNetConnection::loginSuccessSignal);
    QSignalSpy update(fixture.plugin, &PluginNetConnection::updateDataSignal);
    QSignalSpy downloadJob(fixture.plugin, &PluginNetConnection::downloadJobSignal);
    fixture.plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"));
    QVERIFY(success.wait(10000));

    // The farm announces an update to everybody: the check follows within a second.
    QCOMPARE(fixture.simulator.pushAutoupdateSignal(QStringLiteral("anna"), 0), 1);
    QVERIFY(update.wait(10000));
    QCOMPARE(update.first().first().toJsonObject().value("build").toInt(), 400);
    QTRY_COMPARE(downloadJob.count(), 1);
    QVERIFY(printed.contains(QStringLiteral("update file PluginNetConnection.dll (2048 bytes)")));
    KiteProject* job = fixture.settings->jobList.last();
    QCOMPARE(job->name, QStringLiteral("updateDownload"));
    QCOMPARE(job->downloadList.first().path, QStringLiteral("PluginNetConnection.dll"));

    QSignalSpy ready(fixture.settings, &KiteSettings::updateReadySignal);
    fixture.plugin->makeRequest(QStringLiteral("getPluginConfig"), QJsonObject{{"program", "max"}});
    QVERIFY(ready.wait(10000));
    QCOMPARE(fileBytes(fixture.settings->pluginDir + QStringLiteral("/3ds/plugs.cfg")), QByteArray("kite=2\n"));
}

void TestMaintenance::logFilesInTableOrder()
{
    const QString dir = m_client->appDir();
    for (const char* name : {"version.txt", "httperror.xml", "plugin.log", "unrelated.log", "logFileDownload.log"})
        writeFile(dir + QLatin1Char('/') + QLatin1String(name), QByteArray("contents of ") + name);
    m_client->settings->writeToLog(QStringLiteral("just before the upload"), 0);
    m_client->plugin->uploadLogFilesSlot();

    QStringList names;
    for (const QJsonObject& envelope : m_client->sent(QStringLiteral("sendFile")))
        names << sentName(envelope);
    // The log is sent with its latest line.
    QVERIFY(sentContent(m_client->sent(QStringLiteral("sendFile")).first()).contains("just before the upload"));
    QCOMPARE(names, (QStringList{"logFile.log", "plugin.log", "logFileDownload.log", "httperror.xml",
                                 "settings.ini", "version.txt"}));
    QVERIFY(m_client->settings->logFilesSent);
    QVERIFY(m_client->logText().contains(QStringLiteral("upload: ") + dir + QStringLiteral("/version.txt")));
}

void TestMaintenance::logFileContent_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("sent");

    QByteArray small = "first line\r\nsecond line\n";
    QTest::newRow("small file, as it is") << small << small;

    QByteArray limit = QByteArray(19999, 'x') + '\n';
    QTest::newRow("20000 bytes, whole") << limit << limit;

    QByteArray threeLines = QByteArray(10000, 'a') + '\n' + QByteArray(9997, 'b') + "\r\nc";
    QCOMPARE(threeLines.size(), 20001);
    QTest::newRow("20001 bytes in 3 lines")
        << threeLines << QByteArray(10000, 'a') + '\n' + QByteArray(9997, 'b') + "\nc\n";

    QByteArray many;
    QByteArray last;
    for (int i = 1; i <= 6000; ++i) {
        const QByteArray line = "line " + QByteArray::number(i).rightJustified(5, '0');
        many += line + '\n';
        if (i > 1000)
            last += line + '\n';
    }
    QTest::newRow("6000 lines, the last 5000") << many << last;
}

void TestMaintenance::logFileContent()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, sent);
    const QString path = m_client->appDir() + QStringLiteral("/plugin.log");
    writeFile(path, file);
    m_client->plugin->uploadLogFilesSlot();

    const QList<QJsonObject> files = m_client->sent(QStringLiteral("sendFile"));
    auto it = std::find_if(files.begin(), files.end(),
                           [](const QJsonObject& envelope) { return sentName(envelope) == "plugin.log"; });
    QVERIFY(it != files.end());
    QCOMPARE(sentContent(*it), dateLine(path) + QString::fromUtf8(sent));
    QCOMPARE(fileBytes(path), file);
}

void TestMaintenance::noFilesNoRequests()
{
    LogWriter::instance().close();
    const QStringList names = LogUpload::fileNames();
    for (const QString& name : names)
        QFile::remove(m_client->appDir() + QLatin1Char('/') + name);
    m_client->plugin->uploadLogFilesSlot();
    QVERIFY(m_client->sent(QStringLiteral("sendFile")).isEmpty());
    QVERIFY(m_client->settings->logFilesSent);
}

void TestMaintenance::logsGoOncePerRun()
{
    m_client->settings->writeToLog(QStringLiteral("a line for the log"), 0);
    // Asked for by the error dialog through the shared settings.
    emit m_client->settings->uploadLogFilesSignal();
    const int first = m_client->sent(QStringLiteral("sendFile")).size();
    QVERIFY(first >= 2); // at least the log and the settings
    m_client->plugin->uploadLogFilesSlot();
    emit m_client->settings->uploadLogFilesSignal();
    QCOMPARE(m_client->sent(QStringLiteral("sendFile")).size(), first);
}

void TestMaintenance::settingsRedaction_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("proxy passwords")
        << "[Network]\nproxyHttpPassword=http-secret\nproxyHttpUsername=kate\nproxyFtpPassword=ftp-secret\n"
        << "[Network]\nproxyHttpPassword=***\nproxyHttpUsername=kate\nproxyFtpPassword=***\n";
    QTest::newRow("user password, CR LF") << "[UserData]\r\nusername=anna\r\npassword=user-secret\r\n"
                                          << "[UserData]\r\nusername=anna\r\npassword=***\r\n";
    QTest::newRow("any letter case, blanks") << "[Custom]\nLicense PASSWORD = x y\nadminPassWord=z\n"
                                             << "[Custom]\nLicense PASSWORD =***\nadminPassWord=***\n";
    QTest::newRow("sub-keys") << "[General]\nUserData\\password=q\nplugins/ftpPassword=r\n"
                              << "[General]\nUserData\\password=***\nplugins/ftpPassword=***\n";
    QTest::newRow("name must end in password") << "[Custom]\npasswordHint=keep-me\n"
                                               << "[Custom]\npasswordHint=keep-me\n";
    QTest::newRow("comment kept") << "; password=example\n[A]\nb=1\n" << "; password=example\n[A]\nb=1\n";
    QTest::newRow("continued value") << "[A]\npassword=first\\\nsecond\nnext=1\n" << "[A]\npassword=***\nnext=1\n";
}

void TestMaintenance::settingsRedaction()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(LogUpload::redactSettings(text), expected);
}

void TestMaintenance::settingsSentWithoutPasswordsAndUntouched()
{
    {
        QSettings ini(iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Network/proxyHttpPassword"), QStringLiteral("http-secret-1"));
        ini.setValue(QStringLiteral("Network/proxyFtpPassword"), QStringLiteral("ftp-secret-2"));
        ini.setValue(QStringLiteral("UserData/password"), QStringLiteral("user-secret-3"));
        ini.setValue(QStringLiteral("Custom/tunnelPASSWORD"), QStringLiteral("tunnel-secret-4"));
        ini.setValue(QStringLiteral("Network/proxyHttpUsername"), QStringLiteral("kate"));
    }
    const QByteArray before = fileBytes(iniPath());
    const QDateTime modified = QFileInfo(iniPath()).lastModified();
    m_client->plugin->uploadLogFilesSlot();

    QString settingsText;
    for (const QJsonObject& envelope : m_client->sent(QStringLiteral("sendFile"))) {
        for (const char* secret : {"http-secret-1", "ftp-secret-2", "user-secret-3", "tunnel-secret-4"})
            QVERIFY2(!sentContent(envelope).contains(QLatin1String(secret)), secret);
        if (sentName(envelope) == QLatin1String("settings.ini"))
            settingsText = sentContent(envelope);
    }
    QVERIFY(settingsText.startsWith(dateLine(iniPath())));
    QVERIFY(settingsText.contains(QStringLiteral("proxyHttpPassword=***")));
    QVERIFY(settingsText.contains(QStringLiteral("proxyFtpPassword=***")));
    QVERIFY(settingsText.contains(QStringLiteral("\npassword=***")));
    QVERIFY(settingsText.contains(QStringLiteral("tunnelPASSWORD=***")));
    QVERIFY(settingsText.contains(QStringLiteral("proxyHttpUsername=kate")));
    QCOMPARE(QCryptographicHash::hash(fileBytes(iniPath()), QCryptographicHash::Sha256),
             QCryptographicHash::hash(before, QCryptographicHash::Sha256));
    QCOMPARE(QFileInfo(iniPath()).lastModified(), modified);
}

void TestMaintenance::logFilesReachTheFarm()
{
    ClientFixture fixture;
    FarmAccount account;
    account.user = QStringLiteral("anna");
    account.password = QStringLiteral("anna-pass-4711");
    fixture.simulator.accounts().insert(account);
    QVERIFY(fixture.start(ClientFixture::Options()));
    {
        QSettings ini(fixture.appDir() + QStringLiteral("/settings.ini"), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Network/proxyFtpPassword"), QStringLiteral("ftp-secret-2"));
    }
    writeFile(fixture.appDir() + QStringLiteral("/version.txt"), "1.0.400\n");
    QSignalSpy success(fixture.plugin, &PluginNetConnection::loginSuccessSignal);
    fixture.plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"));
    QVERIFY(success.wait(10000));

    QSignalSpy received(&fixture.simulator, &FarmSimulator::fileReceived);
    emit fixture.settings->uploadLogFilesSignal();
    QTRY_VERIFY(received.count() >= 3);
    QStringList names;
    for (const FarmReceivedFile& file : fixture.simulator.receivedFiles(QStringLiteral("anna"))) {
        names << file.fileName;
        QVERIFY(!file.content.contains("ftp-secret-2"));
        QVERIFY(!file.content.contains("anna-pass-4711"));
    }
    QCOMPARE(names, (QStringList{"logFile.log", "settings.ini", "version.txt"}));
}

void TestMaintenance::hostAcceptUpdatesOption()
{
    HostOptions options;
    QString error;
    QVERIFY(HostOptions::parse({"kitehost", "--app-dir", "/tmp/x"}, options, error));
    QVERIFY(!options.acceptUpdates);
    QVERIFY(HostOptions::parse({"kitehost", "--app-dir", "/tmp/x", "--accept-updates"}, options, error));
    QVERIFY(options.acceptUpdates);
    QVERIFY(HostOptions::usage().contains(QStringLiteral("--accept-updates")));
}

void TestMaintenance::hostPrintsUpdateAndFetchesWhenAccepted_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("printed only") << false;
    QTest::newRow("accepted") << true;
}

void TestMaintenance::hostPrintsUpdateAndFetchesWhenAccepted()
{
    QFETCH(bool, accept);
    QString printed;
    QTextStream out(&printed);
    MaintenancePrinter printer(m_client->plugin, accept, out);
    const QJsonObject content{{"version", "2.0"},
                              {"build", 400},
                              {"token", "download-token-secret"},
                              {"files", QJsonArray{"PluginNetConnection.dll:2048", "3ds/kite.dms:12"}}};
    emit m_client->plugin->updateDataSignal(content);

    QVERIFY(printed.contains(QStringLiteral("kitehost: update information: version 2.0, build 400, 2 file(s)")));
    QVERIFY(printed.contains(QStringLiteral("update file 3ds/kite.dms (12 bytes)")));
    QVERIFY(!printed.contains(QStringLiteral("download-token-secret")));
    KiteProject* job = m_client->job(QStringLiteral("updateDownload"));
    if (!accept) {
        QVERIFY(printed.contains(QStringLiteral("--accept-updates")));
        QVERIFY(!job);
        return;
    }
    QVERIFY(printed.contains(QStringLiteral("fetching 2 update file(s)")));
    QVERIFY(job);
    QCOMPARE(job->downloadList.size(), 2);
}

void TestMaintenance::hostPrintsTunnelChanges()
{
    QString printed;
    QTextStream out(&printed);
    MaintenancePrinter printer(m_client->plugin, false, out);
    for (bool connected : {false, false, true, true, false})
        emit m_client->plugin->tunnelConnectedSignal(connected);
    QCOMPARE(printed, QStringLiteral("kitehost: licence tunnel not connected\n"
                                     "kitehost: licence tunnel connected\n"
                                     "kitehost: licence tunnel not connected\n"));
}

QTEST_MAIN(TestMaintenance)
#include "tst_maintenance.moc"
