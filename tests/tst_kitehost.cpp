#include "farmsimulator.h"
#include "jobmenuview.h"
#include "jobs/kiteproject.h"
#include "loginkeeper.h"
#include "settings/kitesettings.h"
#include "support/testfiles.h"

#include <QAction>
#include <QtTest>

namespace {
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
    void runsAndExitsAfterTheGivenTime_data();
    void runsAndExitsAfterTheGivenTime();
    void logsInAndAgainAfterALoss_data();
    void logsInAndAgainAfterALoss();
    void retryDelayGrowsToAMinute_data();
    void retryDelayGrowsToAMinute();
    void jobMenuFollowsTheJobList();
    void commandsReachThePlugin_data();
    void commandsReachThePlugin();
    void pausedTransfersResumeAtTheirByte();

private:
    static QProcessEnvironment environment(const QString& home);
    // Gives the simulator the account "demo" with `password` and listens.
    static bool listenWithAccount(FarmSimulator& sim, const QString& password);
    // Writes settings.ini for a client of `sim` and starts the host on it.
    static void startHost(QProcess& host, const QTemporaryDir& app, const QTemporaryDir& home,
                          const FarmSimulator& sim, const QString& password, const QStringList& extra = {});
    // Writes the job `name` of user "demo" (its cfg, scene package `sceneBytes`
    // long, preview and one texture) into the projects folder; returns its files.
    static QStringList writeJob(const QString& projects, const QString& name, int sceneBytes);
    // Writes `line` to the host's command channel and returns its answer line.
    static QByteArray command(QProcess& host, QByteArray& seen, const QByteArray& line);
};

QProcessEnvironment TestKiteHost::environment(const QString& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The test's own platform: offscreen here, Windows' own under Wine (where
    // offscreen does not start).
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QGuiApplication::platformName());
    env.insert(QStringLiteral("HOME"), home);
    // What the host prints must not depend on the caller's logging rules.
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    return env;
}

void TestKiteHost::probeFindsThePlugin_data()
{
    QTest::addColumn<bool>("display");
    QTest::addColumn<bool>("pluginThere");
    QTest::newRow("offscreen platform") << true << true;
    QTest::newRow("no display at all") << false << true;
    QTest::newRow("only a library that is not the plug-in") << true << false;
}

void TestKiteHost::probeFindsThePlugin()
{
    QFETCH(bool, display);
    QFETCH(bool, pluginThere);
    QTemporaryDir home;
    QTemporaryDir otherPlugins;
    QProcessEnvironment env = environment(home.path());
    if (!display) {
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
    }
    QStringList args{QStringLiteral("--probe")};
    if (!pluginThere) {
        QVERIFY(QFile::copy(QStringLiteral(KITESHARED_PATH), otherPlugins.filePath(QStringLiteral("Other.") + QFileInfo(QStringLiteral(PLUGIN_PATH)).suffix())));
        args << QStringLiteral("--plugin-dir") << otherPlugins.path();
    }
    QProcess host;
    host.setProcessEnvironment(env);
    host.start(QStringLiteral(KITEHOST_PATH), args, QIODevice::ReadWrite | QIODevice::Text);
    QVERIFY(host.waitForFinished(60000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    if (!pluginThere) {
        QCOMPARE(host.exitCode(), 1);
        QVERIFY(host.readAllStandardOutput().isEmpty());
        QVERIFY(host.readAllStandardError().contains("no plug-in with the interface"));
        return;
    }
    QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());

    const QList<QByteArray> lines = host.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    QJsonParseError error{};
    const QJsonObject report = QJsonDocument::fromJson(lines.first(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(report.value("className").toString(), QStringLiteral("PluginNetConnection"));
    QCOMPARE(report.value("pluginVersion").toInt(), 18);
    QVERIFY(report.value("iid").toString().endsWith(QLatin1String(".Qt.Kite.PluginNetConnectionInterface")));
    QCOMPARE(QFileInfo(report.value("file").toString()).fileName(), QFileInfo(QStringLiteral(PLUGIN_PATH)).fileName());
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
                                                  + options,
               QIODevice::ReadWrite | QIODevice::Text);
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

bool TestKiteHost::listenWithAccount(FarmSimulator& sim, const QString& password)
{
    FarmAccount account;
    account.user = QStringLiteral("demo");
    account.password = password;
    sim.accounts().insert(account);
    return sim.listen();
}

void TestKiteHost::startHost(QProcess& host, const QTemporaryDir& app, const QTemporaryDir& home,
                             const FarmSimulator& sim, const QString& password, const QStringList& extra)
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
               QStringList{QStringLiteral("--app-dir"), app.path(), QStringLiteral("--retry-base-ms"),
                           QStringLiteral("50")}
                   + extra,
               QIODevice::ReadWrite | QIODevice::Text); // Windows ends the host's lines in CR LF
}

void TestKiteHost::logsInAndAgainAfterALoss_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("the account's password") << QStringLiteral("demo-pw");
    QTest::newRow("a wrong one") << QStringLiteral("other-pw-31");
}

