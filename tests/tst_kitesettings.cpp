#include "settings/kitesettings.h"
#include "support/messagecapture.h"
#include "settings/logwriter.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

namespace {

} // namespace

class TestKiteSettings : public QObject
{
    Q_OBJECT

private:
    QString iniPath() const { return QDir(m_dir->path()).filePath(QStringLiteral("settings.ini")); }

    void writeIni(const QByteArray& text) const
    {
        QFile file(iniPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QByteArray iniText() const
    {
        QFile file(iniPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The keys exactly as spelled in the file.
    QStringList storedKeys() const { return QSettings(iniPath(), QSettings::IniFormat).allKeys(); }

    std::unique_ptr<KiteSettings> loaded() const
    {
        auto settings = std::make_unique<KiteSettings>();
        settings->setApplicationDirectory(m_dir->path());
        settings->load();
        return settings;
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        writeIni(QByteArray());
    }

    void cleanup()
    {
        LogWriter::instance().close();
        QNetworkProxy::setApplicationProxy(QNetworkProxy());
        m_dir.reset();
    }

    // --- SettingsStore ---------------------------------------------------------

    void storeFindsAnySpelling_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("exact") << QByteArray("[Settings]\nLicensePort1=5053\n") << "Settings/LicensePort1"
                               << QVariant(QStringLiteral("5053"));
        QTest::newRow("name case") << QByteArray("[Settings]\nLicensePort1=5053\n") << "Settings/licensePort1"
                                   << QVariant(QStringLiteral("5053"));
        QTest::newRow("group case") << QByteArray("[settings]\nkiteid=abc\n") << "Settings/kiteId"
                                    << QVariant(QStringLiteral("abc"));
        QTest::newRow("absent") << QByteArray("[Settings]\nLicensePort2=1\n") << "Settings/licensePort1" << QVariant();
        QTest::newRow("empty value is present") << QByteArray("[Settings]\nkiteId=\n") << "Settings/kiteid"
                                                << QVariant(QString(QLatin1String("")));
        QTest::newRow("invalid value is absent") << QByteArray("[Settings]\nkiteId=@Invalid()\n") << "Settings/kiteId"
                                                 << QVariant();
    }

    void storeFindsAnySpelling()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, key);
        QFETCH(QVariant, expected);
        writeIni(ini);
        SettingsStore store(iniPath());
        QCOMPARE(store.value(key), expected);
        QCOMPARE(store.isPresent(key), expected.isValid());
    }

    void storeWriteReplacesOtherSpellings()
    {
        writeIni("[Settings]\nlicensePort1=1\nLICENSEPORT1=2\nlicensePort2=3\n");
        SettingsStore store(iniPath());
        store.setValue(QStringLiteral("Settings/LicensePort1"), 9);
        store.sync();
        QCOMPARE(storedKeys(), QStringList({QStringLiteral("Settings/LicensePort1"), QStringLiteral("Settings/licensePort2")}));
        QCOMPARE(store.value(QStringLiteral("settings/licenseport1")).toInt(), 9);
    }

    // --- load() ----------------------------------------------------------------

    void emptyFileDefaults()
    {
        KiteSettings settings;
        settings.setApplicationDirectory(m_dir->path());
        settings.adminMode = true;          // always-keys fall back to false/0/empty
        settings.proxyHttpPort = 8080;
        settings.username = QStringLiteral("stale");
        settings.autoPluginUpdate = false;  // if-present keys keep their value
        settings.NotificationDuration = 42;
        QSignalSpy passwordRequests(&settings, &KiteSettings::loadPasswordSignal);
        settings.load();

        QCOMPARE(passwordRequests.count(), 1);
        QCOMPARE(settings.kiteId.size(), 36);
        QVERIFY(!settings.kiteId.contains(QLatin1Char('{')));
        QVERIFY(!QUuid::fromString(settings.kiteId).isNull());
        QCOMPARE(settings.localProjectsFolder, QDir::homePath() + QStringLiteral("/OrvelKite/Projects"));
        QCOMPARE(settings.pluginDir, m_dir->path() + QStringLiteral("/plugins"));
        QCOMPARE(settings.pluginDownloader, QStringLiteral("PluginDownloader.dll"));
        QCOMPARE(settings.pluginImporter, QStringLiteral("PluginImporter.dll"));
        QCOMPARE(settings.pluginUploader, QStringLiteral("PluginUploader.dll"));
        QCOMPARE(settings.adminMode, false);
        QCOMPARE(settings.proxyHttpPort, 0);
        QCOMPARE(settings.username, QString());
        QCOMPARE(settings.autoPluginUpdate, false);
        QCOMPARE(settings.NotificationDuration, 42);
        QCOMPARE(settings.oldPluginsRemoved, true);
        QCOMPARE(settings.serverHttps, QStringLiteral("https://transfer.orvelfarm.net/filetransfers/"));

        LogWriter::instance().close();
        QFile log(QDir(m_dir->path()).filePath(QStringLiteral("logFile.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().endsWith(": 299 localProjectsFolder does not exist, use default\n"));
    }

    void existingProjectsFolderIsKept()
    {
        writeIni("[PathOptions]\nlocalProjectsFolder=" + m_dir->path().toUtf8() + "\n[plugins]\npluginDir=plugins\n");
        const auto settings = loaded();
        QCOMPARE(settings->localProjectsFolder, m_dir->path());
        QCOMPARE(settings->pluginDir, m_dir->path() + QStringLiteral("/plugins"));
        QVERIFY(!QFile::exists(QDir(m_dir->path()).filePath(QStringLiteral("logFile.log"))));
    }

    void betaSwitch_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("isBeta");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("winKey");
        QTest::newRow("isBeta overruled by use30plugins")
            << QByteArray("[Settings]\nisBeta=true\nuse30plugins=false\n") << false << "1.2." << "win1";
        QTest::newRow("use30plugins") << QByteArray("[Settings]\nuse30plugins=true\n") << true << "1.4." << "win15beta";
        QTest::newRow("isBeta alone") << QByteArray("[Settings]\nisBeta=true\n") << true << "1.4." << "win15beta";
    }

    void betaSwitch()
    {
        QFETCH(QByteArray, ini);
        writeIni(ini);
        const auto settings = loaded();
        QTEST(settings->isBeta, "isBeta");
        QTEST(settings->versionPrefix, "prefix");
        QTEST(settings->winUpdateKey, "winKey");
        QCOMPARE(settings->useBetaMayaPlugin, settings->isBeta);
        QCOMPARE(settings->installerUpdateUntilMacKey, settings->isBeta ? QStringLiteral("installerUpdateUntilMac15beta")
                                                                         : QStringLiteral("installerUpdateUntilMac1"));
    }

    void serverWss_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("serverWss");
        QTest::newRow("default") << QByteArray() << "wss://queue.orvelfarm.net";
        QTest::newRow("stored URL") << QByteArray("[Network]\nserverWss=wss://other.example\n") << "wss://other.example";
        QTest::newRow("subdomain beats URL")
            << QByteArray("[Network]\nserverWss=wss://other.example\nsubdomainWss=eu2\n") << "wss://eu2.orvelfarm.net";
        QTest::newRow("template and subdomain")
            << QByteArray("[Network]\nserverWssTemplate=ws://127.0.0.1:5555/%1\nsubdomainWss=eu2\n")
            << "ws://127.0.0.1:5555/eu2";
        QTest::newRow("template alone")
            << QByteArray("[Network]\nserverWssTemplate=ws://127.0.0.1:5555/%1\n") << "ws://127.0.0.1:5555/queue";
        QTest::newRow("empty subdomain keeps URL")
            << QByteArray("[Network]\nserverWss=wss://other.example\nsubdomainWss=\n") << "wss://other.example";
        QTest::newRow("test environment")
            << QByteArray("[Settings]\nuseTestEnvironment=true\n[Network]\nsubdomainWss=eu2\n")
            << "wss://queue.test.orvelfarm.net";
    }

    void serverWss()
    {
        QFETCH(QByteArray, ini);
        writeIni(ini);
        QTEST(loaded()->serverWss, "serverWss");
    }

    void endpointsAndTestEnvironment()
    {
        writeIni("[Settings]\nuseTestEnvironment=true\n[Network]\nserverHttpsHost=h1.example\n"
                 "serverSftpPort=2222\nserverFtpPort2=2121\nserverUdp=udp.example\n");
        const auto settings = loaded();
        QCOMPARE(settings->serverPort, 2121);
        QCOMPARE(settings->serverUdp, QStringLiteral("udp.example"));
        QCOMPARE(settings->serverHttps, QStringLiteral("https://transfer.test.orvelfarm.net/filetransfers/"));
        QCOMPARE(settings->serverHttps2, QStringLiteral("https://transfer2.test.orvelfarm.net/filetransfers/"));
        QCOMPARE(settings->controlCenterUrl, QStringLiteral("https://my.test.orvelfarm.net/my-orvel/control-center/"));
        QCOMPARE(settings->supportTicketUrl, QStringLiteral("https://my.orvelfarm.net/my-orvel/support-ticket/new-ticket"));
        QCOMPARE(settings->calculatorUrl, QStringLiteral("https://www.orvelfarm.net/en/lets-go/calculator"));
    }

    void pingInterval_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("pingInterval");
        QTest::newRow("absent") << QByteArray() << 30;
        QTest::newRow("zero ignored") << QByteArray("[Network]\npingInterval=0\n") << 30;
        QTest::newRow("negative ignored") << QByteArray("[Network]\npingInterval=-5\n") << 30;
        QTest::newRow("positive taken") << QByteArray("[Network]\npingInterval=45\n") << 45;
    }

    void pingInterval()
    {
        QFETCH(QByteArray, ini);
        writeIni(ini);
        QTEST(loaded()->pingInterval, "pingInterval");
    }

    void bandwidthLimitOnLoad()
    {
        writeIni("[Network]\nbandwidthLimitDownload=true\n");
        const auto settings = loaded();
        QCOMPARE(settings->maxRunningDownloads, 1);
        QCOMPARE(settings->maxRunningUploads, 2);
    }

    // --- saveToIni() -----------------------------------------------------------

    void roundTripWithOtherLetterCase()
    {
        writeIni("[settings]\nlicenseport1=5053\nLicensePort2=5054\nlicensePort3=5055\nautopluginupdate=false\n"
                 "LOGLEVEL=4\n[network]\nSubdomainWss=eu2\nproxyhttpport=3128\n");
        auto first = loaded();
        QCOMPARE(first->licensePort1, 5053);
        QCOMPARE(first->autoPluginUpdate, false);
        QCOMPARE(first->logLevel, 4);
        QCOMPARE(first->proxyHttpPort, 3128);
        first->username = QStringLiteral("alice");
        first->localProjectsFolder = m_dir->path();
        first->vrayPath = QStringLiteral("C:/vray");
        first->NotificationDuration = 9;
        first->ProgramLanguage = QStringLiteral("de");
        first->licenseServerArnold = QStringLiteral("lic.example");
        first->licenseCountArnold = 3;
        first->saveToIni();

        const QStringList keys = storedKeys();
        QSet<QString> folded;
        for (const QString& key : keys)
            folded.insert(key.toLower());
        QCOMPARE(folded.size(), keys.size());
        QVERIFY(keys.contains(QStringLiteral("Settings/LicensePort1")));

        const auto second = loaded();
        QCOMPARE(second->kiteId, first->kiteId);
        QCOMPARE(second->licensePort3, 5055);
        QCOMPARE(second->logLevel, 4);
        QCOMPARE(second->autoPluginUpdate, false);
        QCOMPARE(second->serverWss, QStringLiteral("wss://eu2.orvelfarm.net"));
        QCOMPARE(second->username, QStringLiteral("alice"));
        QCOMPARE(second->localProjectsFolder, m_dir->path());
        QCOMPARE(second->vrayPath, QStringLiteral("C:/vray"));
        QCOMPARE(second->NotificationDuration, 9);
        QCOMPARE(second->ProgramLanguage, QStringLiteral("de"));
        QCOMPARE(second->licenseServerArnold, QStringLiteral("lic.example"));
        QCOMPARE(second->licenseCountArnold, 3);
        QCOMPARE(second->proxyHttpPort, 3128);
    }

    void conditionalSaves_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("value");
        QTest::newRow("logLevel 2 leaves stored value")
            << QByteArray("[Settings]\nlogLevel=4\n") << "Settings/logLevel" << true << "4";
        QTest::newRow("logLevel 2 writes nothing") << QByteArray() << "Settings/logLevel" << false << "";
        QTest::newRow("port1 -1 writes no port") << QByteArray() << "Settings/LicensePort2" << false << "";
        QTest::newRow("local port1 -1 writes no local port")
            << QByteArray() << "Settings/LicensePort3local" << false << "";
        QTest::newRow("localhost licence server") << QByteArray() << "Settings/licenseServerArnold" << false << "";
        QTest::newRow("licence count 0") << QByteArray() << "Settings/licenseCountArnold" << false << "";
        QTest::newRow("licence limit 0") << QByteArray() << "Settings/licenseLimitArnold" << false << "";
        QTest::newRow("isBeta false written") << QByteArray() << "Settings/isBeta" << true << "false";
        QTest::newRow("empty password written empty")
            << QByteArray("[UserData]\npassword=old\n") << "UserData/password" << true << "";
        QTest::newRow("template never written")
            << QByteArray("[Network]\nserverWssTemplate=ws://h/%1\n") << "Network/serverWssTemplate" << true
            << "ws://h/%1";
    }

