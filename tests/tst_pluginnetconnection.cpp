#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QPluginLoader>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

extern "C" QObject* qt_plugin_instance();

namespace {
QStringList methodSignatures(const QMetaObject* meta, QMetaMethod::MethodType type)
{
    QStringList result;
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() == type)
            result << QString::fromLatin1(method.methodSignature());
    }
    return result;
}

QJsonObject parse(const QVariant& message)
{
    return QJsonDocument::fromJson(message.toString().toUtf8()).object();
}
} // namespace

class TestPluginNetConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void signalsInHostOrder();
    void slotsInHostOrder();
    void metadataNamesTheInterface();
    void singleInstanceAndVersion();
    void setKiteSettingsStartsPingAndTouchesMarker();
    void pingPeriod_data();
    void pingPeriod();
    void syncSendsThreeRequestsInOrder_data();
    void syncSendsThreeRequestsInOrder();
    void logLinesReachTheSharedLog();
    void exitWithoutSyncKeepsPlugin();
    void exitWithSyncDeletesPluginAfterASecond();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KiteSettings> m_settings;
    QString m_projects;

    PluginNetConnection* newWiredPlugin();
    QList<QPointer<PluginNetConnection>> m_plugins;
};

void TestPluginNetConnection::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_projects = m_dir->filePath(QStringLiteral("projects"));
    QVERIFY(QDir().mkpath(m_projects));
    {
        QSettings ini(m_dir->filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), m_projects);
        ini.setValue(QStringLiteral("Network/pingInterval"), 30);
        ini.setValue(QStringLiteral("Settings/logLevel"), 5);
    }
    m_settings = std::make_unique<KiteSettings>();
    m_settings->setApplicationDirectory(m_dir->path());
    m_settings->load();
}

void TestPluginNetConnection::cleanup()
{
    // The plug-ins go before the settings they were handed.
    for (const QPointer<PluginNetConnection>& plugin : qAsConst(m_plugins))
        delete plugin.data();
    m_plugins.clear();
    m_settings.reset();
    m_dir.reset();
}

PluginNetConnection* TestPluginNetConnection::newWiredPlugin()
{
    auto* plugin = new PluginNetConnection;
    plugin->setKiteSettings(m_settings.get());
    // Requests stay in this process: the connection would open a socket.
    disconnect(plugin, &PluginNetConnection::webSocketMessageSignal, nullptr, nullptr);
    m_plugins << plugin;
    return plugin;
}

void TestPluginNetConnection::signalsInHostOrder()
{
    const QStringList expected{
        "readyForExitSignal(QString)",
        "addListToQueueSignal(QStringList)",
        "UploadJobSignal()",
        "texRequestDataSignal(QString)",
        "updateDataSignal(QJsonObject)",
        "loginSuccessSignal(int)",
        "showMessageSignal(QString,QString,QString,KiteProject*)",
        "downloadJobSignal()",
        "exitingSignal()",
        "buildRenderJobSubmenuSignal()",
        "generateDownloadFileListSignal()",
        "updateDownloadFinishedSignal()",
        "statusUpdate(QString)",
        "fileListUpdateSignal(QJsonArray,QJsonArray,KiteProject*)",
        "disconnectWebSocketSignal()",
        "reconnectWebSocketSignal()",
        "disconnectLicenseTunnelSignal()",
        "webSocketMessageSignal(QString)",
        "scanProjectsSignal(QJsonArray,int)",
        "websocketLoginStatusSignal(bool)",
        "websocketTimeoutSignal()",
        "setSyncStateSignal()",
        "websocketPingSignal()",
        "overlayGeneratedSignal(QString,KiteProject*)",
        "websocketFailedSignal()",
        "writeToLog(QString,int)",
        "writeToLog(QString)",
        "texDbResultSignal(QString,QString,QString)",
        "testFilePreparedSignal(bool)",
        "updateStatusInfoSignal()",
        "tunnelConnectedSignal(bool)",
    };
    QCOMPARE(methodSignatures(&PluginNetConnection::staticMetaObject, QMetaMethod::Signal), expected);
}

