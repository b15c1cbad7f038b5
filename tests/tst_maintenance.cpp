#include "hostoptions.h"
#include "jobs/kiteproject.h"
#include "maintenance/linkcreator.h"
#include "maintenance/logupload.h"
#include "maintenance/updatecheck.h"
#include "maintenanceprinter.h"
#include "platform/platformshell.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "support/clientfixture.h"
#include "support/offlineclient.h"
#include "support/testfiles.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>
#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {
using namespace TestFiles;
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

QStringList allBut(const QStringList& kept = {})
{
    QStringList names;
    for (const NamedField& entry : kHideable) {
        if (!kept.contains(QLatin1String(entry.name)))
            names << QLatin1String(entry.name);
    }
    return names;
}

QString dateLine(const QString& path)
{
    return "file date: " + QFileInfo(path).lastModified().toString(Qt::TextDate) + '\n';
}

#ifndef Q_OS_WIN
// The text a symbolic link holds, as written.
QString linkText(const QString& path)
{
    char text[4096];
    const ssize_t size = ::readlink(QFile::encodeName(path).constData(), text, sizeof text);
    return size < 0 ? QString() : QFile::decodeName(QByteArray(text, int(size)));
}
#endif
} // namespace

// Update checks and plug-in updates, the log upload, the reference host's output, the job folder shortcuts.
class TestMaintenance : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void installedApplications_data();
    void installedApplications();
    void autoupdatesignalSchedulesTheCheck_data();
    void autoupdatesignalSchedulesTheCheck();
    void updateJobTakesOnlyUsableEntries();
    void pluginConfig_data();
    void pluginConfig();
    void logFilesInTableOrderOncePerRun();
    void logFileContent_data();
    void logFileContent();
    void settingsRedaction_data();
    void settingsRedaction();
    void maintenanceThroughTheFarmAndTheHost();
    void shortcutMadeOrKept_data();
    void shortcutMadeOrKept();
    void shortcutScriptsRunWithBackslashedPaths();
    void shortcutIconLocation_data();
    void shortcutIconLocation();

private:
    QString iniPath() const { return m_client->appDir() + QStringLiteral("/settings.ini"); }
    QString path(const QString& name) const { return m_client->appDir() + QStringLiteral("/links/") + name; }
    QString makeDir(const QString& name) const { return QDir().mkpath(path(name)) ? path(name) : QString(); }
    std::unique_ptr<OfflineClient> m_client;
    QString m_previousCurrent;
};

void TestMaintenance::init()
{
    m_client = std::make_unique<OfflineClient>();
    m_client->settings->pluginDir = m_client->appDir() + QStringLiteral("/plugins");
    m_previousCurrent = QDir::currentPath();
    QVERIFY(QDir().mkpath(path(QString())));
}

void TestMaintenance::cleanup()
{
    PlatformShell::setShortcutScriptHost(QString());
    QDir::setCurrent(m_previousCurrent);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_client.reset();
}

