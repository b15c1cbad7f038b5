#include "tunnel/reversetunnelprocess.h"

#include "jobs/jobnames.h"
#include "platform/platformprocesses.h"
#include "settings/kitesettings.h"
#include "tunnel/tunnellogging.h"

#include <QFile>
#include <QProcess>
#include <QTimer>

Q_LOGGING_CATEGORY(lcTunnel, "kite.tunnel")

namespace {
const QString passwordPrompt = QStringLiteral("'s password:");
const QString loginGreeting = QStringLiteral("Last login:");
const QString pingText = QStringLiteral("pingpong");
const QString errorMarker = QStringLiteral("ERROR");
// The longest of the markers above, less one: what a read keeps for the next.
constexpr int tailLength = 11;

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

const QString ReverseTunnelProcess::hostKeyFingerprint =
    QStringLiteral("3f:91:0c:7a:de:55:12:b8:6e:04:a9:c7:21:5d:e0:8b");

QVector<ReverseTunnelProcess::BackoffStep> ReverseTunnelProcess::defaultBackoff()
{
    return {{5, 10000}, {10, 30000}, {20, 60000}, {30, 120000}};
}

int ReverseTunnelProcess::backoffDelay(const QVector<BackoffStep>& steps, int reconnectCount, int current)
{
    int delay = current;
    for (const BackoffStep& step : steps) {
        if (reconnectCount > step.afterEnds)
            delay = step.delayMs;
    }
    return delay;
}

ReverseTunnelProcess::ReverseTunnelProcess(KiteSettings* settings)
    : kiteSettings(settings)
{
    pingTimer = new QTimer(this);
    pingTimer->setInterval(pingIntervalMs);
    connect(pingTimer, &QTimer::timeout, this, &ReverseTunnelProcess::sendPing);

    pingTimeoutTimer = new QTimer(this);
    pingTimeoutTimer->setSingleShot(true);
    connect(pingTimeoutTimer, &QTimer::timeout, this, &ReverseTunnelProcess::pingTimeoutCheck);

    reconnectTimer = new QTimer(this);
    reconnectTimer->setSingleShot(true);
    connect(reconnectTimer, &QTimer::timeout, this, &ReverseTunnelProcess::connectTunnel);

    // A client of an earlier run would still hold the farm's ports.
    const int ended = PlatformProcesses::endLeftoverSshClients(kiteSettings->applicationDirectory());
    qCDebug(lcTunnel) << "leftover licence clients ended:" << ended;
}

ReverseTunnelProcess::~ReverseTunnelProcess()
{
    qCDebug(lcTunnel) << "ReverseTunnelProcess destructor";
    if (process) {
        disconnect(process, nullptr, this, nullptr);
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(exitWaitMs);
        }
    }
}

bool ReverseTunnelProcess::isStarted() const
{
    return tunnelStarted;
}

QString ReverseTunnelProcess::stateFilePath() const
{
    return kiteSettings->localProjectsFolder + QLatin1Char('/') + kiteSettings->username
        + QStringLiteral("/tunnelstate.txt");
}

QString ReverseTunnelProcess::program() const
{
    return PlatformProcesses::sshClientPath(kiteSettings->applicationDirectory());
}

QStringList ReverseTunnelProcess::arguments() const
{
    const QString server = kiteSettings->licenseServerArnold;
    auto forward = [&server](int farmPort, int localPort) {
        return QString::number(farmPort) + QLatin1Char(':') + server + QLatin1Char(':') + QString::number(localPort);
    };
    return {
        QStringLiteral("-hostkey"), hostKeyFingerprint,
        QStringLiteral("-R"), forward(kiteSettings->licensePort1, kiteSettings->licensePort1local),
        QStringLiteral("-R"), forward(kiteSettings->licensePort2, kiteSettings->licensePort2local),
        QStringLiteral("-R"), forward(kiteSettings->licensePort3, kiteSettings->licensePort3local),
        QStringLiteral("-C"),
        QStringLiteral("-P"), QString::number(tunnelHostPort),
        QStringLiteral("-ssh"),
        kiteSettings->username + QLatin1Char('@') + kiteSettings->serverSshTunnel,
    };
}

void ReverseTunnelProcess::writeTunnelState(bool connected)
{
    const QString path = stateFilePath();
    QFile file(path);
    // The user's folder is named after the login; a name that could reach
    // outside the projects folder gets no file.
    if (!JobNames::isUsableAsFileName(kiteSettings->username)
        || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        kiteSettings->writeToLog(QStringLiteral("Could not open file ") + path, 0);
        return;
    }
    const QString line = QStringLiteral("{\"connected\": %1,\"licenseCount\": %2,\"licenseLimit\": %3}")
                             .arg(boolText(connected))
                             .arg(kiteSettings->licenseCountArnold)
                             .arg(kiteSettings->licenseLimitArnold);
    file.write(line.toUtf8());
    file.close();
}

void ReverseTunnelProcess::reportDisconnected()
{
    reportState(false);
}

void ReverseTunnelProcess::reportState(bool connected)
{
    // The flag and the file are up to date before anyone hears of the change.
    kiteSettings->licenseTunnelConnected = connected;
    writeTunnelState(connected);
    emit tunnelConnectedSignal(connected);
}

QString ReverseTunnelProcess::withoutSecret(QString text) const
{
    // The client has no reason to show the password, but whatever it prints
    // goes to the debug output and the log: the password never does.
    if (!kiteSettings->customFtpPass.isEmpty())
        text.replace(kiteSettings->customFtpPass, QStringLiteral("***"));
    return text;
}

