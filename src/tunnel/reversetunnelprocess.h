#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class KiteSettings;
class QProcess;
class QTimer;

// Runs and watches the SSH client that forwards the three render-licence
// ports of the farm back to the user's licence server.
//
// The client logs in to the farm's tunnel host; its password prompt is
// answered through its standard input, and the remote shell's "Last login:"
// greeting marks the tunnel as connected. While it runs, a "pingpong" line is
// sent every pingIntervalMs and must come back (the remote shell echoes it)
// within pingTimeoutMs, or the client is ended and started again at once.
// When the client ends by itself it is started again after a delay that grows
// with the number of ends. Every change between connected and not connected
// is reported by tunnelConnectedSignal, kept in
// KiteSettings::licenseTunnelConnected and written to the tunnel state file
// that the scene exporters read.
//
// The object has no parent: the plug-in object owns it and stops it with
// disconnectTunnel() before deleting it.
class ReverseTunnelProcess : public QObject
{
    Q_OBJECT
public:
    // Fingerprint the tunnel host's key must have, and the port it listens on.
    static const QString hostKeyFingerprint;
    static constexpr int tunnelHostPort = 54222;

    // After more than `afterEnds` ends of the client, the next start waits
    // `delayMs`; later steps override earlier ones.
    struct BackoffStep
    {
        int afterEnds = 0;
        int delayMs = 0;
    };
    // More than 5 ends: 10 s; more than 10: 30 s; more than 20: 60 s; more
    // than 30: 120 s.
    static QVector<BackoffStep> defaultBackoff();
    // The delay before the next start after `reconnectCount` ends; `current`
    // stays in force while no step applies.
    static int backoffDelay(const QVector<BackoffStep>& steps, int reconnectCount, int current);

    // Ends SSH clients of this application directory left over from an
    // earlier run and waits for them to go.
    explicit ReverseTunnelProcess(KiteSettings* kiteSettings);
    ~ReverseTunnelProcess() override;

    // True once a start was attempted with connectLicenseServer set.
    bool isStarted() const;
    // Writes the tunnel state file: one line, e.g.
    // {"connected": true,"licenseCount": 2,"licenseLimit": 4}
    void writeTunnelState(bool connected);

    // <localProjectsFolder>/<username>/tunnelstate.txt
    QString stateFilePath() const;
    // The client's program and its arguments (the password is never among them).
    QString program() const;
    QStringList arguments() const;

    int pingIntervalMs = 60000;
    QProcess* process = nullptr;       // the running client; a new one for each start
    KiteSettings* kiteSettings = nullptr;
    bool tunnelStarted = false;        // cleared only when switched off and ended
    QTimer* pingTimer = nullptr;       // repeating, drives sendPing
    QTimer* pingTimeoutTimer = nullptr; // single-shot, drives pingTimeoutCheck
    int reconnectTimeout = 10;         // ms before the next start after an end
    int reconnectCount = 0;            // ends of the client, never reset
    bool pongReceived = false;

    // The other waits, settable for tests.
    int pingTimeoutMs = 3000;   // echo of a ping must arrive within this
    int startTimeoutMs = 10000; // wait for the client to start
    int exitWaitMs = 2000;      // wait for the client to end after "exit" or a kill
    QVector<BackoffStep> backoffSteps = defaultBackoff();
    QTimer* reconnectTimer = nullptr; // single-shot, the start after an end

signals:
    void tunnelConnectedSignal(bool connected);

public slots:
    void processOutput();
    void connectTunnel();
    void disconnectTunnel();
    void sendPing();
    void processFinished(int exitCode);
    void disconnectLicenseTunnelSlot();
    void pingTimeoutCheck();

private:
    void reportDisconnected();
    void reportState(bool connected);
    void writeToClient(const QByteArray& line);
    // Ends the current client (if it still runs) without reporting its end,
    // and lets the object go.
    void retireProcess();
    // Whether `marker` ends within `text`, also when its beginning came with
    // the previous read (kept in `tail`).
    static bool containsMarker(const QString& tail, const QString& text, const QString& marker);
    QString withoutSecret(QString text) const;

    QString m_outputTail;
    QString m_errorTail;
};