void TestMaintenance::installedApplications_data()
{
    QTest::addColumn<QStringList>("applications");
    QTest::addColumn<QStringList>("hidden");
    QTest::newRow("no pluginpaths") << QStringList() << allBut();
    QTest::newRow("blender28 only") << QStringList{"blender28"} << allBut({"versionBlender28"});
    QTest::newRow("blender and blender28") << QStringList{"C:/Program Files/blender", "blender28"}
                                           << allBut({"versionBlender", "versionBlender28"});
    QTest::newRow("cinema 4d 14 only") << QStringList{"c4d14"}
                                       << allBut({"versionCinema4d14", "versionCinema4dPlugins"});
    QTest::newRow("cinema 4d only") << QStringList{"c4d"} << allBut({"versionCinema4d", "versionCinema4dPlugins"});
    QTest::newRow("3ds max") << QStringList{"3dsmax2024"} << allBut({"version3ds", "version3dsPlugins"});
    QTest::newRow("first token wins") << QStringList{"maya_vray_arnold"} << allBut({"versionMaya"});
    QTest::newRow("letter case counts") << QStringList{"Maya"} << allBut();
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
    KiteSettings* settings = m_client->settings;
    settings->versionBlender30 = 7;
    settings->versionPluginCopy = 5;
    m_client->plugin->checkforUpdates();
    QVERIFY(settings->updateDownloadStarted);
    for (const NamedField& entry : kHideable)
        QVERIFY2(settings->*entry.field == 99999, entry.name);
    QCOMPARE(settings->versionPluginCopy, 5); // kept while the file has none
    QVERIFY(m_client->logText().contains(QStringLiteral("Checking for updates...")));
    {
        // Written meanwhile by the installer, in its own letter case.
        QSettings ini(iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Plugins/versionPluginCopy"), 12);
        int value = 10;
        for (const NamedField& entry : kHideable)
            ini.setValue(QStringLiteral("Plugins/V") + QLatin1String(entry.name + 1), value++);
        ini.beginWriteArray(QStringLiteral("pluginpaths"));
        for (int i = 0; i < applications.size(); ++i) {
            ini.setArrayIndex(i);
            ini.setValue(QStringLiteral("application"), applications.at(i));
        }
        ini.endArray();
    }
    // A check while the flag is set goes ahead all the same, and reads the file afresh.
    m_client->plugin->checkforUpdates();
    const QList<QJsonObject> sent = m_client->sent(QStringLiteral("autoupdate"));
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.last().value("data").toObject(), (QJsonObject{{"custom", "autoupdate"}}));
    QCOMPARE(settings->versionPluginCopy, 12);
    for (const NamedField& entry : kHideable) {
        const int stored = 10 + int(&entry - kHideable);
        QVERIFY2(settings->*entry.field == (hidden.contains(QLatin1String(entry.name)) ? 99999 : stored), entry.name);
    }
    QCOMPARE(settings->versionBlender30, 7);
}

void TestMaintenance::autoupdatesignalSchedulesTheCheck_data()
{
    QTest::addColumn<QJsonValue>("time");
    QTest::addColumn<int>("latestMs");
    QTest::newRow("0 minutes: within a second") << QJsonValue(0) << 1000;
    QTest::newRow("30 minutes") << QJsonValue(30) << 1800000;
    QTest::newRow("minutes as text") << QJsonValue("5") << 300000;
    QTest::newRow("negative counts as now") << QJsonValue(-5) << 1000;
    QTest::newRow("endless window is capped") << QJsonValue(100000000) << 2147483000;
}