// Logged in, and again after the server dropped the connection; a refused
// login is shown. SIGTERM ends the host cleanly.
void TestKiteHost::logsInAndAgainAfterALoss()
{
    QFETCH(QString, password);
    const bool right = password == QLatin1String("demo-pw");
    FarmSimulator sim;
    QVERIFY(listenWithAccount(sim, QStringLiteral("demo-pw")));
    QTemporaryDir home;
    QTemporaryDir app;
    QProcess host;
    startHost(host, app, home, sim, password);
    QByteArray seen;
    const QByteArray outcome = right ? "kitehost: login ok" : "kitehost: login refused";
    QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains(outcome), 30000);
    if (right) {
        QCOMPARE(sim.receivedCount(QStringLiteral("login")), 1);
        // The tray's sync after each login asks for the account's render points.
        QTRY_COMPARE_WITH_TIMEOUT(sim.receivedCount(QStringLiteral("getRenderpoints")), 1, 30000);
        sim.closeUserConnections(QStringLiteral("demo"));
        QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains("connection lost, logging in again"),
                                 30000);
        QTRY_COMPARE_WITH_TIMEOUT(sim.receivedCount(QStringLiteral("login")), 2, 30000);
        QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).count("kitehost: login ok") == 2, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(sim.receivedCount(QStringLiteral("getRenderpoints")), 2, 30000);
    }
    host.terminate();
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.exitCode(), 0);
    QVERIFY(!seen.contains(password.toUtf8()));
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

    // What the menu lists when it opens; it holds the entries only while
    // it is open.
    auto opened = [menu] {
        emit menu->aboutToShow();
        const QList<QAction*> listed = menu->actions();
        emit menu->aboutToHide();
        const bool letGo = QTest::qWaitFor([menu] { return menu->actions().isEmpty(); }, 5000);
        return letGo ? listed : QList<QAction*>();
    };

    KiteProject* a = addJob(QStringLiteral("a"));
    KiteProject* b = addJob(QStringLiteral("b"));
    KiteProject* c = addJob(QStringLiteral("c"));
    a->jobAction->setText(QStringLiteral("a QUEUED"));
    QCOMPARE(burst(), QStringLiteral("job: a QUEUED\njob: b\njob: c\n"));
    QCOMPARE(view.updateCount(), 1);
    QCOMPARE(texts(opened()), (QStringList{"a QUEUED", "b", "c"}));

    // Changed jobs print their latest line once, new ones join at the end;
    // unchanged entries stay where they are.
    b->jobAction->setText(QStringLiteral("b UPLOADING 10%"));
    b->jobAction->setText(QStringLiteral("b UPLOADING 20%"));
    b->jobAction->setIcon(QIcon());
    c->jobAction->setText(QStringLiteral("c RENDERING (5%)"));
    KiteProject* d = addJob(QStringLiteral("d"));
    KiteProject* e = addJob(QStringLiteral("e"));
    QCOMPARE(burst(), QStringLiteral("job: b UPLOADING 20%\njob: c RENDERING (5%)\njob: d\njob: e\n"));
    QCOMPARE(opened(), (QList<QAction*>{a->jobAction, b->jobAction, c->jobAction, d->jobAction, e->jobAction}));

    // A job deleted locally leaves the menu; a change of a job that is not
    // its status line prints nothing.
    b->isDeletedLocal = true;
    b->jobAction->setVisible(false);
    e->jobAction->setEnabled(false);
    QCOMPARE(burst(), QString());
    QCOMPARE(texts(opened()), (QStringList{"a QUEUED", "c RENDERING (5%)", "d", "e"}));

    // While the menu is open it follows the list; every listed job has its
    // sub-menu; a job that goes away leaves the list.
    emit menu->aboutToShow();
    for (const QAction* action : menu->actions())
        QVERIFY(action->menu() && !action->menu()->actions().isEmpty());
    KiteProject* f = addJob(QStringLiteral("f"));
    d->isDeletedLocal = true;
    d->jobAction->setText(QStringLiteral("d DELETED"));
    QCOMPARE(burst(), QStringLiteral("job: d DELETED\njob: f\n"));
    QCOMPARE(texts(menu->actions()), (QStringList{"a QUEUED", "c RENDERING (5%)", "e", "f"}));
    emit menu->aboutToHide();
    delete c;
    QCOMPARE(texts(opened()), (QStringList{"a QUEUED", "e", "f"}));
    f->jobAction->setText(QStringLiteral("f QUEUED"));
    QCOMPARE(burst(), QStringLiteral("job: f QUEUED\n"));

    // Thousands of jobs: a change anywhere is printed, a job gone anywhere
    // leaves the list.
    QList<KiteProject*> many;
    for (int i = 0; i < 1500; ++i)
        many << addJob(QStringLiteral("m%1").arg(i));
    QCOMPARE(burst().count(QLatin1Char('\n')), 1500);
    many.at(1400)->jobAction->setText(QStringLiteral("m1400 QUEUED"));
    many.at(3)->jobAction->setText(QStringLiteral("m3 QUEUED"));
    QCOMPARE(burst(), QStringLiteral("job: m1400 QUEUED\njob: m3 QUEUED\n"));
    delete many.takeAt(1000);
    const QList<QAction*> listed = opened();
    QCOMPARE(listed.size(), 3 + 1499);
    QCOMPARE(listed.at(3 + 999)->text(), QStringLiteral("m999"));
    QCOMPARE(listed.at(3 + 1000)->text(), QStringLiteral("m1001"));
}

