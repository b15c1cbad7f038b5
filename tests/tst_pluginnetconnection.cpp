#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/offlineclient.h"
#include "support/testfiles.h"

#include <QtTest>

#include <memory>

extern "C" QObject* qt_plugin_instance();

// The plug-in object as the host sees it: its entry points, its wiring,
// timers and exit.
class TestPluginNetConnection : public QObject
{
    Q_OBJECT

    std::unique_ptr<OfflineClient> m_client;

private slots:
    void init() { m_client = std::make_unique<OfflineClient>(); }
    void cleanup() { m_client.reset(); }

    void entryPointsAndMetadata()
    {
        // The metadata of the built module, read without loading it, as a host does.
        const QString module = QStringLiteral(PLUGIN_PATH);
        QVERIFY2(QFile::exists(module), qPrintable(module));
        const QJsonObject meta = QPluginLoader(module).metaData();
        QVERIFY(meta.value("IID").toString().endsWith(QLatin1String(".Qt.Kite.PluginNetConnectionInterface")));
        QCOMPARE(meta.value("IID").toString(), QStringLiteral(PluginNetConnectionInterface_iid));
        QCOMPARE(meta.value("className").toString(), QStringLiteral("PluginNetConnection"));

        QObject* first = qt_plugin_instance();
        QVERIFY(first && !first->parent());
        QCOMPARE(qt_plugin_instance(), first);
        auto* plugin = qobject_cast<PluginNetConnectionInterface*>(first);
        QVERIFY(plugin);
        QCOMPARE(plugin->getObject(), first);
        delete first;
        QObject* second = qt_plugin_instance();
        QVERIFY(second);
        delete second;
    }

    void setKiteSettingsWiresPingMarkerAndLog()
    {
        const QString marker = m_client->projectsFolder() + QStringLiteral("/di2_orv_refresh.txt");
        QVERIFY(TestFiles::writeFile(marker, "stale content"));
        m_client->settings->pingInterval = 45;
        auto plugin = std::make_unique<PluginNetConnection>();
        plugin->setKiteSettings(m_client->settings);
        QVERIFY(plugin->pingTimer && plugin->pingTimer->isActive() && !plugin->pingTimer->isSingleShot());
        QCOMPARE(plugin->pingTimer->interval(), 45000);
        QCOMPARE(QFileInfo(marker).size(), 0);

        // Its log lines reach the shared log; the password never does.
        disconnect(plugin.get(), &PluginNetConnection::webSocketMessageSignal, nullptr, nullptr);
        emit plugin->writeToLog(QStringLiteral("plug-in line for the shared log"), 0);
        m_client->settings->loginSlot("anna", "s3cret-pass");
        plugin->loginSlot("anna", "s3cret-pass");
        const QString log = m_client->logText();
        QVERIFY(log.contains(QLatin1String("plug-in line for the shared log")));
        QVERIFY(log.contains(QLatin1String("makeRequest: login")));
        QVERIFY(!log.contains(QLatin1String("s3cret-pass")));
    }

    void pingPeriod_data()
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
    void pingPeriod()
    {
        QFETCH(bool, loggedIn);
        QFETCH(bool, pingEnabled);
        QFETCH(bool, muted);
        QFETCH(int, framePings);
        QFETCH(int, requests);
        m_client->settings->loggedIn = loggedIn;
        m_client->settings->websocketPingEnabled = pingEnabled;
        m_client->settings->pingRequestsMuted = muted;
        QSignalSpy frames(m_client->plugin, &PluginNetConnection::websocketPingSignal);
        m_client->plugin->pingTimerSlot();
        QCOMPARE(frames.count(), framePings);
        QVERIFY(m_client->sent("ping").size() == requests && m_client->sent().size() == requests);
    }

    void syncSendsThreeRequestsInOrder_data()
    {
        QTest::addColumn<bool>("syncActive");
        QTest::addColumn<QStringList>("actions");
        QTest::newRow("sync active") << true << QStringList{"getProjectStates", "getUserInfo", "getRenderpoints"};
        QTest::newRow("sync inactive holds the project states") << false << QStringList{"getUserInfo", "getRenderpoints"};
    }
    void syncSendsThreeRequestsInOrder()
    {
        QFETCH(bool, syncActive);
        QFETCH(QStringList, actions);
        PluginNetConnection* plugin = m_client->plugin;
        m_client->settings->syncActive = syncActive;
        plugin->getProjectStatesRunning = true; // a stale outstanding poll must not block the sync
        emit m_client->settings->syncSignal();

        const QList<QJsonObject> sent = m_client->sent();
        QCOMPARE(sent.size(), actions.size());
        for (int i = 0; i < actions.size(); ++i) {
            QCOMPARE(sent.at(i).value("action").toString(), actions.at(i));
            const QJsonObject data = sent.at(i).value("data").toObject();
            QCOMPARE(data.value("custom").toObject().value("info").toString(), QStringLiteral("syncslot"));
            QCOMPARE(data.contains("virtual"), actions.at(i) == QLatin1String("getRenderpoints"));
            QVERIFY(!sent.at(i).contains("custom"));
        }
        QCOMPARE(plugin->getProjectStatesRunning, syncActive);
        QCOMPARE(plugin->getProjectStatesTimer->isActive(), syncActive);
    }

    void exit_data()
    {
        QTest::addColumn<bool>("syncActive");
        QTest::newRow("no sync: the plug-in stays") << false;
        QTest::newRow("sync active: the plug-in goes a second later") << true;
    }
    void exit()
    {
        QFETCH(bool, syncActive);
        QPointer<PluginNetConnection> plugin = m_client->plugin;
        m_client->settings->syncActive = syncActive;
        QSignalSpy exiting(plugin.data(), &PluginNetConnection::exitingSignal);
        plugin->exitApplicationSlot();
        QCOMPARE(exiting.count(), 1);
        QVERIFY(!m_client->settings->syncActive);
        QCOMPARE(bool(plugin->exitTimer), syncActive);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(plugin);
        if (!syncActive)
            return;
        QCOMPARE(plugin->exitTimer->interval(), 1000);
        QTRY_VERIFY_WITH_TIMEOUT(plugin.isNull(), 5000);
        m_client->plugin = nullptr; // gone by itself
    }
};

QTEST_MAIN(TestPluginNetConnection)
#include "tst_pluginnetconnection.moc"