void TestMaintenance::autoupdatesignalSchedulesTheCheck()
{
    QFETCH(QJsonValue, time);
    QFETCH(int, latestMs);
    const int minutes = time.isString() ? time.toString().toInt() : time.toInt();
    QCOMPARE(UpdateCheck::randomDelayMs(minutes, 0), 0);
    QCOMPARE(UpdateCheck::randomDelayMs(minutes, 32767), latestMs);
    QCOMPARE(UpdateCheck::randomDelayMs(30, 16384), 900027);
    PluginNetConnection* plugin = m_client->plugin;
    plugin->updateTimer.start(600000); // an earlier check is replaced
    m_client->receive(QJsonObject{{"action", "autoupdatesignal"}, {"data", QJsonObject{{"time", time}}}});
    QVERIFY(plugin->updateTimerRunning && plugin->updateTimer.isActive() && plugin->updateTimer.isSingleShot());
    QVERIFY(plugin->updateTimer.interval() >= 0 && plugin->updateTimer.interval() <= latestMs);
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

void TestMaintenance::updateJobTakesOnlyUsableEntries()
{
    KiteSettings* settings = m_client->settings;
    settings->pluginFolder = QStringLiteral("updates/win64");
    m_client->plugin->checkforUpdates();
    const int runningBefore = settings->runningJobDownloads;
    QSignalSpy downloadJob(m_client->plugin, &PluginNetConnection::downloadJobSignal);
    QSignalSpy progress(settings, &KiteSettings::updateDownloadProgressSignal);
    // Names that leave the plug-in folder, and entries without a usable size, are not fetched.
    const QStringList refused{"../evil.dll:10", "3ds/../../evil.dll:10", "3ds\\..\\..\\evil.dll:10",
                              "/etc/cron.d/evil:10", "readme.txt", "readme.txt:many", "readme.txt:-5", ":12"};
    m_client->plugin->downloadUpdateFiles(QStringList{"PluginNetConnection.dll:123456"} + refused
                                          + QStringList{"3ds/kite.dms:42"});
    KiteProject* job = settings->jobList.last();
    QCOMPARE(job->name, QStringLiteral("updateDownload"));
    QVERIFY(job->isUpdateJob && !job->isUnknown && job->isDownloading);
    QCOMPARE(job->downloadPath, QStringLiteral("updates/win64"));
    QCOMPARE(job->localDownloadDir, settings->pluginDir);
    QCOMPARE(job->downloadPriority, 99999);
    QCOMPARE(job->downloadList.size(), 2);
    QCOMPARE(job->downloadList.at(1).path, QStringLiteral("3ds/kite.dms"));
    QCOMPARE(job->downloadList.at(0).size, qint64(123456));
    QCOMPARE(job->downloadBytesTotal, qint64(123498));
    QCOMPARE(settings->runningJobDownloads, runningBefore + 1);
    QCOMPARE(downloadJob.count(), 1);
    const QString log = m_client->logText();
    QVERIFY(log.contains(QStringLiteral("UPDATEFILELIST: 3ds/kite.dms:42")));
    for (const QString& entry : refused)
        QVERIFY2(log.contains(QStringLiteral("UPDATEFILELIST entry refused: ") + entry), qPrintable(entry));
    emit job->downloadProgressSignal(42.5f);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.first().first().toFloat(), 42.5f);
    // The downloader reports the job done: the end is told and the check runs again.
    QSignalSpy finished(m_client->plugin, &PluginNetConnection::updateDownloadFinishedSignal);
    m_client->plugin->downloadJobFinishedSlot(job, 0);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(settings->runningJobDownloads, runningBefore);
    QCOMPARE(m_client->sent(QStringLiteral("autoupdate")).size(), 2);
}

void TestMaintenance::pluginConfig_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("before"); // the file's content, "folder" (unwritable) or nothing
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QString>("logLine");
    const QString cfg = QStringLiteral("[plugins]\nkite=1\n");
    // The stored versions are 5 for both programs.
    QTest::newRow("max newer, new file") << "max" << 6 << "" << cfg << true << "writing plugin config info";
    QTest::newRow("max not newer, new file") << "max" << 5 << "" << cfg << true << "";
    QTest::newRow("max not newer, file kept") << "max" << 5 << "old\n" << cfg << false << "";
    QTest::newRow("max newer, file rewritten") << "max" << 6 << "old\n" << cfg << true << "";
    QTest::newRow("c4d newer") << "c4d" << 9 << "old\n" << cfg << true << "";
    QTest::newRow("lines ending in CR LF") << "c4d" << 9 << "" << "[plugins]\r\nkite=1\r\n" << true << "";
    QTest::newRow("c4d older, file kept") << "c4d" << 4 << "old\n" << cfg << false << "";
    QTest::newRow("unknown program") << "maya" << 9 << "" << cfg << false << "Could not write correct config info";
    QTest::newRow("empty content") << "max" << 9 << "" << "" << false << "Could not write correct config info";
    QTest::newRow("unwritable") << "max" << 9 << "folder" << cfg << false << "Could not open config file 2441";
}

