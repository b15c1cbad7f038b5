#include "keptlogin.h"

#include "clientfixture.h"
#include "loginkeeper.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"

#include <QDir>
#include <QSignalSpy>
#include <QTimer>

KeptLogin::KeptLogin(ClientFixture& client)
    : m_client(client)
{
    FarmAccount account;
    account.user = m_client.options.user;
    account.password = m_client.options.password;
    account.renderPoints = 100;
    m_client.simulator.accounts().insert(account);
}

KeptLogin::~KeptLogin()
{
    if (m_keeper)
        m_keeper->stop();
}

QString KeptLogin::userFolder() const
{
    return m_client.projectsFolder() + QLatin1Char('/') + m_client.options.user;
}

bool KeptLogin::startAndLogIn(const std::function<void()>& beforeLogin)
{
    if (!m_client.start(ClientFixture::Options()))
        return false;
    m_client.settings->password = m_client.options.password;
    m_client.plugin->pingTimer->start(2000);
    if (beforeLogin)
        beforeLogin();
    m_keeper = std::make_unique<LoginKeeper>(m_client.plugin, m_client.settings, m_hostStream);
    m_keeper->setFirstRetryDelay(100);

    QSignalSpy success(m_client.plugin, &PluginNetConnection::loginSuccessSignal);
    m_keeper->login();
    if (!success.wait(10000) || success.first().first().toInt() != 0)
        return false;
    QDir().mkpath(userFolder());
    return m_client.settings->loggedIn;
}

void KeptLogin::logIn()
{
    if (m_keeper)
        m_keeper->login();
}
