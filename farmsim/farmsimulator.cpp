#include "farmsimulator.h"

#include "farmconnection.h"
#include "farmlogging.h"
#include "farmprotocol.h"
#include "farmtls.h"
#include "farmuserstate.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QPointer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <utility>

FarmSimulator::FarmSimulator(QObject* parent)
    : QObject(parent)
    , m_protocol(new FarmProtocol(this))
{
    connect(m_protocol, &FarmProtocol::pushRequested, this, &FarmSimulator::deliverPush);
    connect(m_protocol, &FarmProtocol::projectStatusChanged, this, &FarmSimulator::projectStatusChanged);
    connect(m_protocol, &FarmProtocol::frameRendered, this, &FarmSimulator::frameRendered);
    connect(m_protocol, &FarmProtocol::fileReceived, this, &FarmSimulator::fileReceived);
}

FarmSimulator::~FarmSimulator()
{
    // The connections report their close while being torn down; nobody is
    // listening any more.
    for (FarmConnection* connection : qAsConst(m_connections))
        connection->disconnect(this);
}

bool FarmSimulator::loadAccounts(const QString& path, QString* error)
{
    FarmAccounts accounts;
    if (!FarmAccounts::fromFile(path, accounts, error))
        return false;
    setAccounts(accounts);
    return true;
}

void FarmSimulator::setAccounts(const FarmAccounts& accounts)
{
    m_protocol->setAccounts(accounts);
}

FarmAccounts& FarmSimulator::accounts()
{
    return m_protocol->accounts();
}

bool FarmSimulator::setRenderPoints(const QString& user, double points)
{
    FarmAccount* account = accounts().find(user);
    if (account)
        account->renderPoints = points;
    return account;
}

bool FarmSimulator::setTrial(const QString& user, bool isTrial)
{
    FarmAccount* account = accounts().find(user);
    if (account)
        account->isTrial = isTrial;
    return account;
}

bool FarmSimulator::setLoginOption(const QString& user, const QString& key, const QJsonValue& value)
{
    FarmAccount* account = accounts().find(user);
    if (account)
        account->login.insert(key, value);
    return account;
}

FarmUserState* FarmSimulator::userState(const QString& user) const
{
    return m_protocol->userState(user);
}

FarmUserState* FarmSimulator::ensureUserState(const QString& user)
{
    return m_protocol->ensureUserState(user);
}

QStringList FarmSimulator::issuedTokens(const QString& user) const
{
    const FarmUserState* state = userState(user);
    return state ? state->tokens() : QStringList();
}

QString FarmSimulator::userForToken(const QString& token) const
{
    return m_protocol->userForToken(token);
}

void FarmSimulator::setSslConfiguration(const QSslConfiguration& configuration)
{
    m_sslConfiguration = configuration;
    m_secure = true;
}

bool FarmSimulator::loadTls(const QString& certificatePemPath, const QString& keyPemPath, QString* error)
{
    QSslConfiguration configuration;
    if (!loadServerTls(certificatePemPath, keyPemPath, configuration, error))
        return false;
    setSslConfiguration(configuration);
    return true;
}

bool FarmSimulator::listen(const QHostAddress& address, quint16 port)
{
    if (!address.isLoopback()) {
        m_errorString = QStringLiteral("refusing to listen on %1: only loopback addresses are served")
                            .arg(address.toString());
        return false;
    }
    if (!m_server) {
        m_server = new QWebSocketServer(QStringLiteral("farmsim"),
                                        m_secure ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode,
                                        this);
        if (m_secure)
            m_server->setSslConfiguration(m_sslConfiguration);
        connect(m_server, &QWebSocketServer::newConnection, this, &FarmSimulator::acceptPendingConnections);
        connect(m_server, &QWebSocketServer::serverError, this, [this](QWebSocketProtocol::CloseCode code) {
            qCDebug(lcFarmSim) << "handshake failed:" << code << m_server->errorString();
        });
        connect(m_server, &QWebSocketServer::sslErrors, this, [](const QList<QSslError>& errors) {
            qCDebug(lcFarmSim) << "TLS errors:" << errors;
        });
    }
    if (m_server->isListening())
        m_server->close();
    if (!m_server->listen(address, port)) {
        m_errorString = m_server->errorString();
        return false;
    }
    m_address = m_server->serverAddress();
    m_port = m_server->serverPort();
    m_errorString.clear();
    qCDebug(lcFarmSim) << "listening on" << serverUrl().toString();
    return true;
}

