#include "farmsimulator.h"
#include "loginkeeper.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// Runs the reference host as a separate process, the way a user does.
class TestKiteHost : public QObject
{
    Q_OBJECT

private slots:
    void probeFindsThePlugin();
    void probeWithoutPluginFails();
    void runsAndExitsAfterTheGivenTime();
    void terminationSignalShutsDown();
    void logsInAndAgainAfterALoss();
    void refusedLoginIsShown();
    void retryDelayGrowsToAMinute_data();
    void retryDelayGrowsToAMinute();

private:
    static QProcessEnvironment environment(const QString& home);
    // Gives the simulator the account "demo" with `password` and listens.
    static bool listenWithAccount(FarmSimulator& sim, const QString& password);
    // Writes settings.ini for a client of `sim` and starts the host on it.
    static void startHost(QProcess& host, const QTemporaryDir& app, const QTemporaryDir& home,
                          const FarmSimulator& sim, const QString& password);
};

QProcessEnvironment TestKiteHost::environment(const QString& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), home);
    return env;
}

void TestKiteHost::probeFindsThePlugin()
{
    QTemporaryDir home;
    QProcess host;
    host.setProcessEnvironment(environment(home.path()));
    host.start(QStringLiteral(KITEHOST_PATH), {QStringLiteral("--probe")});
    QVERIFY(host.waitForFinished(60000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);

    const QList<QByteArray> lines = host.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    QJsonParseError error{};
    const QJsonObject report = QJsonDocument::fromJson(lines.first(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(report.value("className").toString(), QStringLiteral("PluginNetConnection"));
    QCOMPARE(report.value("pluginVersion").toInt(), 18);
    QVERIFY(report.value("iid").toString().endsWith(QLatin1String(".Qt.Kite.PluginNetConnectionInterface")));
    QVERIFY(report.value("file").toString().endsWith(QLatin1String("libPluginNetConnection.so")));
}

void TestKiteHost::probeWithoutPluginFails()
{
    QTemporaryDir home;
    QTemporaryDir emptyPlugins;
    // A library that is not the plug-in must not be taken for it.
    QVERIFY(QFile::copy(QStringLiteral(KITESHARED_PATH), emptyPlugins.filePath(QStringLiteral("libOther.so"))));
    QProcess host;
    host.setProcessEnvironment(environment(home.path()));
    host.start(QStringLiteral(KITEHOST_PATH),
               {QStringLiteral("--probe"), QStringLiteral("--plugin-dir"), emptyPlugins.path()});
    QVERIFY(host.waitForFinished(60000));
    QCOMPARE(host.exitCode(), 1);
    QVERIFY(host.readAllStandardOutput().isEmpty());
    QVERIFY(host.readAllStandardError().contains("no plug-in with the interface"));
}

void TestKiteHost::runsAndExitsAfterTheGivenTime()
{
    QTemporaryDir home;
    QTemporaryDir app;
    const QString projects = app.filePath(QStringLiteral("projects"));
    QVERIFY(QDir().mkpath(projects));
    {
        QSettings ini(app.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), projects);
        ini.setValue(QStringLiteral("Settings/logLevel"), 4);
    }
    QProcess host;
    QProcessEnvironment env = environment(home.path());
    env.insert(QStringLiteral("KITE_PASSWORD"), QStringLiteral("host-secret"));
    host.setProcessEnvironment(env);
    host.start(QStringLiteral(KITEHOST_PATH),
               {QStringLiteral("--app-dir"), app.path(), QStringLiteral("--exit-after"), QStringLiteral("0.2")});
    QVERIFY(host.waitForFinished(60000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);

    const QByteArray out = host.readAllStandardOutput();
    QVERIFY2(out.contains("version 18 running"), out.constData());
    QVERIFY2(out.contains("signal exitingSignal()"), out.constData());
    QVERIFY(QFile::exists(projects + QStringLiteral("/di2_orv_refresh.txt")));

    QFile log(app.filePath(QStringLiteral("logFile.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logText = log.readAll();
    QVERIFY(logText.contains("exitApplicationSlot"));
    QVERIFY(!logText.contains("host-secret"));
    QVERIFY(!out.contains("host-secret"));
}

void TestKiteHost::terminationSignalShutsDown()
{
    QTemporaryDir home;
    QTemporaryDir app;
    {
        QSettings ini(app.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), app.filePath(QStringLiteral("projects")));
    }
    QProcess host;
    host.setProcessEnvironment(environment(home.path()));
    host.start(QStringLiteral(KITEHOST_PATH), {QStringLiteral("--app-dir"), app.path()});
    QVERIFY(host.waitForStarted(30000));
    QByteArray seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains("running"), 60000);
    host.terminate(); // SIGTERM to the process this test started
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
}

bool TestKiteHost::listenWithAccount(FarmSimulator& sim, const QString& password)
{
    FarmAccount account;
    account.user = QStringLiteral("demo");
    account.password = password;
    sim.accounts().insert(account);
    return sim.listen();
}

void TestKiteHost::startHost(QProcess& host, const QTemporaryDir& app, const QTemporaryDir& home,
                             const FarmSimulator& sim, const QString& password)
{
    {
        QSettings ini(app.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("UserData/username"), QStringLiteral("demo"));
        ini.setValue(QStringLiteral("UserData/firstRunDone"), true);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), app.filePath(QStringLiteral("projects")));
        ini.setValue(QStringLiteral("Network/serverWss"), sim.serverUrl().toString());
    }
    QDir().mkpath(app.filePath(QStringLiteral("projects")));
    QProcessEnvironment env = environment(home.path());
    env.insert(QStringLiteral("KITE_PASSWORD"), password);
    host.setProcessEnvironment(env);
    host.start(QStringLiteral(KITEHOST_PATH),
               {QStringLiteral("--app-dir"), app.path(), QStringLiteral("--retry-base-ms"), QStringLiteral("50")});
}

void TestKiteHost::logsInAndAgainAfterALoss()
{
    FarmSimulator sim;
    QVERIFY(listenWithAccount(sim, QStringLiteral("demo-pw")));

    QTemporaryDir home;
    QTemporaryDir app;
    QProcess host;
    startHost(host, app, home, sim, QStringLiteral("demo-pw"));
    QByteArray seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains("kitehost: login ok"), 30000);
    QCOMPARE(sim.receivedCount(QStringLiteral("login")), 1);

    // The server drops the connection; the host logs in again by itself.
    sim.closeUserConnections(QStringLiteral("demo"));
    QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains("connection lost, logging in again"),
                             30000);
    QTRY_COMPARE_WITH_TIMEOUT(sim.receivedCount(QStringLiteral("login")), 2, 30000);
    QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).count("kitehost: login ok") == 2, 30000);

    host.terminate();
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.exitCode(), 0);
    QVERIFY(!seen.contains("demo-pw"));
}

