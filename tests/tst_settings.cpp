#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "settings/settingsstore.h"
#include "support/messagecapture.h"
#include "support/testfiles.h"

#include <QNetworkProxy>
#include <QtTest>

namespace {
struct LoadCase { QByteArray ini; QString serverWss; int pingInterval, maxDownloads /* 0: the default */; bool isBeta; };
// expected: key -> stored text; an invalid value: not stored.
struct SaveCase { QByteArray ini; int licensePort1; bool isBeta; QString password; QVariantMap expected; };
// methods: applied one after the other.
struct ProxyCase { int setting; bool autoDetected; QList<int> methods; QNetworkProxy::ProxyType type; };
} // namespace
Q_DECLARE_METATYPE(LoadCase)
Q_DECLARE_METATYPE(SaveCase)
Q_DECLARE_METATYPE(ProxyCase)

// The settings file (load, save, any spelling of a key) and the shared log
// file, in a temporary application directory.
class TestSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KiteSettings> m_settings; // for the log cases

    QString path(const char* name) const { return m_dir->filePath(QLatin1String(name)); }
    void writeIni(const QByteArray& text) const { QVERIFY(TestFiles::writeFile(path("settings.ini"), text)); }
    std::unique_ptr<KiteSettings> loaded() const
    {
        auto settings = std::make_unique<KiteSettings>();
        settings->setApplicationDirectory(m_dir->path());
        settings->load();
        return settings;
    }
    // The messages of the log lines (after the time stamp and ": ").
    QStringList logMessages() const
    {
        LogWriter::instance().close();
        QStringList lines = QString::fromUtf8(TestFiles::readFile(path("logFile.log"))).split('\n', Qt::SkipEmptyParts);
        for (QString& line : lines)
            line = line.mid(25);
        return lines == QStringList{QString()} ? QStringList() : lines; // "<missing>" reads as one empty message
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        writeIni(QByteArray());
        m_settings = std::make_unique<KiteSettings>();
        m_settings->setApplicationDirectory(m_dir->path());
    }

    void cleanup()
    {
        LogWriter::instance().close();
        QNetworkProxy::setApplicationProxy(QNetworkProxy());
        m_settings.reset();
        m_dir.reset();
    }

    void emptyFileDefaults()
    {
        KiteSettings s;
        s.setApplicationDirectory(m_dir->path());
        s.adminMode = true; // always-keys fall back to false/0/empty
        s.proxyHttpPort = 8080;
        s.username = "stale";
        s.autoPluginUpdate = false; // if-present keys keep their value
        s.NotificationDuration = 42;
        QSignalSpy passwordRequests(&s, &KiteSettings::loadPasswordSignal);
        s.load();
        QCOMPARE(passwordRequests.count(), 1);
        QVERIFY(s.kiteId.size() == 36 && !s.kiteId.contains('{') && !QUuid::fromString(s.kiteId).isNull());
        QCOMPARE(s.localProjectsFolder, QDir::homePath() + "/OrvelKite/Projects");
        QCOMPARE(s.pluginDir, m_dir->path() + "/plugins");
        QCOMPARE(s.pluginDownloader + s.pluginImporter + s.pluginUploader, QStringLiteral("PluginDownloader.dllPluginImporter.dllPluginUploader.dll"));
        QVERIFY(!s.adminMode && s.proxyHttpPort == 0 && s.username.isEmpty() && !s.autoPluginUpdate && s.oldPluginsRemoved);
        QCOMPARE(s.NotificationDuration, 42);
        QCOMPARE(s.serverHttps, QStringLiteral("https://transfer.orvelfarm.net/filetransfers/"));
        QVERIFY(logMessages().contains("299 localProjectsFolder does not exist, use default"));
        // An existing folder is kept, without a log line; a relative plug-in folder is in the application's.
        writeIni("[PathOptions]\nlocalProjectsFolder=" + m_dir->path().toUtf8() + "\n[plugins]\npluginDir=plugins\n");
        QFile::remove(path("logFile.log"));
        const auto again = loaded();
        QCOMPARE(again->localProjectsFolder + again->pluginDir, m_dir->path() + m_dir->path() + "/plugins");
        QVERIFY(logMessages().isEmpty());
    }

    void load_data()
    {
        QTest::addColumn<LoadCase>("c");
        const QString wss = "wss://queue.orvelfarm.net", other = "wss://other.example";
        QTest::newRow("empty file") << LoadCase{"", wss, 30, 0, false};
        QTest::newRow("isBeta overruled by use30plugins") << LoadCase{"[Settings]\nisBeta=true\nuse30plugins=false\n", wss, 30, 0, false};
        QTest::newRow("use30plugins") << LoadCase{"[Settings]\nuse30plugins=true\n", wss, 30, 0, true};
        QTest::newRow("isBeta alone") << LoadCase{"[Settings]\nisBeta=true\n", wss, 30, 0, true};
        QTest::newRow("stored URL") << LoadCase{"[Network]\nserverWss=wss://other.example\n", other, 30, 0, false};
        QTest::newRow("subdomain beats URL") << LoadCase{"[Network]\nserverWss=wss://other.example\nsubdomainWss=eu2\n", "wss://eu2.orvelfarm.net", 30, 0, false};
        QTest::newRow("template and subdomain") << LoadCase{"[Network]\nserverWssTemplate=ws://127.0.0.1:5555/%1\nsubdomainWss=eu2\n", "ws://127.0.0.1:5555/eu2", 30, 0, false};
        QTest::newRow("template alone") << LoadCase{"[Network]\nserverWssTemplate=ws://127.0.0.1:5555/%1\n", "ws://127.0.0.1:5555/queue", 30, 0, false};
        QTest::newRow("empty subdomain keeps URL") << LoadCase{"[Network]\nserverWss=wss://other.example\nsubdomainWss=\n", other, 30, 0, false};
        QTest::newRow("test environment") << LoadCase{"[Settings]\nuseTestEnvironment=true\n[Network]\nsubdomainWss=eu2\nserverHttpsHost=h1.example\n"
                                                      "serverSftpPort=2222\nserverFtpPort2=2121\n", "wss://queue.test.orvelfarm.net", 30, 0, false};
        QTest::newRow("ping 0 ignored") << LoadCase{"[Network]\npingInterval=0\n", wss, 30, 0, false};
        QTest::newRow("negative ping ignored") << LoadCase{"[Network]\npingInterval=-5\n", wss, 30, 0, false};
        QTest::newRow("ping taken") << LoadCase{"[Network]\npingInterval=45\n", wss, 45, 0, false};
        QTest::newRow("bandwidth limit") << LoadCase{"[Network]\nbandwidthLimitDownload=true\n", wss, 30, 1, false};
    }
    void load()
    {
        QFETCH(LoadCase, c);
        writeIni(c.ini);
        const auto s = loaded();
        QCOMPARE(s->serverWss, c.serverWss);
        QCOMPARE(s->pingInterval, c.pingInterval);
        QCOMPARE(s->maxRunningDownloads, c.maxDownloads ? c.maxDownloads : KiteSettings().maxRunningDownloads);
        QCOMPARE(s->maxRunningUploads, KiteSettings().maxRunningUploads);
        QVERIFY(s->isBeta == c.isBeta && s->useBetaMayaPlugin == c.isBeta);
        QCOMPARE(s->versionPrefix + s->winUpdateKey + s->installerUpdateUntilMacKey,
                 QString(c.isBeta ? "1.4.win15betainstallerUpdateUntilMac15beta" : "1.2.win1installerUpdateUntilMac1"));
        if (!s->useTestEnvironment)
            return;
        QCOMPARE(s->serverPort, 2121);
        QCOMPARE(s->serverHttps + s->serverHttps2,
                 QStringLiteral("https://transfer.test.orvelfarm.net/filetransfers/https://transfer2.test.orvelfarm.net/filetransfers/"));
        QCOMPARE(s->controlCenterUrl, QStringLiteral("https://my.test.orvelfarm.net/my-orvel/control-center/"));
        QCOMPARE(s->supportTicketUrl, QStringLiteral("https://my.orvelfarm.net/my-orvel/support-ticket/new-ticket"));
        QCOMPARE(s->calculatorUrl, QStringLiteral("https://www.orvelfarm.net/en/lets-go/calculator"));
    }

    void roundTripWithOtherLetterCase()
    {
        writeIni("[settings]\nlicenseport1=5053\nLicensePort2=5054\nlicensePort3=5055\nautopluginupdate=false\nLOGLEVEL=4\n"
                 "showDebugWindow=true\n[network]\nSubdomainWss=eu2\nproxyhttpport=3128\nproxyHttpPassword=proxy-secret\n"
                 "proxyFtpPassword=ftp-secret\nproxySettingHTTP=2\n");
        MessageCapture capture;
        auto first = loaded();
        QSignalSpy logins(first.get(), &KiteSettings::loginSignal);
        first->customFtpPass = "tunnel-secret";
        first->loginSlot("alice", "user-secret");
        QCOMPARE(logins.value(0), (QVariantList{"alice", "user-secret"}));
        QVERIFY(first->licensePort1 == 5053 && !first->autoPluginUpdate && first->logLevel == 4 && first->proxyHttpPort == 3128);
        first->localProjectsFolder = m_dir->path();
        first->vrayPath = "C:/vray";
        first->NotificationDuration = 9;
        first->ProgramLanguage = "de";
        first->licenseServerArnold = "lic.example";
        first->licenseCountArnold = 3;
        first->showDebugWindow = false;
        first->saveToIni();
        QVERIFY(first->showDebugWindow); // read back: the host owns it
        // Each key is stored in one spelling only.
        const QStringList keys = QSettings(path("settings.ini"), QSettings::IniFormat).allKeys();
        QSet<QString> folded;
        for (const QString& key : keys)
            folded.insert(key.toLower());
#ifdef Q_OS_WIN
        // Windows matches INI keys without regard to case: a group keeps the file's spelling.
        QVERIFY(folded.size() == keys.size() && keys.contains("Settings/LicensePort1", Qt::CaseInsensitive));
#else
        QVERIFY(folded.size() == keys.size() && keys.contains("Settings/LicensePort1"));
#endif
        const auto second = loaded();
        QCOMPARE(second->kiteId, first->kiteId);
        QVERIFY(second->licensePort3 == 5055 && second->logLevel == 4 && !second->autoPluginUpdate);
        QCOMPARE(second->serverWss, QStringLiteral("wss://eu2.orvelfarm.net"));
        QCOMPARE(second->username + second->vrayPath + second->ProgramLanguage + second->licenseServerArnold,
                 QStringLiteral("aliceC:/vraydelic.example"));
        QCOMPARE(second->localProjectsFolder, m_dir->path());
        QVERIFY(second->NotificationDuration == 9 && second->licenseCountArnold == 3 && second->proxyHttpPort == 3128);
        // No secret reaches the output, the log or the file (only the proxy passwords belong there).
        QVERIFY(capture.messages.contains("username: alice, password: xxxxx"));
        const QString output = capture.messages.join('\n') + logMessages().join('\n');
        for (const char* secret : {"proxy-secret", "ftp-secret", "tunnel-secret", "user-secret"})
            QVERIFY2(!output.contains(QLatin1String(secret)), secret);
        QVERIFY(!TestFiles::readFile(path("settings.ini")).contains("user-secret"));
    }

    void saves_data()
    {
        QTest::addColumn<SaveCase>("c");
        const QVariant absent;
        QTest::newRow("values that are not stored") << SaveCase{"", -1, false, "", {{"Settings/logLevel", absent},
            {"Settings/LicensePort2", absent}, {"Settings/LicensePort3local", absent}, {"Settings/licenseServerArnold", absent},
            {"Settings/licenseCountArnold", absent}, {"Settings/licenseLimitArnold", absent}, {"Settings/isBeta", "false"}}};
        QTest::newRow("licence ports written together, local ones apart") << SaveCase{"", 5053, false, "",
            {{"Settings/LicensePort1", "5053"}, {"Settings/LicensePort3", "-1"}, {"Settings/LicensePort1local", absent}}};
        QTest::newRow("beta: only use30plugins") << SaveCase{"", -1, true, "", {{"Settings/isBeta", absent}, {"Settings/use30plugins", "true"}}};
        QTest::newRow("stored log level and template kept") << SaveCase{"[Settings]\nlogLevel=4\n[Network]\nserverWssTemplate=ws://h/%1\n",
            -1, false, "", {{"Settings/logLevel", "4"}, {"Network/serverWssTemplate", "ws://h/%1"}}};
        QTest::newRow("empty password written empty") << SaveCase{"[UserData]\npassword=old\n", -1, false, "", {{"UserData/password", ""}}};
        QTest::newRow("real password never written") << SaveCase{"[UserData]\npassword=kept-by-its-owner\n", -1, false, "s3cret-pass",
            {{"UserData/password", "kept-by-its-owner"}}};
    }
    void saves()
    {
        QFETCH(SaveCase, c);
        writeIni(c.ini);
        auto s = loaded();
        s->logLevel = 2;
        s->licensePort1 = c.licensePort1;
        s->licensePort2 = 5000;
        s->licensePort3local = 5001;
        s->isBeta = c.isBeta;
        s->password = c.password;
        s->saveToIni();
        const QSettings file(path("settings.ini"), QSettings::IniFormat);
        for (auto it = c.expected.cbegin(); it != c.expected.cend(); ++it) {
            QVERIFY2(file.contains(it.key()) == it.value().isValid(), qPrintable(it.key()));
            QCOMPARE(file.value(it.key()).toString(), it.value().toString());
        }
        QVERIFY(!TestFiles::readFile(path("settings.ini")).contains("s3cret-pass"));
        QCOMPARE(loaded()->isBeta, c.isBeta);
    }

    void runTimeHelpers()
    {
        KiteSettings s;
        s.setMaxRunningDownloads(4);
        s.setMaxRunningUploads(5);
        QVERIFY(s.maxRunningDownloads == 4 && s.maxRunningUploads == 5);
        s.bandwidthLimitDownload = s.bandwidthLimitUpload = true;
        s.setMaxRunningDownloads(4);
        s.setMaxRunningUploads(5);
        QVERIFY(s.maxRunningDownloads == 1 && s.maxRunningUploads == 1);
        s.setUploadToDc2Programs("max;maya;;c4d");
        s.setUploadToDc2Renderers("vray;;arnold;redshift");
        QCOMPARE(s.uploadToDc2Programs + s.uploadToDc2Renderers, (QStringList{"max", "maya", "", "c4d", "vray", "", "arnold", "redshift"}));
        QSignalSpy sync(&s, &KiteSettings::syncSignal);
        s.sendSyncSignal(); // not before the first run is done
        s.firstRunDone = true;
        s.sendSyncSignal();
        QCOMPARE(sync.count(), 1);
        // The host and sibling plug-ins connect by signature strings.
        for (const char* signature : {"updateReadySignal(int)", "updateReadySignal()", "makeRequest(QString,QJsonObject,KiteProject*,QString)",
                                      "makeRequest(QString,QJsonObject,KiteProject*)", "makeRequest(QString,QJsonObject)",
                                      "writeToLog(QString,int)", "writeToLog(QString)", "openLinkWithTokenSlot(QString)"})
            QVERIFY2(KiteSettings::staticMetaObject.indexOfMethod(signature) >= 0, signature);
    }

    void proxy_data()
    {
        QTest::addColumn<ProxyCase>("c");
        QTest::newRow("1: no proxy whatever is stored") << ProxyCase{1, true, {1}, QNetworkProxy::NoProxy};
        QTest::newRow("0 not detected: no proxy") << ProxyCase{0, false, {0}, QNetworkProxy::NoProxy};
        QTest::newRow("0 detected: HTTP") << ProxyCase{0, true, {0}, QNetworkProxy::HttpProxy};
        QTest::newRow("2 method 0: HTTP") << ProxyCase{2, false, {0}, QNetworkProxy::HttpProxy};
        QTest::newRow("2 method 1: SOCKS 5") << ProxyCase{2, false, {1}, QNetworkProxy::Socks5Proxy};
        QTest::newRow("2 method 2: caching HTTP") << ProxyCase{2, false, {2}, QNetworkProxy::HttpCachingProxy};
        QTest::newRow("unknown method keeps the type") << ProxyCase{2, false, {1, 7}, QNetworkProxy::Socks5Proxy};
    }
    void proxy()
    {
        QFETCH(ProxyCase, c);
        KiteSettings s;
        s.proxySettingHTTP = c.setting;
        s.proxySettingHTTPAutoDetected = c.autoDetected;
        s.proxyHttpAddress = "proxy.example";
        s.proxyHttpPort = 3128;
        s.proxyHttpUsername = "bob";
        s.proxyHttpPassword = "pw";
        for (int method : c.methods) {
            s.proxyHttpMethod = method;
            s.applyProxySettings();
        }
        const QNetworkProxy installed = QNetworkProxy::applicationProxy();
        QCOMPARE(installed.type(), c.type);
        if (c.type != QNetworkProxy::NoProxy)
            QCOMPARE((QStringList{installed.hostName(), QString::number(installed.port()), installed.user(), installed.password()}),
                     (QStringList{"proxy.example", "3128", "bob", "pw"}));
    }

    // The log file.

    void logLevels_data()
    {
        QTest::addColumn<int>("logLevel");
        QTest::addColumn<int>("level"); // -1: the one-argument overload
        QTest::addColumn<bool>("written");
        QTest::newRow("logLevel 2, level 1 written") << 2 << 1 << true;
        QTest::newRow("logLevel 2, level 2 dropped") << 2 << 2 << false;
        QTest::newRow("logLevel 2, level 3 dropped") << 2 << 3 << false;
        QTest::newRow("logLevel 2, one-argument written") << 2 << -1 << true;
        QTest::newRow("logLevel 0, one-argument dropped") << 0 << -1 << false;
        QTest::newRow("logLevel 4, level 3 written") << 4 << 3 << true;
    }
    void logLevels()
    {
        QFETCH(int, logLevel);
        QFETCH(int, level);
        QFETCH(bool, written);
        const QString message = QStringLiteral("Übertragung fertig ✓");
        m_settings->logLevel = logLevel;
        MessageCapture capture("kite.log");
        if (level < 0)
            m_settings->writeToLog(message);
        else
            m_settings->writeToLog(message, level);
        QCOMPARE(capture.messages.size(), written ? 1 : 0); // each line also goes to the debug output
        QCOMPARE(logMessages(), written ? QStringList{message} : QStringList());
        if (!written)
            return;
        QVERIFY(capture.messages.first().endsWith(": " + message));
        QVERIFY(QRegularExpression("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3}: [^\r]*\n$").match(TestFiles::readFile(path("logFile.log"))).hasMatch());
        QCOMPARE(LogWriter::formatLine(QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9, 45)), "hello"), QStringLiteral("2024-03-05 07:08:09:045: hello"));
        // While the application exits nothing is written or printed.
        m_settings->exitingApplication = true;
        m_settings->writeToLog("late");
        QVERIFY(capture.messages.size() == 1 && logMessages().size() == 1);
    }

    void unopenableFileCostsOnlyThatLine()
    {
        // A directory in the file's place cannot be opened for appending,
        // whatever the rights of the user running the tests.
        QVERIFY(QDir().mkpath(path("logFile.log")));
        {
            MessageCapture capture("kite.log");
            m_settings->writeToLog("first");
            m_settings->writeToLog("second");
            QCOMPARE(capture.messages.count("Could not open logFile"), 2);
        }
        QVERIFY(!LogWriter::instance().isOpen());
        QVERIFY(QDir(path("logFile.log")).removeRecursively());
        m_settings->writeToLog("third");
        QCOMPARE(logMessages(), QStringList{"third"});
    }

    void reopensAfter101LinesWithoutLossOrDuplicates()
    {
        QStringList expected;
        for (int i = 0; i < 250; ++i) {
            expected << QStringLiteral("line %1").arg(i);
            m_settings->writeToLog(expected.last());
            // Closed, and so on disk, after every 101st line.
            QCOMPARE(LogWriter::instance().isOpen(), i % 101 != 100);
            if (i % 101 == 100)
                QCOMPARE(TestFiles::readFile(path("logFile.log")).count('\n'), i + 1);
        }
        QCOMPARE(logMessages(), expected);
    }

    void rotation_data()
    {
        QTest::addColumn<qint64>("existingSize");
        QTest::addColumn<bool>("rotated");
        QTest::newRow("exactly 10 MiB stays") << qint64(10 * 1024 * 1024) << false;
        QTest::newRow("past 10 MiB rotates") << qint64(10 * 1024 * 1024 + 1) << true;
    }
    void rotation()
    {
        QFETCH(qint64, existingSize);
        QFETCH(bool, rotated);
        QByteArray existing(int(existingSize), 'x');
        existing.replace(0, 9, "old start");
        QVERIFY(TestFiles::writeFile(path("logFile.log"), existing));
        QVERIFY(TestFiles::writeFile(path("logFile.log.old"), "older rotation\n"));
        m_settings->writeToLog("after rotation");
        LogWriter::instance().close();
        const QByteArray current = TestFiles::readFile(path("logFile.log"));
        QCOMPARE(TestFiles::readFile(path("logFile.log.old")), rotated ? existing : QByteArray("older rotation\n"));
        QVERIFY(rotated ? current.count('\n') == 1 : current.startsWith(existing));
        QVERIFY(current.endsWith("after rotation\n"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
