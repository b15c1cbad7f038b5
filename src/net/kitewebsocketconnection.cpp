#include "net/kitewebsocketconnection.h"

#include "net/logindata.h"
#include "net/netlogging.h"
#include "settings/kitesettings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace {
bool isSecretBearing(const QString& message)
{
    // Login answers carry the transfer password, token answers a login token.
    return message.contains(QLatin1String("customFtpPass")) || message.contains(QLatin1String("\"token\""));
}
} // namespace

KiteWebSocketConnection::KiteWebSocketConnection(KiteSettings* settings, QObject* parent)
    : QObject(parent)
    , webSocket(QString(), QWebSocketProtocol::VersionLatest)
    , kiteSettings(settings)
{
    kiteSettings->websocketLoggedIn = false;
    timeoutTimer.setSingleShot(true);
    setMaxIncomingMessageSize(maxIncomingMessageBytes);

    connect(&webSocket, &QWebSocket::connected, this, &KiteWebSocketConnection::onConnected);
    connect(&webSocket, &QWebSocket::disconnected, this, &KiteWebSocketConnection::websocketDisconnectedSlot);
    connect(&webSocket, &QWebSocket::textMessageReceived, this, &KiteWebSocketConnection::onTextMessageReceived);
    connect(&webSocket, &QWebSocket::pong, this, [this] { m_heardSincePing = true; });
    // A large message arrives in frames: each one is the server heard, so a
    // message longer in transit than three pings apart keeps its connection.
    connect(&webSocket, &QWebSocket::textFrameReceived, this, [this] { m_heardSincePing = true; });
    connect(&webSocket, &QWebSocket::binaryFrameReceived, this, [this] { m_heardSincePing = true; });
    connect(&webSocket, &QWebSocket::sslErrors, this, &KiteWebSocketConnection::onSslErrors);
    connect(&webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &KiteWebSocketConnection::webSocketError);
    connect(&timeoutTimer, &QTimer::timeout, this, &KiteWebSocketConnection::timeOutSlot);
}

void KiteWebSocketConnection::setConnectTimeout(int milliseconds)
{
    m_connectTimeoutMs = milliseconds;
}

void KiteWebSocketConnection::setMaxIncomingMessageSize(qint64 bytes)
{
    webSocket.setMaxAllowedIncomingMessageSize(static_cast<quint64>(bytes));
    webSocket.setMaxAllowedIncomingFrameSize(static_cast<quint64>(bytes));
}

void KiteWebSocketConnection::log(const QString& message, int level)
{
    kiteSettings->writeToLog(message, level);
}

QUrl KiteWebSocketConnection::socketUrl(const QString& serverWss, const QString& username)
{
    // The user name is percent-encoded so that "&", "#" or blanks in it reach
    // the server as part of the name instead of cutting the query.
    const QString text = serverWss + QStringLiteral("/queue/socket?username=")
        + QString::fromLatin1(QUrl::toPercentEncoding(username));
    return QUrl(text, QUrl::TolerantMode);
}

void KiteWebSocketConnection::connectWebSocketSlot()
{
    webSocket.setProxy(kiteSettings->applicationProxy);
    log(QStringLiteral("proxy setting: ") + QString::number(kiteSettings->proxySettingHTTP), 0);
    log(QStringLiteral("websocket proxy: ") + QString::number(webSocket.proxy().type()), 3);

    const QUrl url = socketUrl(kiteSettings->serverWss, kiteSettings->username);
    log(QStringLiteral("websocket url: ") + url.toString(), 3);
    webSocket.open(url);
    timeoutTimer.start(m_connectTimeoutMs);
}

QString KiteWebSocketConnection::loginMessage() const
{
    QJsonObject data = loginData(kiteSettings);
    data.insert(QStringLiteral("getTeams"), QStringLiteral("getTeams"));
    const QJsonObject envelope{{QStringLiteral("action"), QStringLiteral("login")}, {QStringLiteral("data"), data}};
    return QString::fromUtf8(QJsonDocument(envelope).toJson(QJsonDocument::Compact));
}

void KiteWebSocketConnection::onConnected()
{
    ++openedConnections;
    m_silentPings = 0;
    m_heardSincePing = true;
    timeoutTimer.stop();
    qCDebug(lcNet) << "timeoutTimer.stop();";
    qCDebug(lcNet) << "Websocket connected, login" << webSocket.proxy().type();
    webSocket.sendTextMessage(loginMessage());
}

namespace {
// The action of a request this plug-in made: its envelope is compact JSON
// with the keys in order, so it starts with the action; anything else is
// parsed.
QString actionOf(const QString& message)
{
    static const QString head = QStringLiteral("{\"action\":\"");
    if (message.startsWith(head)) {
        const int end = message.indexOf(QLatin1Char('"'), head.size());
        const QStringRef action = message.midRef(head.size(), end - head.size());
        if (end > 0 && !action.contains(QLatin1Char('\\')))
            return action.toString();
    }
    return QJsonDocument::fromJson(message.toUtf8()).object().value(QStringLiteral("action")).toString();
}
} // namespace