void FarmSimulator::stopListening()
{
    if (m_server && m_server->isListening()) {
        m_server->close();
        qCDebug(lcFarmSim) << "stopped listening on port" << m_port;
    }
}

bool FarmSimulator::resumeListening()
{
    if (!m_server || m_port == 0) {
        m_errorString = QStringLiteral("never listened");
        return false;
    }
    return listen(m_address, m_port);
}

bool FarmSimulator::isListening() const
{
    return m_server && m_server->isListening();
}

QUrl FarmSimulator::serverUrl() const
{
    QUrl url;
    url.setScheme(m_secure ? QStringLiteral("wss") : QStringLiteral("ws"));
    url.setHost(m_address.toString());
    url.setPort(m_port);
    return url;
}

QUrl FarmSimulator::socketUrl(const QString& user, const QString& prefix) const
{
    QUrl url = serverUrl();
    url.setPath(prefix.isEmpty() ? QStringLiteral("/queue/socket")
                                 : QStringLiteral("/%1/queue/socket").arg(prefix));
    url.setQuery(QStringLiteral("username=") + QString::fromLatin1(QUrl::toPercentEncoding(user)));
    return url;
}

int FarmSimulator::connectionCount() const
{
    return m_connections.size();
}

int FarmSimulator::connectionCount(const QString& user) const
{
    return connectionsOf(user).size();
}

QStringList FarmSimulator::connectedUsers() const
{
    QStringList users;
    for (const FarmConnection* connection : m_connections) {
        if (!users.contains(connection->queryUser()))
            users.append(connection->queryUser());
    }
    return users;
}

QStringList FarmSimulator::connectionPrefixes(const QString& user) const
{
    QStringList prefixes;
    for (const FarmConnection* connection : connectionsOf(user))
        prefixes.append(connection->prefix());
    return prefixes;
}

bool FarmSimulator::isLoggedIn(const QString& user) const
{
    const QVector<FarmConnection*> connections = connectionsOf(user);
    return std::any_of(connections.cbegin(), connections.cend(),
                       [](const FarmConnection* connection) { return connection->isLoggedIn(); });
}

QVector<FarmReceivedMessage> FarmSimulator::receivedMessages(const QString& action) const
{
    QVector<FarmReceivedMessage> matching;
    for (const FarmReceivedMessage& message : m_received) {
        if (message.action == action)
            matching.append(message);
    }
    return matching;
}

int FarmSimulator::receivedCount(const QString& action) const
{
    if (action.isEmpty())
        return m_received.size();
    return static_cast<int>(std::count_if(m_received.cbegin(), m_received.cend(),
                                          [&action](const FarmReceivedMessage& m) { return m.action == action; }));
}

