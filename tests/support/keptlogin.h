#pragma once

#include <QString>
#include <QTextStream>

#include <functional>
#include <memory>

class ClientFixture;
class LoginKeeper;

// The host's login duty around a client under injected faults: the user's
// farm account, pings every 2 s (a connection whose end the system never
// reports is given up within the tests' waits) and the host's LoginKeeper,
// which logs in again after a lost connection, its back-off shortened to
// 100 ms. What the host prints is kept in `hostOut`.
class KeptLogin
{
public:
    // Adds the fixture's user (its default options) to the farm.
    explicit KeptLogin(ClientFixture& client);
    ~KeptLogin();

    // Starts the client and logs in through the keeper; `beforeLogin` runs
    // once the client is up. True when logged in, with the user's projects
    // folder made.
    bool startAndLogIn(const std::function<void()>& beforeLogin = {});
    // A login as the host makes it.
    void logIn();
    QString userFolder() const;

    QString hostOut;

private:
    ClientFixture& m_client;
    QTextStream m_hostStream{&hostOut};
    std::unique_ptr<LoginKeeper> m_keeper;
};
