// A studio's account in the client: 10,000 jobs on the farm, 5,000 of them
// exported on this machine, and a burst of 100,000 state and progress events.
// The client (settings + plug-in) runs with the reference host's tray view,
// login keeper and printers connected as kitehost connects them; the farm
// simulator answers from a thread of its own, so that its work is not counted.
//
// Every figure is a ratio to a baseline measured in the same run:
//   start-up       loading the plug-in until the first projects poll reaches the
//                  farm, against reading the 5,000 cfg files whole;
//   first reply    the GUI thread's busy time for the first projects list (every
//                  job new) and all it sets off until the client is quiet again,
//                  against parsing that message with QJsonDocument::fromJson;
//   same reply     the same message once more, nothing changed;
//   events         100,000 "jobStateChange"/"getProgressInfos" messages, against
//                  parsing them;
//   memory         resident memory added per job.
// The longest single stall of the event loop in each phase is printed too.
//
//   bench_joblist [--jobs N] [--local N] [--events N] [--no-tray] [--log-level N]
//
// --no-tray leaves the host's tray view out, to tell its share from the
// plug-in's (the bounds are for the whole client).

#include "farmsimulator.h"
#include "jobmenuview.h"
#include "jobs/kiteproject.h"
#include "loginkeeper.h"
#include "net/kitewebsocketconnection.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMap>
#include <QVector>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <functional>
#include <limits>

#ifdef Q_OS_LINUX
#include <malloc.h>
#include <unistd.h>
#endif

namespace {

const QString kUser = QStringLiteral("studio");
const QString kPassword = QStringLiteral("studio-pass-1");
const QStringList kStates{QStringLiteral("QUEUED"), QStringLiteral("RENDERING"), QStringLiteral("RENDERED"),
                          QStringLiteral("PAUSED")};
constexpr int kPhaseTimeoutMs = 240000;
constexpr int kQuietMs = 1000;

QElapsedTimer g_clock;
qint64 nowNs()
{
    return g_clock.nsecsElapsed();
}

// A baseline is the fastest of five runs: a slow one (another process on the
// machine) must not make the client's figures look better than they are.
template <typename Work>
qint64 bestOf(Work work)
{
    qint64 best = std::numeric_limits<qint64>::max();
    for (int run = 0; run < 5; ++run) {
        const qint64 start = nowNs();
        work();
        best = qMin(best, nowNs() - start);
    }
    return best;
}

// Time spent handling events on the GUI thread: the sum of the top-level
// event deliveries, their longest one, and when the last one ended.
class BenchApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (QThread::currentThread() != thread() || receiver == ignored)
            return QApplication::notify(receiver, event);
        const bool top = m_depth++ == 0;
        const qint64 start = top ? nowNs() : 0;
        const bool result = QApplication::notify(receiver, event);
        if (--m_depth == 0 && top) {
            const qint64 end = nowNs();
            busyNs += end - start;
            longestNs = qMax(longestNs, end - start);
            lastBusyEndNs = end;
        }
        return result;
    }

    void resetPhase()
    {
        busyNs = 0;
        longestNs = 0;
        lastBusyEndNs = nowNs();
    }

    QObject* ignored = nullptr; // the benchmark's own polling timer
    qint64 busyNs = 0;
    qint64 longestNs = 0;
    qint64 lastBusyEndNs = 0;

private:
    int m_depth = 0;
};