void TestPluginNetConnection::slotsInHostOrder()
{
    const QStringList expected{
        "reconnectWebsocketSlot()",
        "setKiteSettings(KiteSettings*)",
        "exitApplicationSlot()",
        "loginSlot(QString,QString)",
        "jobBaseFilesForUploadSlot(KiteProject*)",
        "checkFilesSlot(KiteProject*)",
        "appRefreshSlot()",
        "downloadJobFinishedSlot(KiteProject*,int)",
        "exitUpdate()",
        "generateDownloadFileListSlot()",
        "createDirsOnServerSlot(QSet<QString>,KiteProject*)",
        "ignoreSslErrors(QList<QSslError>)",
        "downloadUpdateFiles(QStringList)",
        "checkforUpdates()",
        "disconnectSlot()",
        "loginSuccessSlot(int)",
        "parseJsonMessageSlot(QString)",
        "getProjectStatesSlot()",
        "directoryChangedSlot(QString)",
        "websocketTimeoutSlot()",
        "syncSlot()",
        "settingsSavedSlot()",
        "openLinkWithTokenSlot(QString)",
        "getProjectFolderContentsSlot(int)",
        "updateTimerSlot()",
        "getProjectStatesTimerSlot()",
        "pingTimerSlot()",
        "deleteLocalJobSlot(KiteProject*)",
        "generateOverlayRequestSlot(DownloadFile,KiteProject*)",
        "zipRequestSlot(DownloadFile,KiteProject*)",
        "unzipRequestSlot(UploadFile,KiteProject*)",
        "makeRequest(QString,QJsonObject,KiteProject*,QString,QString)",
        "makeRequest(QString,QJsonObject,KiteProject*,QString)",
        "makeRequest(QString,QJsonObject,KiteProject*)",
        "makeRequest(QString,QJsonObject)",
        "uploadLogFilesSlot()",
        "disconnectLicenseTunnelSlot()",
        "connectLicenseTunnel()",
        "sendSshInfo()",
        "licenseRetrySlot(QAbstractButton*)",
    };
    QCOMPARE(methodSignatures(&PluginNetConnection::staticMetaObject, QMetaMethod::Slot), expected);
}

void TestPluginNetConnection::metadataNamesTheInterface()
{
    // Read the metadata of the built module without loading it, as a host
    // does before it instantiates anything.
    const QString module = qEnvironmentVariable("KITE_TEST_BINARY_DIR") + QStringLiteral("/plugins/libPluginNetConnection.so");
    QVERIFY2(QFile::exists(module), qPrintable(module));
    const QJsonObject meta = QPluginLoader(module).metaData();
    QVERIFY(meta.value(QStringLiteral("IID")).toString().endsWith(QLatin1String(".Qt.Kite.PluginNetConnectionInterface")));
    QCOMPARE(meta.value(QStringLiteral("IID")).toString(), QStringLiteral(PluginNetConnectionInterface_iid));
    QCOMPARE(meta.value(QStringLiteral("className")).toString(), QStringLiteral("PluginNetConnection"));
}

void TestPluginNetConnection::singleInstanceAndVersion()
{
    QObject* first = qt_plugin_instance();
    QVERIFY(first);
    QCOMPARE(qt_plugin_instance(), first);
    auto* plugin = qobject_cast<PluginNetConnectionInterface*>(first);
    QVERIFY(plugin);
    QCOMPARE(plugin->getPluginVersion(), 18);
    QCOMPARE(plugin->getObject(), first);
    QVERIFY(!first->parent());
    delete first;
    QObject* second = qt_plugin_instance();
    QVERIFY(second);
    delete second;
}

void TestPluginNetConnection::setKiteSettingsStartsPingAndTouchesMarker()
{
    const QString marker = m_projects + QStringLiteral("/di2_orv_refresh.txt");
    {
        QFile old(marker);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("stale content");
    }
    PluginNetConnection* plugin = newWiredPlugin();
    QVERIFY(plugin->pingTimer);
    QVERIFY(plugin->pingTimer->isActive());
    QVERIFY(!plugin->pingTimer->isSingleShot());
    QCOMPARE(plugin->pingTimer->interval(), 30000);
    QVERIFY(QFile::exists(marker));
    QCOMPARE(QFileInfo(marker).size(), 0);
}

void TestPluginNetConnection::pingPeriod_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<bool>("pingEnabled");
    QTest::addColumn<bool>("muted");
    QTest::addColumn<int>("framePings");
    QTest::addColumn<int>("requests");

    QTest::newRow("not logged in sends nothing") << false << true << false << 0 << 0;
    QTest::newRow("logged in sends frame and request") << true << true << false << 1 << 1;
    QTest::newRow("ping disabled by the host") << true << false << false << 0 << 0;
    QTest::newRow("muted requests keep the frame") << true << true << true << 1 << 0;
}

