#include "farmprotocol.h"

#include "farmaccounthandlers.h"
#include "farmconnection.h"
#include "farmlogging.h"
#include "farmuserstate.h"

#include <QDir>
#include <QRandomGenerator>
#include <QUrl>

void FarmRequest::answer(const QJsonValue& replyData)
{
    replies.append(FarmProtocol::envelope(action, replyData, message));
}

void FarmRequest::closeAfter(QWebSocketProtocol::CloseCode code, const QString& reason)
{
    closeAfterReplies = true;
    closeCode = code;
    closeReason = reason;
}

FarmProtocol::FarmProtocol(QObject* parent)
    : QObject(parent)
{
    registerAccountHandlers(*this);
}

const FarmAccount* FarmProtocol::accountOf(const FarmRequest& request) const
{
    return request.connection ? m_accounts.find(request.connection->queryUser()) : nullptr;
}

FarmUserState* FarmProtocol::ensureUserState(const QString& user)
{
    FarmUserState* state = m_states.value(user);
    if (state)
        return state;
    QString storageDir;
    if (!m_storageRoot.isEmpty()) {
        // Percent-encode the name so that any user name makes one folder.
        storageDir = QDir(m_storageRoot).filePath(QString::fromLatin1(QUrl::toPercentEncoding(user)));
        if (!QDir().mkpath(storageDir))
            qCWarning(lcFarmSim) << "cannot create the storage folder" << storageDir;
    }
    state = new FarmUserState(user, storageDir, this);
    m_states.insert(user, state);
    return state;
}

QString FarmProtocol::issueToken(FarmUserState* state)
{
    QString token;
    do {
        token.clear();
        for (int i = 0; i < 4; ++i)
            token += QStringLiteral("%1").arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
    } while (m_tokenUsers.contains(token));
    m_tokenUsers.insert(token, state->user());
    state->addToken(token);
    return token;
}

void FarmProtocol::registerHandler(const QString& action, Access access, Handler handler)
{
    m_handlers.insert(action, Entry{access, std::move(handler)});
}

void FarmProtocol::dispatch(FarmRequest& request)
{
    const auto it = m_handlers.constFind(request.action);
    if (it == m_handlers.constEnd()) {
        qCDebug(lcFarmSim) << "no handler for" << request.action << "- not answered";
        return;
    }
    const bool loggedIn = request.connection && request.connection->isLoggedIn();
    if (it->access == Access::LoggedIn && !loggedIn) {
        qCDebug(lcFarmSim) << request.action << "before a login - not answered";
        return;
    }
    if (loggedIn && !request.state)
        request.state = userState(request.connection->queryUser());
    it->handler(request);
}

QJsonObject FarmProtocol::envelope(const QString& action, const QJsonValue& data, const QJsonObject& request)
{
    QJsonObject reply{{QStringLiteral("action"), action}, {QStringLiteral("data"), data}};
    const auto custom = request.constFind(QStringLiteral("custom"));
    if (custom != request.constEnd())
        reply.insert(QStringLiteral("custom"), custom.value());
    return reply;
}