QStringList TestKiteHost::writeJob(const QString& projects, const QString& name, int sceneBytes)
{
    const QString dir = projects + QStringLiteral("/demo/");
    const QStringList files{dir + name + ".cfg", dir + name, dir + name + ".jpg", dir + "tex/wood.png"};
    const QList<int> sizes{sceneBytes, 2000, 3000};
    for (int i = 0; i < sizes.size(); ++i)
        TestFiles::writeFile(files.at(i + 1), TestFiles::randomBytes(sizes.at(i), quint32(i + 1)));
    TestFiles::writeFile(files.first(), QStringLiteral("renderer=vray\r\nprogram=max\r\nautostart=1\r\n[files]\r\npaths=1\r\n"
                                                       "path0=tex/wood.png\r\npathlocal0=%1\r\npathsize0=3000\r\n")
                                            .arg(files.last()).toUtf8());
    return files;
}

QByteArray TestKiteHost::command(QProcess& host, QByteArray& seen, const QByteArray& line)
{
    seen += host.readAllStandardOutput();
    const int from = seen.size();
    host.write(line + '\n');
    QByteArray answer;
    (void)QTest::qWaitFor(
        [&] {
            seen += host.readAllStandardOutput();
            const QByteArray tail = '\n' + seen.mid(from);
            for (const char* head : {"\nok ", "\nerror: "}) {
                const int start = tail.indexOf(head);
                const int end = start < 0 ? -1 : tail.indexOf('\n', start + 1);
                if (end > 0)
                    answer = tail.mid(start + 1, end - start - 1);
            }
            return !answer.isEmpty();
        },
        60000);
    return answer;
}

