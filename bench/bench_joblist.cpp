// A studio's account in the client: 10,000 jobs on the farm, 5,000 of them
// exported on this machine, and a burst of 100,000 state and progress events.
// The client (settings + plug-in) runs with the reference host's tray view,
// login keeper and printers connected as kitehost connects them; the farm
// simulator answers from a thread of its own, so that its work is not counted.
//
// Every figure is a ratio to a baseline measured in the same run:
//   start-up       loading the plug-in until the first projects poll reaches the
//                  farm, against reading the 5,000 cfg files whole;
//   first list     the GUI thread's busy time for the first projects list (every
//                  job new) and all it sets off - the requests it makes and the
//                  farm's answers to them - until the client has been quiet for
//                  a while, against parsing that message with
//                  QJsonDocument::fromJson; the file work alone that its new
//                  jobs set off is printed beside it for reference;
//   second list    the same message once more (the jobs' first look at their
//                  output is over by now);
//   third list     the same once more: nothing changed, so no request either;
//   events         100,000 "jobStateChange"/"getProgressInfos" messages, against
//                  parsing them;
//   memory         resident memory added per job.
// The pings below are the benchmark's probe, not the client's work: what
// answering one costs the idle client is measured, and the phases' busy time
// is printed whole and counted less that cost for every ping answered.
// What a user feels is the pause: during each phase the farm pings the client
// (a WebSocket ping, answered by the client's event loop) as soon as it has
// answered the last one. The longest wait for a pong, less the farm's own work
// while it waited (the farm thread's busy time: building a list, answering
// requests), is the phase's pause, bounded by 100 ms beyond the parse of the
// largest message of the phase. The raw wait, the farm's longest event and
// how late the GUI thread's loop came to a 5 ms timer are printed beside it.
// The requests each phase set off are printed by action.
//
//   bench_joblist [--jobs N] [--local N] [--events N] [--no-tray] [--log-level N]
//                 [--phase-timeout S]
//
// --no-tray leaves the host's tray view out, to tell its share from the
// plug-in's (the bounds are for the whole client).

#include "benchapplication.h"
#include "farmsimulator.h"
#include "jobmenuview.h"
#include "jobs/kiteproject.h"
#include "loginkeeper.h"
#include "net/inboundqueue.h"
#include "net/kitewebsocketconnection.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
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

namespace {

const QString kUser = QStringLiteral("studio");
const QString kPassword = QStringLiteral("studio-pass-1");
const QStringList kStates{QStringLiteral("QUEUED"), QStringLiteral("RENDERING"), QStringLiteral("RENDERED"),
                          QStringLiteral("PAUSED")};
constexpr int kDefaultPhaseTimeoutMs = 300000;
constexpr int kQuietMs = 1500;
constexpr double kPauseBeyondParseMs = 100;
constexpr int kPingGapMs = 10;
constexpr int kPushChunk = 500; // events the farm pushes between two looks at its socket

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
    double pauseMs = -1;      // the longest wait for a pong; < 0: not measured
    double pauseBoundMs = 0;  // 0: printed only
    int requests = -1;        // requests set off; < 0: not bounded
    int requestBound = 0;