void TestMaintenance::pluginConfig()
{
    QFETCH(QString, program);
    QFETCH(QString, before);
    QFETCH(QString, content);
    QFETCH(bool, written);
    KiteSettings* settings = m_client->settings;
    settings->version3dsPlugins = settings->versionCinema4dPlugins = 5;
    const QString file = settings->pluginDir
        + QLatin1String(program == QLatin1String("c4d") ? "/Cinema4D/c4d_plugs.cfg" : "/3ds/plugs.cfg");
    QVERIFY(before == QLatin1String("folder") ? QDir().mkpath(file)
                                               : before.isEmpty() || writeFile(file, before.toUtf8()));
    QSignalSpy ready(settings, &KiteSettings::updateReadySignal);
    QFETCH(int, version);
    m_client->receive(QJsonObject{
        {"action", "getPluginConfig"},
        {"data", QJsonObject{{"program", program}, {"version", version}, {"content", content}}}});
    QCOMPARE(ready.count(), written ? 1 : 0);
    if (before != QLatin1String("folder"))
        QCOMPARE(readFile(file), written ? textFile(content.toUtf8()) : before.isEmpty() ? "<missing>" : before.toUtf8());
    QFETCH(QString, logLine);
    QVERIFY2(m_client->logText().contains(logLine), qPrintable(logLine));
}

void TestMaintenance::logFilesInTableOrderOncePerRun()
{
    // With none of the files there, nothing goes out; the run counts all the same.
    LogWriter::instance().close();
    const QString dir = m_client->appDir();
    for (const QString& name : LogUpload::fileNames())
        QFile::remove(dir + QLatin1Char('/') + name);
    m_client->plugin->uploadLogFilesSlot();
    QVERIFY(m_client->sent(QStringLiteral("sendFile")).isEmpty());
    QVERIFY(m_client->settings->logFilesSent);
    m_client->settings->logFilesSent = false; // as after a restart
    QVERIFY(writeFile(dir + QStringLiteral("/settings.ini"), "[A]\nb=1\n"));
    for (const char* name : {"version.txt", "httperror.xml", "plugin.log", "unrelated.log", "logFileDownload.log"})
        QVERIFY(writeFile(dir + QLatin1Char('/') + QLatin1String(name), QByteArray("contents of ") + name));
    m_client->settings->writeToLog(QStringLiteral("just before the upload"), 0);
    // Asked for by the error dialog through the shared settings.
    emit m_client->settings->uploadLogFilesSignal();
    const QList<QJsonObject> sent = m_client->sent(QStringLiteral("sendFile"));
    QStringList names;
    for (const QJsonObject& envelope : sent)
        names << envelope.value("data")["filename"].toString();
    QCOMPARE(names, (QStringList{"logFile.log", "plugin.log", "logFileDownload.log", "httperror.xml",
                                 "settings.ini", "version.txt"}));
    // The log goes with its latest line.
    QVERIFY(sent.first().value("data")["content"].toString().contains("just before the upload"));
    QVERIFY(m_client->logText().contains(QStringLiteral("upload: ") + dir + QStringLiteral("/version.txt")));
    m_client->plugin->uploadLogFilesSlot();
    emit m_client->settings->uploadLogFilesSignal();
    QCOMPARE(m_client->sent(QStringLiteral("sendFile")).size(), sent.size());
}

void TestMaintenance::logFileContent_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("sent");
    const QByteArray small = "first line\r\nsecond line\n";
    QTest::newRow("small file, as it is") << small << small;
    const QByteArray limit = QByteArray(19999, 'x') + '\n';
    QTest::newRow("20000 bytes, whole") << limit << limit;
    QTest::newRow("20001 bytes in 3 lines") << QByteArray(10000, 'a') + '\n' + QByteArray(9997, 'b') + "\r\nc"
                                            << QByteArray(10000, 'a') + '\n' + QByteArray(9997, 'b') + "\nc\n";
    QByteArray many, last;
    for (int i = 1; i <= 6000; ++i) {
        const QByteArray line = "line " + QByteArray::number(i).rightJustified(5, '0') + '\n';
        many += line;
        if (i > 1000)
            last += line;
    }
    QTest::newRow("6000 lines, the last 5000") << many << last;
}