void KiteWebSocketConnection::webSocketMessageSlot(QString message)
{
    const QString action = actionOf(message);
    const bool isLogin = action == QLatin1String("login");
    const bool isSendFile = action == QLatin1String("sendFile");

    if (kiteSettings->websocketLoggedIn && webSocket.state() == QAbstractSocket::ConnectedState) {
        if (isLogin)
            log(QStringLiteral("websocketIsLoggedIn send login message"), 3);
        else if (!isSendFile)
            log(QStringLiteral("websocketIsLoggedIn send message: ") + message, 3);
        webSocket.sendTextMessage(message);
        return;
    }

    if (isLogin) {
        // The login that goes out is the one built when the socket is up.
        log(QStringLiteral("webSocket not logged in, send login message"), 3);
        connectWebSocketSlot();
        return;
    }
    if (!isSendFile)
        log(QStringLiteral("webSocket not logged in, store message: ") + message, 3);
    messageAfterLoginBuffer = message;
    connectWebSocketSlot();
}

void KiteWebSocketConnection::websocketLoginStatusSlot(bool loginStatus)
{
    qCDebug(lcNet) << "websocketloginStatusSlot: " << loginStatus;
    if (!loginStatus)
        return;
    qCDebug(lcNet) << "set status logged in and connected";
    if (!messageAfterLoginBuffer.isEmpty()) {
        qCDebug(lcNet) << "send messageAfterLoginBuffer";
        const QString held = messageAfterLoginBuffer;
        messageAfterLoginBuffer.clear();
        webSocketMessageSlot(held);
    }
}

void KiteWebSocketConnection::onTextMessageReceived(QString message)
{
    m_heardSincePing = true;
    // A large message is only looked at when its line reaches the log.
    if (kiteSettings->logs(3)) {
        if (message.contains(QLatin1String("customFtpPass")))
            log(QStringLiteral("KiteWebSocketConnection::onTextMessageReceived login"), 4);
        else if (message.contains(QLatin1String("\"program\": ")))
            log(QStringLiteral("KiteWebSocketConnection::onTextMessageReceived: plugs.cfg received"), 3);
        else if (isSecretBearing(message))
            log(QStringLiteral("KiteWebSocketConnection::onTextMessageReceived token"), 4);
        else if (kiteSettings->logs(4))
            log(QStringLiteral("KiteWebSocketConnection::onTextMessageReceived:") + message, 4);
    }
    emit parseJsonMessageSignal(message);
}

void KiteWebSocketConnection::onTextFrameReceived(QString frame, bool)
{
    qCDebug(lcNet) << "frame received:" << frame.size() << "characters";
}

void KiteWebSocketConnection::onSslErrors(QList<QSslError>)
{
    // Certificate errors are not ignored: the handshake fails and the socket
    // reports the error and the disconnect.
}

void KiteWebSocketConnection::websocketPingSlot()
{
    log(QStringLiteral("ping"), 3);
    qCDebug(lcNet) << "websocket ping";
    if (webSocket.state() == QAbstractSocket::ConnectedState) {
        m_silentPings = m_heardSincePing ? 0 : m_silentPings + 1;
        m_heardSincePing = false;
        if (m_silentPings >= silentPingsLimit) {
            log(QStringLiteral("no answer from the server to the last %1 pings, the connection is taken as lost")
                    .arg(m_silentPings),
                0);
            m_silentPings = 0;
            m_heardSincePing = true;
            // Closes the socket here and now; the disconnect goes the usual way.
            webSocket.abort();
            return;
        }
    }
    webSocket.ping();
}

void KiteWebSocketConnection::disconnectWebSocketSlot()
{
    qCDebug(lcNet) << "disconnectWebsocketSlot";
    if (webSocket.state() == QAbstractSocket::ConnectedState)
        webSocket.close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("user logout"));
}

void KiteWebSocketConnection::reconnectWebSocketSlot()
{
    qCDebug(lcNet) << "130 reconnectWebsocketSlot";
    qCDebug(lcNet) << "disconnectWebsocketSlot";
    if (webSocket.state() == QAbstractSocket::ConnectedState)
        webSocket.close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("user logout"));
    connectWebSocketSlot();
}

void KiteWebSocketConnection::timeOutSlot()
{
    qCDebug(lcNet) << "websocket timeout";
    log(QStringLiteral("websocket timeout"), 3);
    if (!kiteSettings->websocketTimeoutMuted)
        emit websocketTimeoutSignal();
}

void KiteWebSocketConnection::webSocketError(QAbstractSocket::SocketError error)
{
    qCDebug(lcNet) << "231 websocketError: " << error;
    kiteSettings->websocketLoggedIn = false;
}

void KiteWebSocketConnection::websocketDisconnectedSlot()
{
    log(QStringLiteral("websocket disconnected slot ") + webSocket.errorString(), 3);
    if (webSocket.closeCode() == QWebSocketProtocol::CloseCodeTooMuchData)
        log(QStringLiteral("message from the server larger than %1 bytes, connection closed")
                .arg(webSocket.maxAllowedIncomingMessageSize()),
            0);
    kiteSettings->websocketLoggedIn = false;
    if (kiteSettings->loggedIn) {
        kiteSettings->loggedIn = false;
        emit websocketTimeoutSignal();
        return;
    }
    qCDebug(lcNet) << "websocketFailedSignal";
    webSocket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    emit websocketFailedSignal();
}