void TestKiteHost::commandsReachThePlugin_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("answer");  // how the answer starts
    QTest::addColumn<QString>("request");    // a request the farm then receives
    QTest::addColumn<QByteArray>("printed"); // a line the host then prints
    QTest::addColumn<bool>("jobFilesKept");
    const auto row = [](const char* name, const char* line, const char* answer, const char* request = "",
                        const char* printed = "", bool kept = true) {
        QTest::newRow(name) << QByteArray(line) << QByteArray(answer) << QString::fromLatin1(request)
                            << QByteArray(printed) << kept;
    };
    row("tunnel on", "tunnel on", "ok tunnel on", "sshInfo");
    row("check-updates", "check-updates", "ok check-updates", "autoupdate");
    row("upload-logs", "upload-logs", "ok upload-logs: log files sent", "sendFile");
    row("open-link", "open-link https://portal.example/pay", "ok open-link", "getUserToken",
        "open: https://portal.example/pay?rl_token=***&kiteId=");
    row("delete, answered no", "action shot 'Delete Job...' --answer no", "ok \"Delete Job...\" of job \"shot\", asked");
    row("delete, answered yes", "action \"shot\" delete job --answer yes",
        "ok \"Delete Job...\" of job \"shot\", asked", "", "", false);
    row("delete without an answer", "action shot Delete Job...", "error: \"Delete Job...\" of job \"shot\" refused");
    row("unknown command", "pause shot", "error: unknown command \"pause\"; commands: help, jobs, action");
    row("unknown job", "action \"sho t\" Pause upload", "error: no job \"sho t Pause upload\"; jobs: \"shot\"");
    row("unknown action", "action shot Pause everything",
        "error: job \"shot\" has no action \"Pause everything\"; actions: Open download folder");
}

// Each command, as the tray would give it, reaches the plug-in; a command it
// cannot carry out is answered with an error and changes nothing.
void TestKiteHost::commandsReachThePlugin()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, answer);
    QFETCH(QString, request);
    QFETCH(QByteArray, printed);
    QFETCH(bool, jobFilesKept);
    FarmSimulator sim;
    QVERIFY(listenWithAccount(sim, QStringLiteral("demo-pw")));
    QTemporaryDir home;
    QTemporaryDir app;
    {
        QSettings ini(app.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Network/proxyHttpPassword"), QStringLiteral("proxy-secret"));
    }
    const QStringList files = writeJob(app.filePath(QStringLiteral("projects")), QStringLiteral("shot"), 5000);
    QProcess host;
    // Without a stand-in uploader the job's upload stays idle, and it may still be deleted.
    startHost(host, app, home, sim, QStringLiteral("demo-pw"), {QStringLiteral("--no-desktop")});
    QByteArray seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains("job: shot UPLOAD IDLE"), 60000);
    const QByteArray jobsBefore = command(host, seen, "jobs");
    QVERIFY2(jobsBefore.startsWith("ok 1 job; \"shot\": shot") && jobsBefore.contains("Delete Job..."),
             jobsBefore.constData());

    const int before = request.isEmpty() ? 0 : sim.receivedCount(request);
    const QByteArray answered = command(host, seen, line);
    QVERIFY2(answered.startsWith(answer), answered.constData());
    if (!request.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(sim.receivedCount(request) > before, 30000);
    if (!printed.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains(printed), 30000);
    if (request == QLatin1String("sendFile")) {
        QTRY_VERIFY_WITH_TIMEOUT(sim.receivedFiles(QStringLiteral("demo")).size() >= 2, 30000);
        bool settingsSent = false;
        for (const FarmReceivedFile& file : sim.receivedFiles(QStringLiteral("demo"))) {
            QVERIFY(!file.content.contains("proxy-secret") && !file.content.contains("demo-pw"));
            settingsSent = settingsSent || (file.fileName == QLatin1String("settings.ini")
                                            && file.content.contains("proxyHttpPassword"));
        }
        QVERIFY(settingsSent);
    }
    for (const QString& file : files)
        QVERIFY2(QFile::exists(file) == jobFilesKept, qPrintable(file));
    const QByteArray jobsAfter = command(host, seen, "jobs");
    if (answered.startsWith("error: "))
        QCOMPARE(jobsAfter, jobsBefore);
    else if (!jobFilesKept)
        QCOMPARE(jobsAfter, QByteArray("ok 0 jobs"));

    // End of input changes nothing; "quit" ends the host.
    QCOMPARE(command(host, seen, "quit"), QByteArray("ok quit: shutting down"));
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.exitCode(), 0);
    seen += host.readAllStandardOutput();
    QVERIFY(!seen.contains("demo-pw") && !seen.contains("proxy-secret"));
    for (const QString& token : sim.issuedTokens(QStringLiteral("demo")))
        QVERIFY(!seen.contains(token.toUtf8()));
}