    bool pass() const
    {
        if (timedOut)
            return false;
        if (pauseBoundMs > 0 && pauseMs > pauseBoundMs)
            return false;
        if (requests > requestBound)
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
    void setPhaseTimeout(int seconds) { m_phaseTimeoutMs = seconds * 1000; }

private:
    int measure();
    void measureEvents();
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
    // The file work alone that a new job's first output listing sets off
    // (its output folder, its shortcut, a look into the folder, a line in its
    // cfg), done for `jobs` jobs in a plain loop.
    qint64 newJobFilesNs(int jobs);
    void print(const Figure& figure, const QString& extra = QString());
    // The raw waits behind the phase's pause.
    QString waitsText() const;
    // Starts a phase: the busy time and the pauses count from now.
    void resetPhase()
    {
        // A ping that waited for the benchmark's own work between the phases
        // is answered first.
        waitFor([] { return false; }, 5 * kPingGapMs + 50);
        m_app.resetPhase();
        m_longestWaitNs = 0;
        m_longestPauseNs = 0;
        m_longestPauseBacklog = 0;
        m_app.farm.longestNs = 0;
        m_loopLateNs = 0;
        m_lastTickNs = nowNs();
    }
    // The longest the GUI thread's event loop came late to a 5 ms timer.
    QTimer m_tick;
    qint64 m_lastTickNs = 0;
    qint64 m_loopLateNs = 0;
    // The farm pings the client again kPingGapMs after each pong.
    void startPinging();
    // Runs a phase: `push` sets it off; waits until the client is quiet.
    // Fills the figure's busy time and pause; returns the requests set off.
    // `handled`: the phase's own messages have all reached the client; the
    // busy time until they are handled as well is printed apart.
    QString runPhase(Figure& figure, const std::function<void()>& push, const std::function<bool()>& done,
                     const std::function<bool()>& handled);
    std::function<bool()> m_handled;
    qint64 m_handledNs = -1;
    int m_benchEventsReceived = 0;
    int m_listsReceived = 0;

    BenchApplication& m_app;
    bool m_tray;
    int m_logLevel;
    int m_jobCount;
    int m_localCount;
    int m_eventCount;
    int m_phaseTimeoutMs = kDefaultPhaseTimeoutMs; // a phase not over by then fails
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
    // The longest wait for a pong, and the longest of those waits less the
    // farm's own work meanwhile: the client's pause.
    std::atomic<qint64> m_longestWaitNs{0};
    std::atomic<qint64> m_longestPauseNs{0};
    std::atomic<int> m_farmReceived{0}; // messages the farm received
    // Pongs so far, and what answering one ping costs the idle client: the
    // probe's own cost, taken out of the phases' busy time.
    std::atomic<int> m_pongs{0};
    qint64 m_pingCostNs = 0;
    int m_pongsAtHandled = 0;
    QTimer* m_pingTimer = nullptr; // lives on the farm's thread
    qint64 m_pingSentNs = 0;       // used on the farm's thread only
    qint64 m_pingFarmBusyNs = 0;   // the farm's busy time when the ping went
    qint64 m_pingBacklog = 0;      // what the farm still had to send then
    std::atomic<qint64> m_longestPauseBacklog{0};
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
    m_app.farmThread = &m_farmThread;
    m_farmThread.start();
    m_tick.setTimerType(Qt::PreciseTimer);
    m_tick.setInterval(5);
    m_app.lateTimer = &m_tick;
    connect(&m_tick, &QTimer::timeout, this, [this] {
        const qint64 now = nowNs();
        m_loopLateNs = qMax(m_loopLateNs, now - m_lastTickNs - 5000000);
        m_lastTickNs = now;
    });
    m_tick.start();
    bool listening = false;
    onFarm([this, &listening] {
        m_farm->ensureUserState(kUser);
        for (int i = 0; i < m_jobCount; ++i)
            m_farm->addProject(kUser, jobName(i), kStates.at(i % kStates.size()));
        connect(m_farm, &FarmSimulator::messageReceived, m_farm,
                [this](int, const QString&, const QString& action) {
                    ++m_farmReceived;
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
    // The benchmark keeps a copy of the first projects list and notes the
    // end of the burst; the messages reach the plug-in as they do in the host.
    connect(m_plugin->webSocketConnection, &KiteWebSocketConnection::parseJsonMessageSignal, this,
            [this](const QString& message) {
                const QStringRef head = message.leftRef(40);
                if (head.contains(QLatin1String("\"bench\""))) {
                    ++m_benchEventsReceived;
                } else if (head.contains(QLatin1String("\"getProjectStates\""))) {
                    ++m_listsReceived;
                    if (m_projectsReply.isEmpty())
                        m_projectsReply = message;
                }
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

qint64 JobListBench::newJobFilesNs(int jobs)
{
    const QString root = m_dir.filePath(QStringLiteral("file-work"));
    QDir().mkpath(root + QStringLiteral("/links"));
    const qint64 start = nowNs();
    for (int i = 0; i < jobs; ++i) {
        const QString folder = root + QLatin1Char('/') + jobName(i);
        QDir().mkpath(folder);
        QFile::link(folder, root + QStringLiteral("/links/") + jobName(i));
        QDir(folder).entryList(QDir::Files);
        QFile cfg(folder + QStringLiteral(".cfg"));
        if (cfg.open(QIODevice::Append))
            cfg.write("localDownloadDirCustom=" + folder.toUtf8() + "\r\n");
    }
    const qint64 took = nowNs() - start;
    QDir(root).removeRecursively();
    return took;
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
    waitFor([&client] { return client.state() == QAbstractSocket::ConnectedState; }, m_phaseTimeoutMs);
    m_app.resetPhase();
    client.sendTextMessage(QStringLiteral("go"));
    waitFor([&] { return received >= texts.size(); }, m_phaseTimeoutMs);
    const qint64 busy = m_app.gui.busyNs;
    client.abort();
    onFarm([&] { delete server; });
    return busy;
}

bool JobListBench::waitQuiet(const std::function<bool()>& done)
{
    // Quiet: no work on the GUI thread and no request reaching the farm for
    // kQuietMs (the farm's answers to the paced requests keep it busy).
    // The farm's count is read without waiting for the farm's thread, which
    // would hold the GUI thread while the farm works.
    int requests = m_farmReceived;
    qint64 lastRequestNs = nowNs();
    return waitFor(
        [&] {
            const int now = m_farmReceived;
            if (now != requests) {
                requests = now;
                lastRequestNs = nowNs();
            }
            const qint64 last = qMax(m_app.gui.lastEndNs, lastRequestNs);
            if (m_handledNs < 0 && m_handled && m_handled() && m_plugin->inboundQueue->isIdle()) {
                m_handledNs = m_app.gui.busyNs;
                m_pongsAtHandled = m_pongs;
            }
            return done() && nowNs() - last > qint64(kQuietMs) * 1000000;
        },
        m_phaseTimeoutMs);
}

void JobListBench::startPinging()
{
    onFarm([this] {
        m_pingTimer = new QTimer(m_farm);
        m_pingTimer->setSingleShot(true);
        m_pingTimer->setInterval(kPingGapMs);
        connect(m_pingTimer, &QTimer::timeout, m_farm, [this] {
            m_pingSentNs = nowNs();
            m_pingFarmBusyNs = m_app.farm.busyNs;
            m_pingBacklog = m_farm->bytesToWriteTo(kUser);
            if (m_farm->pingUser(kUser) == 0)
                m_pingTimer->start();
        });
        connect(m_farm, &FarmSimulator::pongReceived, m_farm, [this](const QString&, quint64) {
            // The farm's work while the pong waited - building and sending a
            // list, answering requests - is counted out: a busy farm is not a
            // client that does not answer.
            const qint64 now = nowNs();
            const qint64 wait = now - m_pingSentNs;
            const qint64 farmShare = m_app.farm.busyNs - m_pingFarmBusyNs + (now - m_app.farm.startNs);
            const qint64 pause = qMax<qint64>(0, wait - farmShare);
            if (wait > m_longestWaitNs)
                m_longestWaitNs = wait;
            if (pause > m_longestPauseNs) {
                m_longestPauseNs = pause;
                m_longestPauseBacklog = m_pingBacklog;
            }
            ++m_pongs;
            m_pingTimer->start();
        });
        m_pingTimer->start();
    });
}

QString JobListBench::runPhase(Figure& figure, const std::function<void()>& push, const std::function<bool()>& done,
                               const std::function<bool()>& handled)
{
    resetPhase();
    m_handled = handled;
    m_handledNs = -1;
    const int requestsBefore = farmCount(QString());
    const int pongsBefore = m_pongs;
    const qint64 start = nowNs();
    push();
    figure.timedOut = !waitQuiet(done);
    const int pongs = m_pongs - pongsBefore;
    figure.value = ms(m_app.gui.busyNs - pongs * m_pingCostNs);
    figure.pauseMs = ms(m_longestPauseNs);
    const QString requests = requestsSince(requestsBefore);
    // The message(s) handled, before the answers to the requests they set
    // off: the share that is not the paced follow-up traffic.
    const double handledMs = ms(m_handledNs - (m_pongsAtHandled - pongsBefore) * m_pingCostNs);
    const QString own = m_handledNs < 0 || figure.baseline <= 0
                            ? QString()
                            : QStringLiteral("%1 ms = %2 x handling the message(s) themselves, ")
                                  .arg(handledMs, 0, 'f', 1)
                                  .arg(handledMs / figure.baseline, 0, 'f', 2);
    m_handled = nullptr;
    return QStringLiteral("busy %1 ms less %2 pings answered, %3%4, longest event %5 ms, quiet after %6 s, %7")
        .arg(ms(m_app.gui.busyNs), 0, 'f', 1)
        .arg(pongs)
        .arg(own, waitsText())
        .arg(ms(m_app.gui.longestNs), 0, 'f', 1)
        .arg(ms(m_app.gui.lastEndNs - start) / 1000, 0, 'f', 1)
        .arg(requests);
}

QString JobListBench::waitsText() const
{
    return QStringLiteral("pong waited %1 ms (the farm's longest event %2 ms; %3 KiB still to send ahead of the "
                          "ping of the longest pause), loop late %4 ms")
        .arg(ms(m_longestWaitNs), 0, 'f', 0)
        .arg(ms(m_app.farm.longestNs), 0, 'f', 0)
        .arg(m_longestPauseBacklog / 1024)
        .arg(ms(m_loopLateNs), 0, 'f', 0);
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
    QHash<QString, int> looks; // "getOutputDir" per job
    onFarm([&] {
        const QVector<FarmReceivedMessage> received = m_farm->receivedMessages();
        for (int i = from; i < received.size(); ++i) {
            ++counts[received.at(i).action];
            if (received.at(i).action == QLatin1String("getOutputDir"))
                ++looks[received.at(i).object.value(QStringLiteral("data")).toObject().value(QStringLiteral("scene")).toString()];
        }
    });
    int mostLooks = 0;
    for (int n : qAsConst(looks))
        mostLooks = qMax(mostLooks, n);
    QStringList parts;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        parts << it.key() + QLatin1Char(' ') + QString::number(it.value());
    if (mostLooks > 0)
        parts << QStringLiteral("(%1 jobs' output asked, at most %2 times each)").arg(looks.size()).arg(mostLooks);
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

void JobListBench::print(const Figure& figure, const QString& extra)
{
    const bool pass = figure.pass();
    m_allPassed = m_allPassed && pass;
    QString line = QStringLiteral("%1: ").arg(QLatin1String(figure.name), -22);
    if (figure.timedOut) {
        line += QStringLiteral("more than %1 s").arg(m_phaseTimeoutMs / 1000);
    } else if (figure.baseline > 0) {
        line += QStringLiteral("%1 ms = %2 x baseline").arg(figure.value, 0, 'f', 1).arg(figure.value / figure.baseline, 0, 'f', 2);
        if (figure.bound > 0)
            line += QStringLiteral(" (bound %1 x)").arg(figure.bound, 0, 'f', 0);
    } else {
        line += QStringLiteral("%1 KiB per job (bound %2 KiB)").arg(figure.value, 0, 'f', 2).arg(figure.bound, 0, 'f', 0);
    }
    if (figure.pauseMs >= 0) {
        line += QStringLiteral(", longest pause %1 ms").arg(figure.pauseMs, 0, 'f', 0);
        if (figure.pauseBoundMs > 0)
            line += QStringLiteral(" (bound %1 ms)").arg(figure.pauseBoundMs, 0, 'f', 0);
    }
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

// The burst of events, pushed in chunks so that the farm looks at its
// socket (the pongs) in between.
void JobListBench::measureEvents()
{
    const QStringList texts = eventTexts();
    const qint64 eventParseNs = bestOf([&] {
        for (const QString& text : texts)
            QJsonDocument::fromJson(text.toUtf8());
    });
    std::printf("baseline: %d event messages parsed in %.1f ms\n", int(texts.size()), ms(eventParseNs));
    std::atomic<bool> pushed{texts.isEmpty()};
    Figure events{"events", 0, ms(eventParseNs), 5};
    events.pauseBoundMs = kPauseBeyondParseMs;
    // Each chunk is pushed from a zero timer of the farm's thread, so that its
    // event loop looks at its sockets (the pongs) and timers (the next ping)
    // between two chunks; posted all at once, the chunks would be sent in one
    // go and the farm's own backlog would count as the client's pause.
    auto pushFrom = std::make_shared<std::function<void(int)>>();
    *pushFrom = [this, &texts, &pushed, pushFrom](int from) {
        for (int i = from; i < qMin(from + kPushChunk, int(texts.size())); ++i)
            m_farm->pushRawToUser(kUser, texts.at(i));
        if (from + kPushChunk >= texts.size()) {
            pushed = true;
            *pushFrom = nullptr; // (the function no longer holds itself)
            return;
        }
        QTimer::singleShot(0, m_farm, [pushFrom, from] { (*pushFrom)(from + kPushChunk); });
    };
    const QString eventsText =
        runPhase(events, [this, pushFrom] { onFarm([pushFrom] { (*pushFrom)(0); }); }, [&pushed] { return bool(pushed); },
                 [this, &texts] { return m_benchEventsReceived >= texts.size(); });
    print(events, eventsText);

    // For reference: the floor under any client built on QWebSocket.
    const qint64 bareNs = bareReceiveNs(texts);
    std::printf("%-24s%.1f ms = %.2f x baseline (no bound), longest event %.1f ms: the same messages received by a "
                "bare QWebSocket\n",
                "for reference:", ms(bareNs), double(bareNs) / double(eventParseNs), ms(m_app.gui.longestNs));
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
    startPinging();
    resetPhase();
    const qint64 startNs = nowNs();
    startClient();
    // Without local jobs there is nothing to scan: the client polls when the
    // host asks it to.
    bool finished = m_localCount == 0 || waitFor([this] { return m_firstPollNs != 0; }, m_phaseTimeoutMs);
    if (m_localCount > 0)
        print({"start-up to first poll", ms(m_firstPollNs - startNs), readMs, 30, !finished},
              QStringLiteral("longest event %1 ms").arg(ms(m_app.gui.longestNs), 0, 'f', 1));
    finished = finished && waitQuiet([] { return true; });
    std::printf("%-24slongest pause %.0f ms until the client was quiet after %.1f s, %s\n", "start-up:",
                ms(m_longestPauseNs), ms(m_app.gui.lastEndNs - startNs) / 1000, qPrintable(waitsText()));
    if (!finished)
        return 1;

    // What answering one ping costs the client when it has nothing else to
    // do: the fastest of a few idle stretches.
    for (int round = 0; round < 3; ++round) {
        resetPhase();
        const int pongsBefore = m_pongs;
        waitFor([] { return false; }, 300);
        const int pongs = m_pongs - pongsBefore;
        if (pongs > 0 && (round == 0 || m_app.gui.busyNs / pongs < m_pingCostNs))
            m_pingCostNs = m_app.gui.busyNs / pongs;
    }
    std::printf("baseline: answering one ping costs the idle client %.1f us\n", double(m_pingCostNs) / 1000.0);

    // The first projects list and everything it sets off: the client polls
    // again (its sync), and this time the farm answers.
    onFarm([this] { m_farm->setUnanswered(QStringLiteral("getProjectStates"), false); });
    Figure first{"first projects list", 0, 0, 30};
    const auto listReceived = [this] { return !m_projectsReply.isEmpty(); };
    const QString firstText = runPhase(first, [this] { m_plugin->syncSlot(); }, listReceived, listReceived);
    // The farm's record of what it received is not the client's memory.
    onFarm([this] { m_farm->clearReceivedMessages(); });
    // The benchmark's own copy of the list is not the client's memory.
    const qint64 rssAfter = residentBytes() - qint64(m_projectsReply.capacity()) * qint64(sizeof(QChar));
    const auto printMemory = [&] { print({"memory", double(rssAfter - rssBefore) / 1024.0 / m_jobCount, 0, 4}); };
    if (m_projectsReply.isEmpty()) {
        std::printf("first projects list: none within %d s  FAIL\n", m_phaseTimeoutMs / 1000);
        return 1;
    }
    const QByteArray replyBytes = m_projectsReply.toUtf8();
    QJsonDocument parsed;
    const qint64 parseNs = bestOf([&] { parsed = QJsonDocument::fromJson(replyBytes); });
    std::printf("baseline: the projects list (%d bytes, %d jobs) parsed in %.1f ms\n", int(replyBytes.size()),
                parsed.object().value(QStringLiteral("data")).toObject().value(QStringLiteral("projects")).toArray().size(),
                ms(parseNs));
    const double listPauseBound = ms(parseNs) + kPauseBeyondParseMs;
    first.baseline = ms(parseNs);
    first.pauseBoundMs = listPauseBound;
    print(first, firstText);
    const qint64 filesNs = newJobFilesNs(m_jobCount);
    std::printf("%-24s%.1f ms = %.2f x baseline (no bound): the file work alone of %d new jobs (a folder, a shortcut, "
                "a look into the folder, a cfg line each)\n",
                "for reference:", ms(filesNs), double(filesNs) / double(parseNs), m_jobCount);
    if (first.timedOut) {
        // Read before the list's follow-ups were all answered.
        printMemory();
        return 1;
    }

    // The same list again, twice: the second time nothing has changed and
    // nothing may be asked.
    const char* again[] = {"second projects list", "third projects list"};
    for (int round = 0; round < 2; ++round) {
        Figure figure{again[round], 0, ms(parseNs), round == 0 ? 30.0 : 3.0};
        figure.pauseBoundMs = listPauseBound;
        if (round == 1) {
            figure.requests = 0;
            figure.requestBound = 0;
        }
        const int before = farmCount(QString());
        const int pingsBefore = farmCount(QStringLiteral("ping"));
        const int lists = m_listsReceived;
        const QString text =
            runPhase(figure, [this] { onFarm([this] { m_farm->pushRawToUser(kUser, m_projectsReply); }); }, [] { return true; },
                     [this, lists] { return m_listsReceived > lists; });
        // The keep-alive "ping" request is the client's clock, not the list's doing.
        if (round == 1)
            figure.requests = farmCount(QString()) - before - (farmCount(QStringLiteral("ping")) - pingsBefore);
        print(figure, text);
        onFarm([this] { m_farm->clearReceivedMessages(); });
        if (figure.timedOut)
            return 1;
    }

    if (m_eventCount > 0)
        measureEvents();
    printMemory();
    const bool oneLogin = m_logins == m_connectionsLost + 1;
    m_allPassed = m_allPassed && oneLogin;
    std::printf("%-24sconnections lost %d, logins %d  %s\n", "logins:", int(m_connectionsLost), m_logins,
                oneLogin ? "PASS" : "FAIL");

    return m_allPassed ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    startClock();
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
    const QCommandLineOption phaseTimeout(QStringLiteral("phase-timeout"),
                                          QStringLiteral("Seconds a phase may take before it fails."),
                                          QStringLiteral("S"), QString::number(kDefaultPhaseTimeoutMs / 1000));
    parser.addOptions({jobs, local, events, noTray, logLevel, phaseTimeout});
    parser.process(app);
    JobListBench bench(app, qMax(1, parser.value(jobs).toInt()), qMax(0, parser.value(local).toInt()),
                       qMax(0, parser.value(events).toInt()), !parser.isSet(noTray), parser.value(logLevel).toInt());
    bench.setPhaseTimeout(qMax(1, parser.value(phaseTimeout).toInt()));
    return bench.run();
}