qint64 residentBytes()
{
#ifdef Q_OS_LINUX
    malloc_trim(0);
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
#else
    return 0;
#endif
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

QString jobName(int i)
{
    return QStringLiteral("project%1").arg(i + 1, 5, 10, QLatin1Char('0'));
}

struct Figure
{
    const char* name;
    double value;    // ms, or KiB per job
    double baseline; // ms; 0 for absolute figures
    double bound;    // ratio (or KiB per job); 0: printed only
    bool timedOut = false;

    bool pass() const
    {
        if (timedOut)
            return false;
        if (bound <= 0)
            return true;
        return (baseline > 0 ? value / baseline : value) <= bound;
    }
};

class JobListBench : public QObject
{
public:
    JobListBench(BenchApplication& app, int jobs, int local, int events, bool tray, int logLevel)
        : m_app(app)
        , m_tray(tray)
        , m_logLevel(logLevel)
        , m_jobCount(jobs)
        , m_localCount(qMin(local, jobs))
        , m_eventCount(events)
    {
    }

    int run();

private:
    int measure();
    bool setUpFarm();
    bool writeLocalJobs();
    void startClient();
    // Runs the event loop until `done` holds and the GUI thread has been
    // quiet for kQuietMs; false on the time-out.
    bool waitQuiet(const std::function<bool()>& done);
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    template <typename F>
    void onFarm(F&& call)
    {
        QMetaObject::invokeMethod(m_farm, std::forward<F>(call), Qt::BlockingQueuedConnection);
    }
    int farmCount(const QString& action);
    // The requests the farm received since `from`, by action: "getOutputDir 1000, ...".
    QString requestsSince(int from);
    QStringList eventTexts();
    // The GUI thread's busy time for a bare QWebSocket that receives `texts`
    // and does nothing with them.
    qint64 bareReceiveNs(const QStringList& texts);
    void print(const Figure& figure, qint64 longestNs, const QString& extra = QString());
    // Starts a phase: the busy time and the answers' share count from now.
    void resetPhase()
    {
        m_app.resetPhase();
        m_answerNs = 0;
        m_pushedNs = 0;
        m_answers = 0;
    }
    // The phase's busy time without the answers, and what the answers took.
    qint64 ownBusyNs() const { return m_app.busyNs - m_answerNs; }
    QString answersText() const
    {
        return QStringLiteral("its messages handled in %1 ms; %2 answers to its requests handled apart in %3 ms (%4 us each)")
            .arg(ms(m_pushedNs), 0, 'f', 1)
            .arg(m_answers)
            .arg(ms(m_answerNs), 0, 'f', 1)
            .arg(m_answers ? double(m_answerNs) / 1000.0 / m_answers : 0.0, 0, 'f', 1);
    }

    BenchApplication& m_app;
    bool m_tray;
    int m_logLevel;
    int m_jobCount;
    int m_localCount;
    int m_eventCount;
    QTemporaryDir m_dir;
    QThread m_farmThread;
    FarmSimulator* m_farm = nullptr;
    KiteSettings* m_settings = nullptr;
    PluginNetConnection* m_plugin = nullptr;
    JobMenuView* m_menu = nullptr;
    LoginKeeper* m_keeper = nullptr;
    QFile m_null{QStringLiteral("/dev/null")};
    QTextStream m_out;
    std::atomic<qint64> m_firstPollNs{0};
    std::atomic<int> m_connectionsLost{0};
    QString m_projectsReply;
    qint64 m_answerNs = 0; // handling the answers to the client's requests
    qint64 m_pushedNs = 0; // handling the phase's own messages
    int m_answers = 0;
    bool m_eventsDone = false;
    int m_logins = 0;
    bool m_allPassed = true;
};

bool JobListBench::setUpFarm()
{
    m_farm = new FarmSimulator;
    FarmAccount account;
    account.user = kUser;
    account.password = kPassword;
    account.renderPoints = 100000;
    m_farm->accounts().insert(account);
    m_farm->setStorageRoot(m_dir.filePath(QStringLiteral("farm")));
    m_farm->setAutoRender(false);
    m_farm->moveToThread(&m_farmThread);
    m_farmThread.start();
    bool listening = false;
    onFarm([this, &listening] {
        m_farm->ensureUserState(kUser);
        for (int i = 0; i < m_jobCount; ++i)
            m_farm->addProject(kUser, jobName(i), kStates.at(i % kStates.size()));
        connect(m_farm, &FarmSimulator::messageReceived, m_farm,
                [this](int, const QString&, const QString& action) {
                    if (action == QLatin1String("getProjectStates") && m_firstPollNs == 0)
                        m_firstPollNs = nowNs();
                });
        connect(m_farm, &FarmSimulator::connectionClosed, m_farm, [this] { ++m_connectionsLost; });
        listening = m_farm->listen();
    });
    return listening;
}

bool JobListBench::writeLocalJobs()
{
    const QString userFolder = m_dir.filePath(QStringLiteral("projects/")) + kUser;
    if (!QDir().mkpath(userFolder + QStringLiteral("/tex")))
        return false;
    for (int i = 0; i < m_localCount; ++i) {
        const QString name = jobName(i);
        const QString cfg = QStringLiteral("renderer=vray\r\nprogram=max\r\nprio=2\r\n[files]\r\npaths=2\r\n"
                                           "path0=tex/wood%1.png\r\npathlocal0=%2/tex/wood%1.png\r\npathsize0=1\r\n"
                                           "path1=tex/sky.hdr\r\npathlocal1=%2/tex/sky.hdr\r\npathsize1=1\r\n"
                                           "[end]\r\nuploadfinished=true\r\nautostart=2\r\n"
                                           "downloadpath=%2/OrvelKite/Download/output/%3\r\n")
                                .arg(i % 50)
                                .arg(userFolder, name);
        QFile file(userFolder + QLatin1Char('/') + name + QStringLiteral(".cfg"));
        QFile scene(userFolder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(cfg.toUtf8()) < 0 || !scene.open(QIODevice::WriteOnly)
            || scene.write("s") != 1)
            return false;
    }
    return true;
}

void JobListBench::startClient()
{
    {
        QSettings ini(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("UserData/username"), kUser);
        ini.setValue(QStringLiteral("UserData/firstRunDone"), true);
        ini.setValue(QStringLiteral("Settings/logLevel"), m_logLevel);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), m_dir.filePath(QStringLiteral("projects")));
        ini.setValue(QStringLiteral("Network/serverWss"), m_farm->serverUrl().toString());
        ini.setValue(QStringLiteral("Network/serverWssTemplate"), m_farm->serverUrl().toString() + QStringLiteral("/%1"));
    }
    m_settings = new KiteSettings(this);
    m_settings->setApplicationDirectory(m_dir.path());
    m_settings->versionBuild = 100;
    connect(m_settings, &KiteSettings::loadPasswordSignal, this, [this] { m_settings->password = kPassword; });
    m_settings->load();

    m_plugin = new PluginNetConnection;
    m_plugin->setKiteSettings(m_settings);
    // What kitehost connects (host/kitehost.cpp): the jobs' requests, the
    // tray view, the notifications; the login keeper takes the login.
    QObject::connect(m_settings, SIGNAL(makeRequest(QString, QJsonObject, KiteProject*, QString)), m_plugin,
                     SLOT(makeRequest(QString, QJsonObject, KiteProject*, QString)));
    m_settings->websocketPingEnabled = true;
    if (m_tray) {
        m_menu = new JobMenuView(m_settings, m_out, this);
        QObject::connect(m_plugin, SIGNAL(buildRenderJobSubmenuSignal()), m_menu, SLOT(rebuild()));
    }
    connect(m_settings, &KiteSettings::showMessageSignal, this,
            [this](const QString& title, const QString& message, const QString& type, KiteProject*) {
                m_out << "notification [" << type << "] " << title << ": " << message << '\n';
            });
    connect(m_plugin, &PluginNetConnection::loginSuccessSignal, this, [this](int status) { m_logins += status == 0; });
    // Messages reach the plug-in through the benchmark, which tells the time
    // spent on the answers to the client's own requests from the rest: those
    // come as fast as the server answers the paced requests, and are shown
    // apart.
    QObject::disconnect(m_plugin->webSocketConnection, &KiteWebSocketConnection::parseJsonMessageSignal, m_plugin,
                        &PluginNetConnection::parseJsonMessageSlot);
    connect(m_plugin->webSocketConnection, &KiteWebSocketConnection::parseJsonMessageSignal, this,
            [this](const QString& message) {
                const bool projects = message.leftRef(40).contains(QLatin1String("\"getProjectStates\""));
                if (m_projectsReply.isEmpty() && projects)
                    m_projectsReply = message;
                const bool pushed = projects || message.contains(QLatin1String("\"bench\":true"));
                const qint64 start = nowNs();
                m_plugin->parseJsonMessageSlot(message);
                if (!pushed) {
                    m_answerNs += nowNs() - start;
                    ++m_answers;
                } else {
                    m_pushedNs += nowNs() - start;
                }
                if (message.contains(QLatin1String("\"benchDone\"")))
                    m_eventsDone = true;
            });
    m_keeper = new LoginKeeper(m_plugin, m_settings, m_out, this);
    m_keeper->login();
}