void TestMaintenance::logFileContent()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, sent);
    const QString path = m_client->appDir() + QStringLiteral("/plugin.log");
    QVERIFY(writeFile(path, file));
    m_client->plugin->uploadLogFilesSlot();
    const QList<QJsonObject> files = m_client->sent(QStringLiteral("sendFile"));
    auto it = std::find_if(files.begin(), files.end(),
                           [](const QJsonObject& envelope) { return envelope.value("data")["filename"] == "plugin.log"; });
    QVERIFY(it != files.end());
    QCOMPARE(it->value("data")["content"].toString(), dateLine(path) + QString::fromUtf8(sent));
    QCOMPARE(readFile(path), file);
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
    QTEST(LogUpload::redactSettings(text), "expected");
}

void TestMaintenance::maintenanceThroughTheFarmAndTheHost()
{
    ClientFixture fixture;
    FarmAccount account;
    account.user = QStringLiteral("anna");
    account.password = QStringLiteral("anna-pass-4711");
    fixture.simulator.accounts().insert(account);
    fixture.simulator.setAutoupdateContent(QJsonObject{{"version", "2.0"}, {"build", 400}, {"token", "token-secret"},
                                                       {"files", QJsonArray{"PluginNetConnection.dll:2048", "3ds/k:12"}}});
    QVERIFY(fixture.start(ClientFixture::Options()));
    fixture.settings->pluginDir = fixture.appDir() + QStringLiteral("/plugins");
    const QString ini = fixture.appDir() + QStringLiteral("/settings.ini");
    const QMap<QString, QString> secrets{{"Network/proxyHttpPassword", "http-secret-1"},
                                         {"Network/proxyFtpPassword", "ftp-secret-2"},
                                         {"UserData/password", "user-secret-3"},
                                         {"Custom/tunnelPASSWORD", "tunnel-secret-4"}};
    {
        QSettings settings(ini, QSettings::IniFormat);
        for (auto it = secrets.begin(); it != secrets.end(); ++it)
            settings.setValue(it.key(), it.value());
        settings.setValue(QStringLiteral("Network/proxyHttpUsername"), QStringLiteral("kate"));
    }
    QVERIFY(writeFile(fixture.appDir() + QStringLiteral("/version.txt"), "1.0.400\n"));
    // One host fetches what the update lists, the other only tells how to.
    HostOptions options, accepting;
    QString error, printed, fetched;
    QVERIFY(HostOptions::parse({"kitehost", "--app-dir", "/tmp/x"}, options, error));
    QVERIFY(HostOptions::parse({"kitehost", "--app-dir", "/tmp/x", "--accept-updates"}, accepting, error));
    QVERIFY(HostOptions::usage().contains(QStringLiteral("--accept-updates")));
    QTextStream out(&printed), fetchOut(&fetched);
    MaintenancePrinter printer(fixture.plugin, options.acceptUpdates, out);
    MaintenancePrinter fetcher(fixture.plugin, accepting.acceptUpdates, fetchOut);
    QSignalSpy success(fixture.plugin, &PluginNetConnection::loginSuccessSignal);
    QSignalSpy update(fixture.plugin, &PluginNetConnection::updateDataSignal);
    QSignalSpy downloadJob(fixture.plugin, &PluginNetConnection::downloadJobSignal);
    fixture.plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("anna-pass-4711"));
    QVERIFY(success.wait(10000));
    // The farm announces an update to everybody: the check follows within a second.
    QCOMPARE(fixture.simulator.pushAutoupdateSignal(QStringLiteral("anna"), 0), 1);
    QVERIFY(update.wait(10000));
    QCOMPARE(update.first().first().toJsonObject().value("build").toInt(), 400);
    QCOMPARE(fixture.simulator.receivedMessages(QStringLiteral("autoupdate")).last().object.value("data").toObject(),
             (QJsonObject{{"custom", "autoupdate"}}));
    QTRY_COMPARE(downloadJob.count(), 1);
    for (const QString& text : {printed, fetched}) {
        QVERIFY(text.contains(QStringLiteral("kitehost: update information: version 2.0, build 400, 2 file(s)")));
        QVERIFY(text.contains(QStringLiteral("update file 3ds/k (12 bytes)")));
        QVERIFY(!text.contains(QStringLiteral("token-secret")));
    }
    QVERIFY(printed.contains(QStringLiteral("--accept-updates")));
    QVERIFY(fetched.contains(QStringLiteral("fetching 2 update file(s)")));
    KiteProject* job = fixture.settings->jobList.last();
    QCOMPARE(job->name, QStringLiteral("updateDownload"));
    QCOMPARE(job->downloadList.first().path, QStringLiteral("PluginNetConnection.dll"));
    printed.clear();
    for (bool connected : {false, false, true, true, false})
        emit fixture.plugin->tunnelConnectedSignal(connected);
    QCOMPARE(printed, QStringLiteral("kitehost: licence tunnel not connected\n"
                                     "kitehost: licence tunnel connected\n"
                                     "kitehost: licence tunnel not connected\n"));
    // Logs for support: the settings go without a password, the file itself is left alone.
    const QByteArray before = readFile(ini);
    const QDateTime modified = QFileInfo(ini).lastModified();
    for (const QString& secret : secrets)
        QVERIFY2(before.contains(secret.toUtf8()), qPrintable(secret));
    QSignalSpy received(&fixture.simulator, &FarmSimulator::fileReceived);
    emit fixture.settings->uploadLogFilesSignal();
    QTRY_COMPARE(received.count(), 3);
    const QStringList leaks = QStringList(secrets.values()) << QStringLiteral("anna-pass-4711");
    QStringList names;
    QString settingsText;
    for (const FarmReceivedFile& file : fixture.simulator.receivedFiles(QStringLiteral("anna"))) {
        names << file.fileName;
        for (const QString& secret : leaks)
            QVERIFY2(!file.content.contains(secret.toUtf8()), qPrintable(file.fileName + ": " + secret));
        if (file.fileName == QLatin1String("settings.ini"))
            settingsText = QString::fromUtf8(file.content);
    }
    QCOMPARE(names, (QStringList{"logFile.log", "settings.ini", "version.txt"}));
    QVERIFY(settingsText.startsWith(dateLine(ini)));
    QVERIFY(settingsText.contains(QStringLiteral("proxyHttpUsername=kate")));
    for (const QString& key : secrets.keys())
        QVERIFY2(settingsText.contains('\n' + key.section('/', 1) + "=***"), qPrintable(key));
    QCOMPARE(readFile(ini), before);
    QCOMPARE(QFileInfo(ini).lastModified(), modified);
}

