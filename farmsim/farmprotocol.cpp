#include "farmprotocol.h"

#include "farmaccounthandlers.h"
#include "farmconnection.h"
#include "farmlogging.h"
#include "farmmaintenancehandlers.h"
#include "farmprojecthandlers.h"
#include "farmuploadhandlers.h"
#include "farmuserstate.h"

#include <QJsonArray>
#include <QRandomGenerator>

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
    , m_autoupdateContent{{QStringLiteral("version"), QStringLiteral("1.0")},
                          {QStringLiteral("build"), 0},
                          {QStringLiteral("files"), QJsonArray()}}
{
    registerAccountHandlers(*this);
    registerProjectHandlers(*this);
    registerUploadHandlers(*this);
    registerMaintenanceHandlers(*this);
}

void FarmProtocol::setStorageRoot(const QString& dir)
{
    m_storageRoot = dir;
    for (FarmUserState* state : qAsConst(m_states))
        state->setStorageRoot(dir);
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
    state = new FarmUserState(user, m_storageRoot, this);
    m_states.insert(user, state);
    connect(state, &FarmUserState::pushRequested, this,
            [this, user](const QJsonObject& message) { emit pushRequested(user, message); });
    connect(state, &FarmUserState::projectStatusChanged, this,
            [this, user](const QString& name, const QString& status) { emit projectStatusChanged(user, name, status); });
    connect(state, &FarmUserState::frameRendered, this,
            [this, user](const QString& name, int frame) { emit frameRendered(user, name, frame); });
    connect(state, &FarmUserState::fileReceived, this,
            [this, user](const QString& fileName) { emit fileReceived(user, fileName); });
    return state;
}

void FarmProtocol::setPluginConfig(const QString& program, int version, const QString& content)
{
    m_pluginConfigs.insert(program, QJsonObject{{QStringLiteral("program"), program},
                                                {QStringLiteral("version"), version},
                                                {QStringLiteral("content"), content}});
}

QJsonObject FarmProtocol::pluginConfig(const QString& program) const
{
    return m_pluginConfigs.value(program, QJsonObject{{QStringLiteral("program"), program},
                                                      {QStringLiteral("version"), 0},
                                                      {QStringLiteral("content"), QString()}});
}

void FarmProtocol::addCachedTexture(const QString& checksum, const QString& onlinePath)
{
    m_textureCache.insert(checksum, onlinePath);
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

void FarmProtocol::setUnanswered(const QString& action, bool unanswered)
{
    if (unanswered)
        m_unanswered.insert(action);
    else
        m_unanswered.remove(action);
}

void FarmProtocol::dispatch(FarmRequest& request)
{
    if (m_unanswered.contains(request.action)) {
        qCDebug(lcFarmSim) << request.action << "is set to go unanswered";
        return;
    }
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
