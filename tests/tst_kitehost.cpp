#include "farmsimulator.h"
#include "jobmenuview.h"
#include "jobs/kiteproject.h"
#include "loginkeeper.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Counts the entries a menu gains and loses.
class MenuChangeCounter : public QObject
{
public:
    explicit MenuChangeCounter(QMenu* menu) { menu->installEventFilter(this); }
    int added = 0;
    int removed = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        added += event->type() == QEvent::ActionAdded;
        removed += event->type() == QEvent::ActionRemoved;
        return QObject::eventFilter(watched, event);
    }
};

QStringList texts(const QList<QAction*>& actions)
{
    QStringList list;
    for (const QAction* action : actions)
        list << action->text();
    return list;
}
} // namespace

// Runs the reference host as a separate process, the way a user does; its
// job menu also in this process.
class TestKiteHost : public QObject
{
    Q_OBJECT

private slots:
    void probeFindsThePlugin_data();
    void probeFindsThePlugin();
    void probeWithoutPluginFails();
    void runsAndExitsAfterTheGivenTime_data();
    void runsAndExitsAfterTheGivenTime();
    void terminationSignalShutsDown();
    void logsInAndAgainAfterALoss();
    void refusedLoginIsShown();
    void retryDelayGrowsToAMinute_data();
    void retryDelayGrowsToAMinute();
    void jobMenuFollowsTheJobList();

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
    // What the host prints must not depend on the caller's logging rules.
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    return env;
}

void TestKiteHost::probeFindsThePlugin_data()
{
    QTest::addColumn<bool>("display");
    QTest::newRow("offscreen platform") << true;
    QTest::newRow("no display at all") << false;
}

void TestKiteHost::probeFindsThePlugin()
{
    QFETCH(bool, display);
    QTemporaryDir home;
    QProcessEnvironment env = environment(home.path());
    if (!display) {
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
    }
    QProcess host;
    host.setProcessEnvironment(env);
    host.start(QStringLiteral(KITEHOST_PATH), {QStringLiteral("--probe")});
    QVERIFY(host.waitForFinished(60000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());

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

void TestKiteHost::runsAndExitsAfterTheGivenTime_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("signalLines");
    QTest::addColumn<bool>("debugLines");
    QTest::newRow("quiet") << QStringList() << false << false;
    QTest::newRow("--trace-signals") << QStringList{QStringLiteral("--trace-signals")} << true << false;
    QTest::newRow("--verbose") << QStringList{QStringLiteral("--verbose")} << false << true;
}

void TestKiteHost::runsAndExitsAfterTheGivenTime()
{
    QFETCH(QStringList, options);
    QFETCH(bool, signalLines);
    QFETCH(bool, debugLines);
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
    // Debug lines name their category.
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{category}: %{message}"));
    host.setProcessEnvironment(env);
    host.start(QStringLiteral(KITEHOST_PATH), QStringList{QStringLiteral("--app-dir"), app.path(),
                                                          QStringLiteral("--exit-after"), QStringLiteral("0.2")}
                                                  + options);
    QVERIFY(host.waitForFinished(60000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);

    const QByteArray out = host.readAllStandardOutput();
    const QByteArray err = host.readAllStandardError();
    QVERIFY2(out.contains("version 18 running"), out.constData());
    QVERIFY2(out.contains("kitehost: shutting down"), out.constData());
    QCOMPARE(out.contains("signal exitingSignal()"), signalLines);
    QCOMPARE(QRegularExpression(QStringLiteral("(^|\n)kite\\.[a-z.]+: ")).match(QString::fromUtf8(err)).hasMatch(),
             debugLines);
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

void TestKiteHost::jobMenuFollowsTheJobList()
{
    KiteSettings settings;
    QString printed;
    QTextStream out(&printed);
    JobMenuView view(&settings, out);
    QMenu* menu = view.menu();
    MenuChangeCounter changes(menu);
    QSignalSpy updates(&view, &JobMenuView::updated);
    auto addJob = [&settings](const QString& name) {
        auto* job = new KiteProject(&settings, name, QString(), &settings);
        settings.jobList << job;
        return job;
    };
    // A burst of signals, as during a pass over all jobs, and what it printed.
    auto burst = [&] {
        for (int i = 0; i < 500; ++i)
            view.rebuild();
        const int before = updates.size();
        const int from = printed.size();
        if (!updates.wait(10000))
            return QStringLiteral("no update");
        QCoreApplication::processEvents();
        return updates.size() == before + 1 ? printed.mid(from) : QStringLiteral("more than one update");
    };

    KiteProject* a = addJob(QStringLiteral("a"));
    KiteProject* b = addJob(QStringLiteral("b"));
    KiteProject* c = addJob(QStringLiteral("c"));
    a->jobAction->setText(QStringLiteral("a QUEUED"));
    QCOMPARE(burst(), QStringLiteral("job: a QUEUED\njob: b\njob: c\n"));
    QCOMPARE(view.updateCount(), 1);
    QCOMPARE(texts(menu->actions()), (QStringList{"a QUEUED", "b", "c"}));

    // Changed jobs print their latest line once, new ones join at the end;
    // unchanged entries stay where they are.
    b->jobAction->setText(QStringLiteral("b UPLOADING 10%"));
    b->jobAction->setText(QStringLiteral("b UPLOADING 20%"));
    b->jobAction->setIcon(QIcon());
    c->jobAction->setText(QStringLiteral("c RENDERING (5%)"));
    KiteProject* d = addJob(QStringLiteral("d"));
    KiteProject* e = addJob(QStringLiteral("e"));
    QCOMPARE(burst(), QStringLiteral("job: b UPLOADING 20%\njob: c RENDERING (5%)\njob: d\njob: e\n"));
    QCOMPARE(menu->actions(), (QList<QAction*>{a->jobAction, b->jobAction, c->jobAction, d->jobAction, e->jobAction}));
    QCOMPARE(changes.added, 5);
    QCOMPARE(changes.removed, 0);

    // A job deleted locally leaves the menu; a change of a job that is not
    // its status line prints nothing.
    b->isDeletedLocal = true;
    b->jobAction->setVisible(false);
    e->jobAction->setEnabled(false);
    QCOMPARE(burst(), QString());
    QCOMPARE(texts(menu->actions()), (QStringList{"a QUEUED", "c RENDERING (5%)", "d", "e"}));
    QCOMPARE(changes.removed, 1);
    QCOMPARE(view.updateCount(), 3);

    // Every listed job has its sub-menu when the menu is about to show.
    emit menu->aboutToShow();
    for (const QAction* action : menu->actions())
        QVERIFY(action->menu() && !action->menu()->actions().isEmpty());
}

QTEST_MAIN(TestKiteHost)
#include "tst_kitehost.moc"