bool JobListBench::waitFor(const std::function<bool()>& done, int timeoutMs)
{
    // Blocks in the event loop; the poll timer (not counted as the client's
    // work) wakes it to look.
    QTimer poll;
    m_app.ignored = &poll;
    poll.start(50);
    QElapsedTimer waited;
    waited.start();
    bool finished = true;
    while (!done()) {
        if (waited.elapsed() > timeoutMs) {
            finished = false;
            break;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    m_app.ignored = nullptr;
    return finished;
}

qint64 JobListBench::bareReceiveNs(const QStringList& texts)
{
    QWebSocketServer* server = nullptr;
    quint16 port = 0;
    onFarm([&] {
        server = new QWebSocketServer(QStringLiteral("bench"), QWebSocketServer::NonSecureMode);
        if (server->listen(QHostAddress::LocalHost, 0))
            port = server->serverPort();
        QObject::connect(server, &QWebSocketServer::newConnection, server, [server, texts] {
            QWebSocket* peer = server->nextPendingConnection();
            peer->setParent(server);
            // Everything at once when the client asks, as the farm pushes it.
            QObject::connect(peer, &QWebSocket::textMessageReceived, peer, [peer, texts] {
                for (const QString& text : texts)
                    peer->sendTextMessage(text);
            });
        });
    });
    QWebSocket client;
    int received = 0;
    connect(&client, &QWebSocket::textMessageReceived, this, [&received] { ++received; });
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    waitFor([&client] { return client.state() == QAbstractSocket::ConnectedState; }, kPhaseTimeoutMs);
    m_app.resetPhase();
    client.sendTextMessage(QStringLiteral("go"));
    waitFor([&] { return received >= texts.size(); }, kPhaseTimeoutMs);
    const qint64 busy = m_app.busyNs;
    client.abort();
    onFarm([&] { delete server; });
    return busy;
}

bool JobListBench::waitQuiet(const std::function<bool()>& done)
{
    return waitFor([&] { return done() && nowNs() - m_app.lastBusyEndNs > qint64(kQuietMs) * 1000000; },
                   kPhaseTimeoutMs);
}

int JobListBench::farmCount(const QString& action)
{
    int count = 0;
    onFarm([&] { count = m_farm->receivedCount(action); });
    return count;
}

QString JobListBench::requestsSince(int from)
{
    QMap<QString, int> counts;
    onFarm([&] {
        const QVector<FarmReceivedMessage> received = m_farm->receivedMessages();
        for (int i = from; i < received.size(); ++i)
            ++counts[received.at(i).action];
    });
    QStringList parts;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        parts << it.key() + QLatin1Char(' ') + QString::number(it.value());
    return parts.isEmpty() ? QStringLiteral("no requests") : QStringLiteral("requests: ") + parts.join(QStringLiteral(", "));
}

QStringList JobListBench::eventTexts()
{
    QStringList ids;
    onFarm([&] {
        for (int i = 0; i < m_jobCount; ++i)
            ids << m_farm->project(kUser, jobName(i))->id;
    });
    // Each job reports its state; a rendering job's progress moves on with
    // every report of it, the others' stays. The "bench" member marks the
    // pushed events apart from the answers to the client's own requests.
    QRandomGenerator random(4711);
    QStringList texts;
    texts.reserve(m_eventCount);
    QVector<int> reports(m_jobCount, 0);
    for (int e = 0; e < m_eventCount; ++e) {
        const int i = int(random.bounded(m_jobCount));
        const QString state = kStates.at(i % kStates.size());
        QJsonObject message;
        if (e % 2 == 0) {
            message = QJsonObject{{QStringLiteral("action"), QStringLiteral("jobStateChange")},
                                  {QStringLiteral("bench"), true},
                                  {QStringLiteral("data"), QJsonObject{{QStringLiteral("jobid"), ids.at(i)},
                                                                       {QStringLiteral("state"), state}}}};
        } else {
            int progress = 0;
            if (state == QLatin1String("RENDERING"))
                progress = qMin(99, 10 * ++reports[i]);
            else if (state == QLatin1String("RENDERED"))
                progress = 100;
            else if (state == QLatin1String("PAUSED"))
                progress = 40;
            const QJsonObject data{{QStringLiteral("State"), state},       {QStringLiteral("started"), QStringLiteral("1")},
                                   {QStringLiteral("engines"), QStringLiteral("4")}, {QStringLiteral("ispaid"), QStringLiteral("1")},
                                   {QStringLiteral("paused"), false},       {QStringLiteral("progress"), QString::number(progress)}};
            message = QJsonObject{{QStringLiteral("action"), QStringLiteral("getProgressInfos")},
                                  {QStringLiteral("bench"), true},
                                  {QStringLiteral("data"), data},
                                  {QStringLiteral("custom"), QJsonObject{{QStringLiteral("scene"), jobName(i)}}}};
        }
        texts << QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    }
    return texts;
}

void JobListBench::print(const Figure& figure, qint64 longestNs, const QString& extra)
{
    const bool pass = figure.pass();
    m_allPassed = m_allPassed && pass;
    QString line = QStringLiteral("%1: ").arg(QLatin1String(figure.name), -22);
    if (figure.timedOut) {
        line += QStringLiteral("more than %1 s").arg(kPhaseTimeoutMs / 1000);
    } else if (figure.baseline > 0) {
        line += QStringLiteral("%1 ms = %2 x baseline").arg(figure.value, 0, 'f', 1).arg(figure.value / figure.baseline, 0, 'f', 2);
        if (figure.bound > 0)
            line += QStringLiteral(" (bound %1 x)").arg(figure.bound, 0, 'f', 0);
    } else {
        line += QStringLiteral("%1 KiB per job (bound %2 KiB)").arg(figure.value, 0, 'f', 2).arg(figure.bound, 0, 'f', 0);
    }
    if (longestNs >= 0)
        line += QStringLiteral(", longest stall %1 ms").arg(ms(longestNs), 0, 'f', 1);
    if (!extra.isEmpty())
        line += QStringLiteral(", ") + extra;
    std::printf("%s  %s\n", qPrintable(line), figure.bound > 0 ? (pass ? "PASS" : "FAIL") : "");
    std::fflush(stdout);
}

int JobListBench::run()
{
    const int result = measure();
    if (m_keeper)
        m_keeper->stop();
    if (m_farm)
        onFarm([this] { delete m_farm; });
    m_farm = nullptr;
    m_farmThread.quit();
    m_farmThread.wait();
    delete m_plugin;
    m_plugin = nullptr;
    LogWriter::instance().close();
    std::printf("bench_joblist: %s\n", result == 0 ? "all bounds met" : "FAILED");
    return result;
}

int JobListBench::measure()
{
    m_null.open(QIODevice::WriteOnly);
    m_out.setDevice(&m_null);
    if (!m_dir.isValid() || !setUpFarm() || !writeLocalJobs()) {
        std::fprintf(stderr, "bench_joblist: cannot set up the farm or the local jobs\n");
        return 1;
    }
    std::printf("bench_joblist: %d server jobs (%s), %d of them exported locally, %d events%s\n", m_jobCount,
                qPrintable(kStates.join(QStringLiteral("/"))), m_localCount, m_eventCount,
                m_tray ? "" : ", without the host's tray view");

    // Baseline of the start-up: the cfg files read whole.
    const QString userFolder = m_dir.filePath(QStringLiteral("projects/")) + kUser;
    qint64 cfgBytes = 0;
    const double readMs = ms(bestOf([&] {
        cfgBytes = 0;
        for (int i = 0; i < m_localCount; ++i) {
            QFile cfg(userFolder + QLatin1Char('/') + jobName(i) + QStringLiteral(".cfg"));
            if (cfg.open(QIODevice::ReadOnly))
                cfgBytes += cfg.readAll().size();
        }
    }));
    std::printf("baseline: %d cfg files read whole (%lld bytes) in %.1f ms\n", m_localCount, cfgBytes, readMs);

    const qint64 rssBefore = residentBytes();

    // Start-up: until the first projects poll reaches the farm. The farm
    // holds its answer back until the client has settled.
    onFarm([this] { m_farm->setUnanswered(QStringLiteral("getProjectStates")); });
    m_app.resetPhase();
    const qint64 startNs = nowNs();
    startClient();
    // Without local jobs there is nothing to scan: the client polls when the
    // host asks it to.
    bool finished = m_localCount == 0 || waitFor([this] { return m_firstPollNs != 0; }, kPhaseTimeoutMs);
    if (m_localCount > 0)
        print({"start-up to first poll", ms(m_firstPollNs - startNs), readMs, 30, !finished}, m_app.longestNs);
    resetPhase();
    if (!finished || !waitQuiet([] { return true; }))
        return 1;

    // The first projects reply and everything it sets off: the client polls
    // again (its sync), and this time the farm answers.
    onFarm([this] { m_farm->setUnanswered(QStringLiteral("getProjectStates"), false); });
    resetPhase();
    qint64 phaseStart = nowNs();
    int requestsBefore = farmCount(QString());
    m_plugin->syncSlot();
    finished = waitQuiet([this] { return !m_projectsReply.isEmpty(); });
    const qint64 firstBusy = ownBusyNs();
    const QString firstAnswers = answersText();
    const qint64 firstLongest = m_app.longestNs;
    const qint64 firstWall = m_app.lastBusyEndNs - phaseStart;
    const QString firstRequests = requestsSince(requestsBefore);
    // The farm's record of what it received is not the client's memory.
    onFarm([this] { m_farm->clearReceivedMessages(); });
    const qint64 rssAfter = residentBytes();
    if (m_projectsReply.isEmpty()) {
        std::printf("first projects reply: none within %d s  FAIL\n", kPhaseTimeoutMs / 1000);
        return 1;
    }
    const QByteArray replyBytes = m_projectsReply.toUtf8();
    QJsonDocument parsed;
    const qint64 parseNs = bestOf([&] { parsed = QJsonDocument::fromJson(replyBytes); });
    std::printf("baseline: the projects reply (%d bytes, %d jobs) parsed in %.1f ms\n", int(replyBytes.size()),
                parsed.object().value(QStringLiteral("data")).toObject().value(QStringLiteral("projects")).toArray().size(),
                ms(parseNs));
    print({"first projects reply", ms(firstBusy), ms(parseNs), 30, !finished}, firstLongest,
          QStringLiteral("quiet after %1 s, %2; %3").arg(ms(firstWall) / 1000, 0, 'f', 1).arg(firstRequests, firstAnswers));
    if (!finished)
        return 1;

    // The same reply again: nothing changed.
    resetPhase();
    phaseStart = nowNs();
    requestsBefore = farmCount(QString());
    onFarm([this] { m_farm->pushRawToUser(kUser, m_projectsReply); });
    finished = waitQuiet([] { return true; });
    print({"same reply again", ms(ownBusyNs()), ms(parseNs), 3, !finished}, m_app.longestNs,
          requestsSince(requestsBefore) + QStringLiteral("; ") + answersText());
    if (!finished)
        return 1;

    // The burst of events.
    const QStringList texts = eventTexts();
    const qint64 eventParseNs = bestOf([&] {
        for (const QString& text : texts)
            QJsonDocument::fromJson(text.toUtf8());
    });
    std::printf("baseline: %d event messages parsed in %.1f ms\n", int(texts.size()), ms(eventParseNs));
    resetPhase();
    phaseStart = nowNs();
    requestsBefore = farmCount(QString());
    QMetaObject::invokeMethod(m_farm, [this, texts] {
        for (const QString& text : texts)
            m_farm->pushRawToUser(kUser, text);
        m_farm->pushRawToUser(kUser, QStringLiteral("{\"action\":\"benchDone\",\"bench\":true}"));
    });
    finished = waitQuiet([this] { return m_eventsDone; });
    print({"events", ms(ownBusyNs()), ms(eventParseNs), 5, !finished}, m_app.longestNs,
          QStringLiteral("quiet after %1 s, %2; %3")
              .arg(ms(m_app.lastBusyEndNs - phaseStart) / 1000, 0, 'f', 1)
              .arg(requestsSince(requestsBefore), answersText()));

    // For reference: the floor under any client built on QWebSocket.
    const qint64 bareNs = bareReceiveNs(texts);
    std::printf("%-24s%.1f ms = %.2f x baseline (no bound), the same messages received by a bare QWebSocket\n",
                "for reference:", ms(bareNs), double(bareNs) / double(eventParseNs));

    print({"memory", double(rssAfter - rssBefore) / 1024.0 / m_jobCount, 0, 12}, -1);
    const bool oneLogin = m_logins == m_connectionsLost + 1;
    m_allPassed = m_allPassed && oneLogin;
    std::printf("%-24sconnections lost %d, logins %d  %s\n", "logins:", int(m_connectionsLost), m_logins,
                oneLogin ? "PASS" : "FAIL");

    return m_allPassed ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    g_clock.start();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    BenchApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("kite.*.debug=false\nkite.debug=false"));
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption jobs(QStringLiteral("jobs"), QStringLiteral("Jobs on the farm."), QStringLiteral("N"),
                                  QStringLiteral("10000"));
    const QCommandLineOption local(QStringLiteral("local"), QStringLiteral("Jobs exported locally."),
                                   QStringLiteral("N"), QStringLiteral("5000"));
    const QCommandLineOption events(QStringLiteral("events"), QStringLiteral("State and progress events."),
                                    QStringLiteral("N"), QStringLiteral("100000"));
    const QCommandLineOption noTray(QStringLiteral("no-tray"), QStringLiteral("Leave the host's tray view out."));
    const QCommandLineOption logLevel(QStringLiteral("log-level"), QStringLiteral("The client's log level."),
                                      QStringLiteral("N"), QString::number(KiteConstants::DefaultLogLevel));
    parser.addOptions({jobs, local, events, noTray, logLevel});
    parser.process(app);
    JobListBench bench(app, qMax(1, parser.value(jobs).toInt()), qMax(0, parser.value(local).toInt()),
                       qMax(0, parser.value(events).toInt()), !parser.isSet(noTray), parser.value(logLevel).toInt());
    return bench.run();
}