// An upload and a download paused mid-file through the command channel go on
// from the byte they had reached, and the files arrive whole.
void TestKiteHost::pausedTransfersResumeAtTheirByte()
{
    FarmSimulator sim;
    QTemporaryDir farm;
    sim.setStorageRoot(farm.path());
    sim.setRenderPace(100);
    sim.setFrameCount(2);
    QVERIFY(listenWithAccount(sim, QStringLiteral("demo-pw")));
    QTemporaryDir home;
    QTemporaryDir app;
    const QStringList files = writeJob(app.filePath(QStringLiteral("projects")), QStringLiteral("shot"), 6 << 20);
    // Output larger than a copy step, there before the job renders.
    const QString farmOutput = sim.outputDir(QStringLiteral("demo"), QStringLiteral("shot"));
    QVERIFY(QDir().mkpath(farmOutput) && QFile::copy(files.at(1), farmOutput + QStringLiteral("/big.exr")));
    QProcess host;
    startHost(host, app, home, sim, QStringLiteral("demo-pw"),
              {QStringLiteral("--no-desktop"), QStringLiteral("--farm-storage"), farm.path(),
               QStringLiteral("--upload-pace-ms"), QStringLiteral("60"), QStringLiteral("--download-pace-ms"),
               QStringLiteral("60")});
    QByteArray seen;
    const QString farmScene = sim.uploadDir(QStringLiteral("demo")) + QStringLiteral("/shot");
    QString localBig;
    const auto findLocalBig = [&] {
        QDirIterator it(app.path(), {QStringLiteral("big.exr")}, QDir::Files, QDirIterator::Subdirectories);
        localBig = it.hasNext() ? it.next() : QString();
        return QFileInfo(localBig).size() >= (1 << 20);
    };
    // The upload's file on the farm, the download's file here.
    const std::function<QString()> file[] = {[&] { return farmScene; }, [&] { return localBig; }};
    const std::function<bool()> midway[] = {[&] { return QFileInfo(farmScene).size() >= (1 << 20); }, findLocalBig};
    for (int download = 0; download < 2; ++download) {
        const QByteArray action = download ? "Pause download" : "Pause upload";
        const QByteArray resumedAt = download ? "resumed at byte " : "from byte ";
        QVERIFY2(QTest::qWaitFor(midway[download], 120000), action.constData());
        QVERIFY(command(host, seen, "action shot \"" + action + '"').startsWith("ok \"" + action));
        const QByteArray stopped = download ? "downloader: shot: stopped" : "uploader: shot: stopped";
        QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains(stopped), 30000);
        const qint64 reached = QFileInfo(file[download]()).size();
        QVERIFY(reached > 0 && reached < (6 << 20));
        const int from = seen.size();
        // Resumed, each goes on by itself (the render is over: no farm event
        // would bring the download back).
        QVERIFY(command(host, seen, "action shot '" + action + "'").startsWith("ok"));
        const bool resumed = QTest::qWaitFor(
            [&] { return (seen += host.readAllStandardOutput()).indexOf(resumedAt, from) > 0; }, 60000);
        QVERIFY2(resumed, seen.mid(from).constData());
        QCOMPARE(seen.mid(seen.indexOf(resumedAt, from)).split('\n').first(), resumedAt + QByteArray::number(reached));
    }
    QTRY_VERIFY_WITH_TIMEOUT((seen += host.readAllStandardOutput()).contains("job: shot DOWNLOADED (100%)"), 120000);
    for (const QString& pair : {farmScene + '|' + files.at(1), localBig + '|' + farmOutput + "/big.exr"}) {
        QFile a(pair.section('|', 0, 0));
        QFile b(pair.section('|', 1, 1));
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY2(a.readAll() == b.readAll(), qPrintable(pair));
    }
    host.closeWriteChannel();
    host.terminate();
    QVERIFY(host.waitForFinished(30000));
    QCOMPARE(host.exitCode(), 0);
}

QTEST_MAIN(TestKiteHost)
#include "tst_kitehost.moc"