bool ReverseTunnelProcess::containsMarker(const QString& tail, const QString& text, const QString& marker)
{
    // Only the part of the tail that cannot hold the whole marker, so that a
    // marker seen in the previous read is not seen again.
    return (tail.right(marker.size() - 1) + text).contains(marker);
}

void ReverseTunnelProcess::writeToClient(const QByteArray& line)
{
    if (process && process->state() == QProcess::Running)
        process->write(line);
}

void ReverseTunnelProcess::connectTunnel()
{
    if (!kiteSettings->connectLicenseServer) {
        kiteSettings->writeToLog(QStringLiteral("do not connect tunnel"), 0);
        // Switched off and its client gone: switching it on again starts it.
        if (!process || process->state() == QProcess::NotRunning)
            tunnelStarted = false;
        return;
    }
    // This start replaces any start still waiting for its delay.
    reconnectTimer->stop();
    tunnelStarted = true;
    qCDebug(lcTunnel).noquote() << "19 serverSshTunnel: " + kiteSettings->serverSshTunnel;

    const QStringList args = arguments();
    qCDebug(lcTunnel) << "connect license server: " << args;

    // One client at a time: an earlier one is ended before the next starts.
    retireProcess();
    m_outputTail.clear();
    m_errorTail.clear();
    pongReceived = false;

    process = new QProcess(this);
    connect(process, &QProcess::readyReadStandardOutput, this, &ReverseTunnelProcess::processOutput);
    connect(process, &QProcess::readyReadStandardError, this, &ReverseTunnelProcess::processOutput);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ReverseTunnelProcess::processFinished);
    process->start(program(), args, QIODevice::ReadWrite);

    if (!process->waitForStarted(startTimeoutMs)) {
        qCDebug(lcTunnel) << "63 license link could not be started";
        reportDisconnected();
    } else {
        // Started; the login is still under way.
        qCDebug(lcTunnel) << "90 tunnel connected";
    }
    pingTimer->start(pingIntervalMs);
}

void ReverseTunnelProcess::retireProcess()
{
    if (!process)
        return;
    QProcess* old = process;
    process = nullptr;
    disconnect(old, nullptr, this, nullptr);
    if (old->state() != QProcess::NotRunning) {
        old->kill();
        old->waitForFinished(exitWaitMs);
        if (kiteSettings->licenseTunnelConnected)
            reportDisconnected();
    }
    old->deleteLater();
}

void ReverseTunnelProcess::processOutput()
{
    if (!process)
        return;
    const QString output = QString::fromLocal8Bit(process->readAllStandardOutput());
    const QString error = QString::fromLocal8Bit(process->readAllStandardError());
    qCDebug(lcTunnel).noquote() << "13 output: " + withoutSecret(output);
    qCDebug(lcTunnel).noquote() << "13 error: " + withoutSecret(error);

    const bool hasError = containsMarker(m_errorTail, error, errorMarker);
    const bool asksPassword = containsMarker(m_outputTail, output, passwordPrompt);
    const bool loggedIn = containsMarker(m_outputTail, output, loginGreeting);
    const bool pong = containsMarker(m_outputTail, output, pingText);
    m_outputTail = (m_outputTail + output).right(tailLength);
    m_errorTail = (m_errorTail + error).right(tailLength);

    if (hasError)
        kiteSettings->writeToLog(QStringLiteral("license error: ") + withoutSecret(error), 0);
    if (asksPassword) {
        qCDebug(lcTunnel) << "26 send password";
        writeToClient(kiteSettings->customFtpPass.toUtf8() + '\n');
    }
    if (loggedIn)
        reportState(true);
    if (pong)
        pongReceived = true;
}

void ReverseTunnelProcess::sendPing()
{
    qCDebug(lcTunnel) << "107 send tunnel ping";
    writeToClient(pingText.toUtf8() + '\n');
    pongReceived = false;
    pingTimeoutTimer->start(pingTimeoutMs);
}

void ReverseTunnelProcess::pingTimeoutCheck()
{
    if (pongReceived)
        return;
    qCDebug(lcTunnel) << "200 tunnel not responding, reconnect";
    if (process) {
        writeToClient(QByteArrayLiteral("exit\n"));
        process->waitForFinished(exitWaitMs);
        if (process && process->state() != QProcess::NotRunning)
            process->kill();
    }
    connectTunnel();
}

void ReverseTunnelProcess::processFinished(int exitCode)
{
    qCDebug(lcTunnel) << "97 process finished " << exitCode;
    reportDisconnected();
    pingTimer->stop();
    // The ended client cannot answer a ping; its restart follows the delay.
    pingTimeoutTimer->stop();

    ++reconnectCount;
    qCDebug(lcTunnel) << "106 reconnectCount: " << reconnectCount;
    reconnectTimeout = backoffDelay(backoffSteps, reconnectCount, reconnectTimeout);
    qCDebug(lcTunnel) << "106 reconnectTimeout: " << reconnectTimeout;
    reconnectTimer->start(reconnectTimeout);
}

void ReverseTunnelProcess::disconnectLicenseTunnelSlot()
{
    reportDisconnected();
    // Its end runs processFinished, which schedules a start that
    // connectTunnel refuses while connectLicenseServer is off.
    if (process && process->state() != QProcess::NotRunning)
        process->kill();
}

void ReverseTunnelProcess::disconnectTunnel()
{
    // Stopped for good: no ping, no restart.
    pingTimer->stop();
    pingTimeoutTimer->stop();
    reconnectTimer->stop();
    if (process) {
        disconnect(process, nullptr, this, nullptr);
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            process->kill();
            process->waitForFinished(exitWaitMs);
        }
    }
    reportDisconnected();
    if (process) {
        process->deleteLater();
        process = nullptr;
    }
}
