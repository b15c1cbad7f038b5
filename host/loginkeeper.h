#pragma once

#include <QObject>
#include <QTimer>

class KiteSettings;
class PluginNetConnectionInterface;
class QTextStream;

// The host's side of the login: logs the user in, keeps the shared run-time
// flags the host owns, and logs in again with a growing back-off when the
// connection is lost, since the plug-in does not retry by itself.
class LoginKeeper : public QObject
{
    Q_OBJECT
public:
    static constexpr int firstRetryMs = 1000;
    static constexpr int maxRetryMs = 60000;

    LoginKeeper(PluginNetConnectionInterface* plugin, KiteSettings* settings, QTextStream& out,
                QObject* parent = nullptr);

    void setFirstRetryDelay(int milliseconds) { m_firstRetryMs = milliseconds; }
    void login();
    void stop();
    // The user logged out: a lost connection is not followed by a login
    // until login(), resume() or the next successful login.
    void hold();
    void resume();
    bool isHeld() const { return m_held; }
    // Whether the host switches the synchronisation on after a login
    // (the user may have switched it off).
    void setSyncWanted(bool wanted) { m_syncWanted = wanted; }

    // Delay before the next attempt: doubles from the first delay up to the
    // maximum, with up to a quarter of random jitter on top.
    static int retryDelay(int attempt, int firstMs, int maxMs, double jitter01);

public slots:
    void loginSuccess(int status);
    void connectionLost();

private:
    PluginNetConnectionInterface* m_plugin;
    KiteSettings* m_settings;
    QTextStream& m_out;
    QTimer m_retryTimer;
    int m_attempt = 0;
    int m_firstRetryMs = firstRetryMs;
    bool m_stopped = false;
    bool m_held = false;
    bool m_syncWanted = true;
};