void TestPluginNetConnection::pingPeriod()
{
    QFETCH(bool, loggedIn);
    QFETCH(bool, pingEnabled);
    QFETCH(bool, muted);
    QFETCH(int, framePings);
    QFETCH(int, requests);

    PluginNetConnection* plugin = newWiredPlugin();
    m_settings->loggedIn = loggedIn;
    m_settings->websocketPingEnabled = pingEnabled;
    m_settings->pingRequestsMuted = muted;
    QSignalSpy frames(plugin, &PluginNetConnection::websocketPingSignal);
    QSignalSpy messages(plugin, &PluginNetConnection::webSocketMessageSignal);

    plugin->pingTimerSlot();

    QCOMPARE(frames.count(), framePings);
    QCOMPARE(messages.count(), requests);
    if (requests)
        QCOMPARE(parse(messages.at(0).at(0)).value("action").toString(), QStringLiteral("ping"));
}

void TestPluginNetConnection::syncSendsThreeRequestsInOrder_data()
{
    QTest::addColumn<bool>("syncActive");
    QTest::addColumn<QStringList>("actions");

    QTest::newRow("sync active") << true
                                 << QStringList{"getProjectStates", "getUserInfo", "getRenderpoints"};
    QTest::newRow("sync inactive holds the project states") << false
                                                            << QStringList{"getUserInfo", "getRenderpoints"};
}

void TestPluginNetConnection::syncSendsThreeRequestsInOrder()
{
    QFETCH(bool, syncActive);
    QFETCH(QStringList, actions);

    PluginNetConnection* plugin = newWiredPlugin();
    m_settings->syncActive = syncActive;
    plugin->getProjectStatesRunning = true; // a stale outstanding poll must not block the sync
    QSignalSpy messages(plugin, &PluginNetConnection::webSocketMessageSignal);

    emit m_settings->syncSignal();

    QCOMPARE(messages.count(), actions.size());
    for (int i = 0; i < actions.size(); ++i) {
        const QJsonObject envelope = parse(messages.at(i).at(0));
        QCOMPARE(envelope.value("action").toString(), actions.at(i));
        const QJsonObject data = envelope.value("data").toObject();
        QCOMPARE(data.value("custom").toObject().value("info").toString(), QStringLiteral("syncslot"));
        QCOMPARE(data.contains("virtual"), actions.at(i) == QLatin1String("getRenderpoints"));
        QCOMPARE(envelope.contains("custom"), false);
    }
    if (syncActive) {
        QVERIFY(plugin->getProjectStatesRunning);
        QVERIFY(plugin->getProjectStatesTimer->isActive());
        QCOMPARE(plugin->getProjectStatesTimer->interval(), 120000);
    }
}

void TestPluginNetConnection::logLinesReachTheSharedLog()
{
    PluginNetConnection* plugin = newWiredPlugin();
    emit plugin->writeToLog(QStringLiteral("plug-in line for the shared log"), 0);
    m_settings->loginSlot(QStringLiteral("anna"), QStringLiteral("s3cret-pass"));
    plugin->loginSlot(QStringLiteral("anna"), QStringLiteral("s3cret-pass"));
    delete plugin;
    LogWriter::instance().close();

    QFile log(m_dir->filePath(QStringLiteral("logFile.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray content = log.readAll();
    QVERIFY(content.contains("plug-in line for the shared log"));
    QVERIFY(content.contains("makeRequest: login"));
    QVERIFY(!content.contains("s3cret-pass"));
}

void TestPluginNetConnection::exitWithoutSyncKeepsPlugin()
{
    QPointer<PluginNetConnection> plugin = newWiredPlugin();
    m_settings->syncActive = false;
    QSignalSpy exiting(plugin.data(), &PluginNetConnection::exitingSignal);
    plugin->exitApplicationSlot();
    QCOMPARE(exiting.count(), 1);
    QVERIFY(!plugin->exitTimer);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(plugin);
}

void TestPluginNetConnection::exitWithSyncDeletesPluginAfterASecond()
{
    QPointer<PluginNetConnection> plugin = newWiredPlugin();
    m_settings->syncActive = true;
    QSignalSpy exiting(plugin.data(), &PluginNetConnection::exitingSignal);
    plugin->exitApplicationSlot();
    QCOMPARE(exiting.count(), 1);
    QVERIFY(!m_settings->syncActive);
    QVERIFY(plugin->exitTimer);
    QCOMPARE(plugin->exitTimer->interval(), 1000);
    QVERIFY(plugin);
    QTRY_VERIFY_WITH_TIMEOUT(plugin.isNull(), 5000);
}

QTEST_MAIN(TestPluginNetConnection)
#include "tst_pluginnetconnection.moc"