void TestMaintenance::shortcutMadeOrKept_data()
{
    QTest::addColumn<QString>("before"); // what the link's place holds first: a link, a file or nothing
    QTest::addColumn<QString>("target"); // as passed, from the links folder; the link must reach "out"
    QTest::newRow("missing") << "" << "%1/out";
    QTest::newRow("missing, relative target") << "" << "out";
    QTest::newRow("in place") << "link:out" << "%1/out";
    QTest::newRow("in place, trailing slash") << "link:out" << "%1/out/";
    QTest::newRow("to another folder") << "link:old" << "%1/out";
    QTest::newRow("dangling") << "link:gone" << "%1/out";
    QTest::newRow("a file of the user") << "file" << "%1/out";
}

void TestMaintenance::shortcutMadeOrKept()
{
    QFETCH(QString, before);
    QFETCH(QString, target);
    const QString out = makeDir(QStringLiteral("out")), old = makeDir(QStringLiteral("old"));
    const QString link = path(QStringLiteral("shot_010.lnk"));
    QVERIFY(QDir::setCurrent(path(QString())));
    if (before == QLatin1String("file")) {
        QVERIFY(writeFile(link, "user data"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^not a shortcut, left alone: ")));
    } else if (!before.isEmpty()) {
        QVERIFY(QFile::link(before.mid(5), link)); // relative to the links folder
    }
    // On Windows the console script host rewrites the shortcut with its icon;
    // it finds the script in the current folder.
    if (PlatformShell::hasShortcutScript())
        QVERIFY(QFile::copy(QStringLiteral(LINK_SCRIPT_PATH), path(QStringLiteral("createKiteLink.vbs"))));
    const QString icon = path(QStringLiteral("icons/finished.ico"));
    QPointer<LinkCreator> creator = new LinkCreator;
    creator->createLink(link, target.arg(path(QString()).chopped(1)), icon);
    if (PlatformShell::hasShortcutScript() && before != QLatin1String("file")) {
        QTRY_VERIFY_WITH_TIMEOUT(creator.isNull(), 30000); // when the script has ended
    } else {
        // No script to run: the object goes by itself.
        QVERIFY(creator && creator->findChildren<QProcess*>().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(creator.isNull());
    }
    if (before == QLatin1String("file")) {
        QCOMPARE(readFile(link), QByteArray("user data"));
        return;
    }
    QCOMPARE(QDir::cleanPath(QFileInfo(link).symLinkTarget()), out);
    QVERIFY(QFileInfo(link).isDir());
#ifdef Q_OS_WIN
    QCOMPARE(QDir::fromNativeSeparators(PlatformShell::shortcutIconLocation(link)), icon);
#else
    // A link in place is not made again; a new one holds the whole path.
    QCOMPARE(linkText(link), before == QLatin1String("link:out") ? QStringLiteral("out") : out);
#endif
    QVERIFY(QFileInfo::exists(old)); // the folder an old link reached stays
}

void TestMaintenance::shortcutScriptsRunWithBackslashedPaths()
{
    QCOMPARE(PlatformShell::shortcutScriptHost(), QStringLiteral("cscript.exe"));
    QCOMPARE(PlatformShell::shortcutScriptArguments("C:/x\\y.lnk", "//server/share/out", ""),
             (QStringList{"createKiteLink.vbs", "0", "C:\\x\\y.lnk", "\\\\server\\share\\out", ""}));
    const QString targetA = makeDir(QStringLiteral("Download/output/a"));
    const QString targetB = makeDir(QStringLiteral("Download/output/b"));
    const QString icon = path(QStringLiteral("icons/orvelfoldericon_finished.ico"));
    // A script in the current folder that writes its arguments, one a line,
    // to a file args_*.txt of its own: run by the console script host on
    // Windows, by /bin/sh in its place elsewhere.
#ifdef Q_OS_WIN
    QVERIFY(writeFile(path(QStringLiteral("createKiteLink.vbs")),
                      "Set fso = CreateObject(\"Scripting.FileSystemObject\")\r\n"
                      "Set out = fso.CreateTextFile(\"args_\" & fso.GetTempName() & \".txt\", True)\r\n"
                      "For i = 0 To WScript.Arguments.Count - 1\r\n"
                      "    out.Write WScript.Arguments(i) & vbLf\r\n"
                      "Next\r\n"
                      "out.Close\r\n"));
#else
    QVERIFY(writeFile(path(QStringLiteral("createKiteLink.vbs")), "printf '%s\\n' \"$@\" > \"args_$$.txt\"\n"));
    PlatformShell::setShortcutScriptHost(QStringLiteral("/bin/sh"));
#endif
    QVERIFY(QDir::setCurrent(path(QString())));
    QVERIFY(PlatformShell::hasShortcutScript());
    // Two at once: two objects, two script runs; each goes when its script has ended.
    auto* first = new LinkCreator;
    auto* second = new LinkCreator;
    QSignalSpy firstGone(first, &QObject::destroyed), secondGone(second, &QObject::destroyed);
    first->createLink(path(QStringLiteral("Download/a.lnk")), targetA, icon);
    second->createLink(path(QStringLiteral("Download/b.lnk")), targetB, QString());
    QCOMPARE(first->findChildren<QProcess*>().size(), 1);
    // The direct link uses the paths unchanged.
    QCOMPARE(QFileInfo(path(QStringLiteral("Download/a.lnk"))).symLinkTarget(), targetA);
    QTRY_VERIFY(firstGone.count() == 1 && secondGone.count() == 1);
    QStringList runs;
    for (const QString& file : QDir(path(QString())).entryList({QStringLiteral("args_*.txt")}, QDir::Files))
        runs << QString::fromUtf8(readFile(path(file)));
    runs.sort();
    const auto backslashed = [](QString text) { return text.replace(QLatin1Char('/'), QLatin1Char('\\')); };
    QCOMPARE(runs, (QStringList{
                       "0\n" + backslashed(path("Download/a.lnk")) + '\n' + backslashed(targetA) + '\n'
                           + backslashed(icon) + '\n',
                       "0\n" + backslashed(path("Download/b.lnk")) + '\n' + backslashed(targetB) + "\n\n"}));
    // Without a script host the object goes all the same.
    PlatformShell::setShortcutScriptHost(path(QStringLiteral("no/such/cscript.exe")));
    auto* third = new LinkCreator;
    QSignalSpy thirdGone(third, &QObject::destroyed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^script host could not be started: ")));
    third->createLink(path(QStringLiteral("c.lnk")), targetA, QString());
    QCOMPARE(QFileInfo(path(QStringLiteral("c.lnk"))).symLinkTarget(), targetA);
    QTRY_COMPARE(thirdGone.count(), 1);
}

void TestMaintenance::shortcutIconLocation_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");
    // A shell link: header (size, class id, flags), an item id list, then counted strings: name, icon location.
    const auto link = [](bool unicode, const QString& icon, bool withInfo) {
        QByteArray data = QByteArray("\x4C\0\0\0\x01\x14\x02\0\0\0\0\0\xC0\0\0\0\0\0\0\x46", 20) + QByteArray(56, '\0');
        data[0x14] = char(0x5 | (withInfo ? 0x2 : 0) | (icon.isEmpty() ? 0 : 0x40) | (unicode ? 0x80 : 0));
        data += QByteArray("\x06\0\x04\0\xAA\xBB\0\0", 8); // one empty item and the terminator
        data += QByteArray("\x0C\0\0\0\x1C\0\0\0\0\0\0\0", withInfo ? 12 : 0);
        for (const QString& text : {QStringLiteral("shot_010"), icon}) {
            const QByteArray bytes = unicode ? QByteArray(reinterpret_cast<const char*>(text.utf16()), 2 * text.size())
                                             : text.toLatin1();
            data += text.isEmpty() ? QByteArray() : char(text.size()) + QByteArray(1, '\0') + bytes;
        }
        return data + QByteArray(4, '\0');
    };
    const QString icon = QStringLiteral("C:\\Program Files\\Kite\\icons\\orvelfoldericon_finished.ico");
    QByteArray otherClass = link(true, icon, false);
    otherClass[5] = 0x15;
    QTest::newRow("unicode") << link(true, icon, false) << icon;
    QTest::newRow("unicode with link info") << link(true, icon, true) << icon;
    QTest::newRow("ansi") << link(false, icon, true) << icon;
    QTest::newRow("counted with its terminating zero") << link(true, icon + QChar(0), false) << icon;
    QTest::newRow("no icon") << link(true, QString(), false) << QString();
    QTest::newRow("truncated") << link(true, icon, false).left(0x60) << QString();
    QTest::newRow("not a shell link") << otherClass << QString();
    QTest::newRow("text") << QByteArray("target=/home/a/out\n") << QString();
}

void TestMaintenance::shortcutIconLocation()
{
    QFETCH(QByteArray, data);
    QTEST(PlatformShell::shortcutIconLocationFromData(data), "expected");
    QVERIFY(writeFile(path(QStringLiteral("job.lnk")), data));
    QTEST(PlatformShell::shortcutIconLocation(path(QStringLiteral("job.lnk"))), "expected");
}

QTEST_MAIN(TestMaintenance)
#include "tst_maintenance.moc"
