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

private:
    static QProcessEnvironment environment(const QString& home);
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

QTEST_GUILESS_MAIN(TestKiteHost)
#include "tst_kitehost.moc"