void TestKiteHost::refusedLoginIsShown()
{
    FarmSimulator sim;
    QVERIFY(listenWithAccount(sim, QStringLiteral("right")));

    QTemporaryDir home;
    QTemporaryDir app;
    QProcess host;
    startHost(host, app, home, sim, QStringLiteral("wrong"));
    QByteArray seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains("kitehost: login refused"), 30000);
    host.terminate();
    QVERIFY(host.waitForFinished(30000));
}

void TestKiteHost::retryDelayGrowsToAMinute_data()
{
    QTest::addColumn<int>("attempt");
    QTest::addColumn<double>("jitter");
    QTest::addColumn<int>("expected");

    QTest::newRow("first") << 0 << 0.0 << 1000;
    QTest::newRow("second") << 1 << 0.0 << 2000;
    QTest::newRow("sixth") << 5 << 0.0 << 32000;
    QTest::newRow("capped") << 6 << 0.0 << 60000;
    QTest::newRow("far beyond stays capped") << 40 << 0.0 << 60000;
    QTest::newRow("full jitter adds a quarter") << 1 << 1.0 << 2500;
}

void TestKiteHost::retryDelayGrowsToAMinute()
{
    QFETCH(int, attempt);
    QFETCH(double, jitter);
    QFETCH(int, expected);
    QCOMPARE(LoginKeeper::retryDelay(attempt, LoginKeeper::firstRetryMs, LoginKeeper::maxRetryMs, jitter), expected);
}

QTEST_GUILESS_MAIN(TestKiteHost)
#include "tst_kitehost.moc"
