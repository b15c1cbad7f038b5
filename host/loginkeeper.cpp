#include "loginkeeper.h"

#include "pluginnetconnectioninterface.h"
#include "settings/kitesettings.h"

#include <QRandomGenerator>
#include <QTextStream>

LoginKeeper::LoginKeeper(PluginNetConnectionInterface* plugin, KiteSettings* settings, QTextStream& out,
                         QObject* parent)
    : QObject(parent)
    , m_plugin(plugin)
    , m_settings(settings)
    , m_out(out)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &LoginKeeper::login);

    QObject* source = plugin->getObject();
    connect(source, SIGNAL(loginSuccessSignal(int)), this, SLOT(loginSuccess(int)));
    connect(source, SIGNAL(websocketTimeoutSignal()), this, SLOT(connectionLost()));
    connect(source, SIGNAL(websocketFailedSignal()), this, SLOT(connectionLost()));
}

int LoginKeeper::retryDelay(int attempt, int firstMs, int maxMs, double jitter01)
{
    qint64 delay = firstMs;
    for (int i = 0; i < attempt && delay < maxMs; ++i)
        delay *= 2;
    delay = qMin<qint64>(delay, maxMs);
    return static_cast<int>(delay + delay * 0.25 * jitter01);
}

void LoginKeeper::login()
{
    if (m_stopped)
        return;
    m_held = false;
    m_out << "kitehost: logging in as " << m_settings->username << '\n';
    m_out.flush();
    m_plugin->loginSlot(m_settings->username, m_settings->password);
}

void LoginKeeper::stop()
{
    m_stopped = true;
    m_retryTimer.stop();
}

void LoginKeeper::hold()
{
    m_held = true;
    m_retryTimer.stop();
}

void LoginKeeper::resume()
{
    m_held = false;
    m_attempt = 0;
}

void LoginKeeper::loginSuccess(int status)
{
    if (status == 0) {
        m_settings->loggedIn = true;
        // The login answer ends the synchronisation pass; the host starts the
        // next one.
        m_settings->syncActive = m_syncWanted;
        m_held = false;
        m_attempt = 0;
        // A request may have reopened the connection during the back-off: the
        // pending login would log in a second time on the same connection.
        m_retryTimer.stop();
        m_out << "kitehost: login ok\n";
        // The tray's sync after each login: the projects list, the user's
        // information and the account's render points.
        if (m_syncWanted)
            m_plugin->syncSlot();
    } else {
        m_out << "kitehost: login refused\n";
    }
    m_out.flush();
}

void LoginKeeper::connectionLost()
{
    if (m_stopped || m_held || m_retryTimer.isActive())
        return;
    const int delay = retryDelay(m_attempt++, m_firstRetryMs, maxRetryMs, QRandomGenerator::global()->generateDouble());
    m_out << "kitehost: connection lost, logging in again in " << delay << " ms\n";
    m_out.flush();
    m_retryTimer.start(delay);
}