int FarmSimulator::pushToUser(const QString& user, const QJsonObject& message)
{
    return pushRawToUser(user, QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

int FarmSimulator::pushRawToUser(const QString& user, const QString& text)
{
    int reached = 0;
    for (FarmConnection* connection : connectionsOf(user)) {
        if (!connection->isOpen())
            continue;
        connection->sendText(text);
        ++reached;
    }
    qCDebug(lcFarmSim) << "pushed to" << reached << "connection(s) of" << user << ":" << text.left(200);
    return reached;
}

int FarmSimulator::closeUserConnections(const QString& user, QWebSocketProtocol::CloseCode code, const QString& reason)
{
    const QVector<FarmConnection*> connections = connectionsOf(user);
    for (FarmConnection* connection : connections)
        connection->close(code, reason);
    return connections.size();
}

int FarmSimulator::closeAllConnections(QWebSocketProtocol::CloseCode code, const QString& reason)
{
    const QVector<FarmConnection*> connections = m_connections;
    for (FarmConnection* connection : connections)
        connection->close(code, reason);
    return connections.size();
}

int FarmSimulator::abortUserConnections(const QString& user)
{
    const QVector<FarmConnection*> connections = connectionsOf(user);
    for (FarmConnection* connection : connections)
        connection->abort();
    return connections.size();
}

int FarmSimulator::pingUser(const QString& user)
{
    int reached = 0;
    for (FarmConnection* connection : connectionsOf(user)) {
        if (connection->isOpen()) {
            connection->ping();
            ++reached;
        }
    }
    return reached;
}

qint64 FarmSimulator::bytesToWriteTo(const QString& user) const
{
    qint64 bytes = 0;
    for (const FarmConnection* connection : connectionsOf(user))
        bytes += connection->bytesToWrite();
    return bytes;
}

void FarmSimulator::acceptPendingConnections()
{
    while (QWebSocket* socket = m_server->nextPendingConnection()) {
        auto* connection = new FarmConnection(m_nextConnectionId++, socket, this);
        if (!connection->isAcceptable()) {
            qCDebug(lcFarmSim) << "refused" << connection->path() << ":" << connection->refusalReason();
            connect(connection, &FarmConnection::disconnected, connection, &QObject::deleteLater);
            emit connectionRefused(connection->path(), connection->refusalReason());
            connection->close(QWebSocketProtocol::CloseCodePolicyViolated, connection->refusalReason());
            continue;
        }
        m_connections.append(connection);
        connect(connection, &FarmConnection::textReceived, this, &FarmSimulator::handleText);
        connect(connection, &FarmConnection::disconnected, this, &FarmSimulator::handleDisconnected);
        connect(connection, &FarmConnection::pongReceived, this,
                [this](FarmConnection* from, quint64 elapsedMs) { emit pongReceived(from->queryUser(), elapsedMs); });
        qCDebug(lcFarmSim) << "connection" << connection->id() << "of" << connection->queryUser() << "on"
                           << connection->path();
        emit connectionOpened(connection->id(), connection->queryUser(), connection->prefix());
    }
}

void FarmSimulator::handleText(FarmConnection* connection, const QString& text)
{
    FarmReceivedMessage record;
    record.connectionId = connection->id();
    record.user = connection->queryUser();
    record.path = connection->path();
    record.prefix = connection->prefix();
    record.text = text;
    record.time = QDateTime::currentDateTimeUtc();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    record.isValid = parseError.error == QJsonParseError::NoError && document.isObject();
    if (record.isValid) {
        record.object = document.object();
        record.action = record.object.value(QStringLiteral("action")).toString();
    }
    m_received.append(record);
    // A login carries the password: only its action goes to the debug output.
    qCDebug(lcFarmSim) << "received from" << record.user << ":"
                       << (record.action == QStringLiteral("login") ? record.action : text.left(200));

    // Observers may close or push from their slots; the connection object
    // stays alive (deleteLater) but may be closed by then.
    QPointer<FarmConnection> guard(connection);
    emit messageReceived(m_received.size() - 1, record.user, record.action);
    if (!record.isValid) {
        qCDebug(lcFarmSim) << "not a JSON object - not answered:" << parseError.errorString();
        return;
    }
    if (!guard || !guard->isOpen())
        return;

    FarmRequest request;
    request.connection = connection;
    request.action = record.action;
    request.message = record.object;
    request.data = record.object.value(QStringLiteral("data")).toObject();
    m_dispatching = true;
    m_protocol->dispatch(request);
    m_dispatching = false;
    for (const QJsonObject& reply : qAsConst(request.replies))
        connection->sendText(QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)));
    const QVector<QPair<QString, QJsonObject>> held = std::exchange(m_heldPushes, {});
    for (const auto& push : held)
        pushToUser(push.first, push.second);
    if (request.closeAfterReplies)
        connection->close(request.closeCode, request.closeReason);
}

void FarmSimulator::deliverPush(const QString& user, const QJsonObject& message)
{
    if (m_dispatching)
        m_heldPushes.append(qMakePair(user, message));
    else
        pushToUser(user, message);
}

void FarmSimulator::handleDisconnected(FarmConnection* connection)
{
    if (!m_connections.removeOne(connection))
        return;
    qCDebug(lcFarmSim) << "connection" << connection->id() << "of" << connection->queryUser() << "closed";
    emit connectionClosed(connection->id(), connection->queryUser(), connection->prefix());
    connection->deleteLater();
}

QVector<FarmConnection*> FarmSimulator::connectionsOf(const QString& user) const
{
    QVector<FarmConnection*> matching;
    for (FarmConnection* connection : m_connections) {
        if (connection->queryUser() == user)
            matching.append(connection);
    }
    return matching;
}