    void conditionalSaves()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, key);
        writeIni(ini);
        auto settings = loaded();
        settings->logLevel = 2;
        settings->licensePort2 = 5000;
        settings->licensePort3local = 5001;
        settings->saveToIni();
        const QSettings file(iniPath(), QSettings::IniFormat);
        QTEST(file.contains(key), "present");
        QTEST(file.value(key).toString(), "value");
    }

    void licencePortsWrittenTogether()
    {
        auto settings = loaded();
        settings->licensePort1 = 5053;
        settings->saveToIni();
        const QSettings file(iniPath(), QSettings::IniFormat);
        QCOMPARE(file.value(QStringLiteral("Settings/LicensePort1")).toInt(), 5053);
        QCOMPARE(file.value(QStringLiteral("Settings/LicensePort3")).toInt(), -1);
        QVERIFY(!file.contains(QStringLiteral("Settings/LicensePort1local")));
    }

    void realPasswordNeverWritten()
    {
        writeIni("[UserData]\npassword=kept-by-the-password-owner\n");
        auto settings = loaded();
        settings->password = QStringLiteral("s3cret-pass");
        settings->saveToIni();
        QVERIFY(!iniText().contains("s3cret-pass"));
        QVERIFY(iniText().contains("password=kept-by-the-password-owner"));
    }

    void betaSaveWritesUse30PluginsOnly()
    {
        auto settings = loaded();
        settings->isBeta = true;
        settings->saveToIni();
        const QSettings file(iniPath(), QSettings::IniFormat);
        QCOMPARE(file.value(QStringLiteral("Settings/use30plugins")).toBool(), true);
        QVERIFY(!file.contains(QStringLiteral("Settings/isBeta")));
        QVERIFY(loaded()->isBeta);
    }

    void saveRereadsFlagsOwnedByOthers()
    {
        writeIni("[Settings]\nshowDebugWindow=true\n");
        auto settings = loaded();
        settings->showDebugWindow = false;
        settings->saveToIni();
        QCOMPARE(settings->showDebugWindow, true);
    }

    // --- Run-time helpers --------------------------------------------------------

    void maxRunning_data()
    {
        QTest::addColumn<bool>("limited");
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("stored");
        QTest::newRow("no limit") << false << 4 << 4;
        QTest::newRow("bandwidth limit") << true << 4 << 1;
    }

    void maxRunning()
    {
        QFETCH(bool, limited);
        QFETCH(int, requested);
        KiteSettings settings;
        settings.bandwidthLimitDownload = limited;
        settings.bandwidthLimitUpload = limited;
        settings.setMaxRunningDownloads(requested);
        settings.setMaxRunningUploads(requested);
        QTEST(settings.maxRunningDownloads, "stored");
        QTEST(settings.maxRunningUploads, "stored");
    }

    void dataCentreListsKeepEmptyParts()
    {
        KiteSettings settings;
        settings.setUploadToDc2Programs(QStringLiteral("max;maya;;c4d"));
        settings.setUploadToDc2Renderers(QStringLiteral("vray;;arnold;redshift"));
        QCOMPARE(settings.uploadToDc2Programs, QStringList({"max", "maya", "", "c4d"}));
        QCOMPARE(settings.uploadToDc2Renderers, QStringList({"vray", "", "arnold", "redshift"}));
    }

    void proxy_data()
    {
        QTest::addColumn<int>("setting");
        QTest::addColumn<bool>("autoDetected");
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("type");
        QTest::newRow("1: no proxy whatever is stored") << 1 << true << 1 << int(QNetworkProxy::NoProxy);
        QTest::newRow("0 not detected: no proxy") << 0 << false << 0 << int(QNetworkProxy::NoProxy);
        QTest::newRow("0 detected: HTTP") << 0 << true << 0 << int(QNetworkProxy::HttpProxy);
        QTest::newRow("2 method 0: HTTP") << 2 << false << 0 << int(QNetworkProxy::HttpProxy);
        QTest::newRow("2 method 1: SOCKS 5") << 2 << false << 1 << int(QNetworkProxy::Socks5Proxy);
        QTest::newRow("2 method 2: caching HTTP") << 2 << false << 2 << int(QNetworkProxy::HttpCachingProxy);
    }

    void proxy()
    {
        QFETCH(int, setting);
        QFETCH(bool, autoDetected);
        QFETCH(int, method);
        QFETCH(int, type);
        KiteSettings settings;
        settings.proxySettingHTTP = setting;
        settings.proxySettingHTTPAutoDetected = autoDetected;
        settings.proxyHttpMethod = method;
        settings.proxyHttpAddress = QStringLiteral("proxy.example");
        settings.proxyHttpPort = 3128;
        settings.proxyHttpUsername = QStringLiteral("bob");
        settings.proxyHttpPassword = QStringLiteral("pw");
        settings.applyProxySettings();

        const QNetworkProxy installed = QNetworkProxy::applicationProxy();
        QCOMPARE(int(installed.type()), type);
        if (type != QNetworkProxy::NoProxy) {
            QCOMPARE(installed.hostName(), QStringLiteral("proxy.example"));
            QCOMPARE(installed.port(), quint16(3128));
            QCOMPARE(installed.user(), QStringLiteral("bob"));
            QCOMPARE(installed.password(), QStringLiteral("pw"));
        }
    }

    void unknownProxyMethodKeepsType()
    {
        KiteSettings settings;
        settings.proxySettingHTTP = 2;
        settings.proxyHttpMethod = 1;
        settings.applyProxySettings();
        settings.proxyHttpMethod = 7;
        settings.applyProxySettings();
        QCOMPARE(QNetworkProxy::applicationProxy().type(), QNetworkProxy::Socks5Proxy);
    }

    void sendSyncSignal_data()
    {
        QTest::addColumn<bool>("firstRunDone");
        QTest::addColumn<int>("emitted");
        QTest::newRow("first run done") << true << 1;
        QTest::newRow("first run pending") << false << 0;
    }

    void sendSyncSignal()
    {
        QFETCH(bool, firstRunDone);
        KiteSettings settings;
        settings.firstRunDone = firstRunDone;
        QSignalSpy spy(&settings, &KiteSettings::syncSignal);
        settings.sendSyncSignal();
        QTEST(spy.count(), "emitted");
    }

    void secretsNeverReachOutput()
    {
        writeIni("[Network]\nproxyHttpPassword=proxy-secret\nproxyFtpPassword=ftp-secret\nproxySettingHTTP=2\n");
        KiteSettings settings;
        settings.setApplicationDirectory(m_dir->path());
        settings.logLevel = 5;
        settings.customFtpPass = QStringLiteral("tunnel-secret");
        QSignalSpy logins(&settings, &KiteSettings::loginSignal);
        MessageCapture capture;
        settings.loginSlot(QStringLiteral("alice"), QStringLiteral("user-secret"));
        settings.load();
        settings.saveToIni();
        LogWriter::instance().close();

        QCOMPARE(logins.count(), 1);
        QCOMPARE(logins.first().at(1).toString(), QStringLiteral("user-secret"));
        QVERIFY(capture.messages.contains(QStringLiteral("username: alice, password: xxxxx")));
        QFile log(QDir(m_dir->path()).filePath(QStringLiteral("logFile.log")));
        const QString logText = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
        const QString output = capture.messages.join(QLatin1Char('\n')) + logText;
        for (const char* secret : {"proxy-secret", "ftp-secret", "tunnel-secret", "user-secret"})
            QVERIFY2(!output.contains(QLatin1String(secret)), secret);
    }

    void signalFormsForStringConnections()
    {
        // The host and sibling plug-ins connect by signature strings.
        const QMetaObject& meta = KiteSettings::staticMetaObject;
        for (const char* signature :
             {"updateReadySignal(int)", "updateReadySignal()", "makeRequest(QString,QJsonObject,KiteProject*,QString)",
              "makeRequest(QString,QJsonObject,KiteProject*)", "makeRequest(QString,QJsonObject)",
              "writeToLog(QString,int)", "writeToLog(QString)", "openLinkWithTokenSlot(QString)"})
            QVERIFY2(meta.indexOfMethod(signature) >= 0, signature);

        KiteSettings settings;
        QSignalSpy spy(&settings, SIGNAL(makeRequest(QString, QJsonObject)));
        emit settings.makeRequest(QStringLiteral("ping"), QJsonObject());
        QCOMPARE(spy.count(), 1);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestKiteSettings)
#include "tst_kitesettings.moc"
