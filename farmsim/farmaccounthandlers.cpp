// Login and account queries.
//
// Requests as the client sends them, and what the farm answers (every answer
// carries the request's "action" and its "custom" unchanged):
//
// "login"   data {"user": TEXT, "pass": TEXT, "client": TEXT, ...}; answered
//   before a login too. Accepted: data = the account's login options with
//   "is_logged_in": true. Refused: {"is_logged_in": false, "isBlocked": BOOL};
//   a name other than the socket's "username" also closes the socket.
// "getUserInfo"       answer data {"isTrial": BOOL, "username": TEXT}
// "getRenderpoints"   answer data {"result": NUMBER}
// "getTeams"          answer data {"teams": [TEAM, ...]} (the login's "teams")
// "getUserToken"      answer data {"token": TEXT} (32 hex digits)
// "ping", "sendResult"   recorded, not answered.
#include "farmaccounthandlers.h"

#include "farmconnection.h"
#include "farmlogging.h"
#include "farmprotocol.h"
#include "farmuserstate.h"

#include <QJsonArray>

namespace {
using Access = FarmProtocol::Access;

QJsonObject refusal(bool blocked)
{
    return QJsonObject{{QStringLiteral("is_logged_in"), false}, {QStringLiteral("isBlocked"), blocked}};
}

// "login": checks the query's user name, the password and the blocked flag;
// an accepted login is answered with the account's login options.
void login(FarmProtocol& protocol, FarmRequest& request)
{
    FarmConnection* connection = request.connection;
    const QString user = request.data.value(QStringLiteral("user")).toString();
    const QString pass = request.data.value(QStringLiteral("pass")).toString();
    connection->setLoggedIn(false);

    if (user != connection->queryUser()) {
        qCDebug(lcFarmSim) << "login as" << user << "on a socket opened for" << connection->queryUser() << "- refused";
        request.answer(refusal(false));
        request.closeAfter(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("user name mismatch"));
        return;
    }
    const FarmAccount* account = protocol.accounts().find(user);
    if (!account || account->password != pass) {
        qCDebug(lcFarmSim) << "login of" << user << "refused: unknown user or wrong password";
        request.answer(refusal(false));
        return;
    }
    if (account->isBlocked()) {
        qCDebug(lcFarmSim) << "login of" << user << "refused: account blocked";
        request.answer(refusal(true));
        return;
    }

    QJsonObject options = account->login;
    options.insert(QStringLiteral("is_logged_in"), true);
    connection->setLoggedIn(true);
    request.state = protocol.ensureUserState(user);
    qCDebug(lcFarmSim) << "login of" << user << "accepted on connection" << connection->id();
    request.answer(options);
}

void userInfo(FarmProtocol& protocol, FarmRequest& request)
{
    if (const FarmAccount* account = protocol.accountOf(request))
        request.answer(QJsonObject{{QStringLiteral("isTrial"), account->isTrial},
                                   {QStringLiteral("username"), account->user}});
}

void renderpoints(FarmProtocol& protocol, FarmRequest& request)
{
    if (const FarmAccount* account = protocol.accountOf(request))
        request.answer(QJsonObject{{QStringLiteral("result"), account->renderPoints}});
}

void teams(FarmProtocol& protocol, FarmRequest& request)
{
    if (const FarmAccount* account = protocol.accountOf(request))
        request.answer(QJsonObject{{QStringLiteral("teams"), account->teams()}});
}

void userToken(FarmProtocol& protocol, FarmRequest& request)
{
    if (request.state)
        request.answer(QJsonObject{{QStringLiteral("token"), protocol.issueToken(request.state)}});
}

// Recorded by the simulator; the farm sends nothing back.
void noAnswer(FarmRequest&) {}
} // namespace

void registerAccountHandlers(FarmProtocol& protocol)
{
    FarmProtocol* farm = &protocol;
    auto bind = [farm](void (*handler)(FarmProtocol&, FarmRequest&)) {
        return [farm, handler](FarmRequest& request) { handler(*farm, request); };
    };
    protocol.registerHandler(QStringLiteral("login"), Access::Anyone, bind(login));
    protocol.registerHandler(QStringLiteral("getUserInfo"), Access::LoggedIn, bind(userInfo));
    protocol.registerHandler(QStringLiteral("getRenderpoints"), Access::LoggedIn, bind(renderpoints));
    protocol.registerHandler(QStringLiteral("getTeams"), Access::LoggedIn, bind(teams));
    protocol.registerHandler(QStringLiteral("getUserToken"), Access::LoggedIn, bind(userToken));
    protocol.registerHandler(QStringLiteral("ping"), Access::LoggedIn, noAnswer);
    protocol.registerHandler(QStringLiteral("sendResult"), Access::LoggedIn, noAnswer);
}
