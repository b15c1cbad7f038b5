#pragma once

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>
#include <QWebSocket>

class KiteSettings;

// The one WebSocket to the farm's job-queue server. Opens on demand, logs in as
// soon as it is up, holds back one message while the login is not accepted,
// and hands every received text message unparsed to the dispatch.
class KiteWebSocketConnection : public QObject
{
    Q_OBJECT
public:
    static constexpr int connectTimeoutMs = 20000;
    // A hostile or broken server must not make the client buffer without bound.
    static constexpr qint64 maxIncomingMessageBytes = 64 * 1024 * 1024;
    // Pings in a row the server leaves unanswered, with nothing else heard
    // from it, before the connection is taken as lost. A peer that vanished
    // without closing (a sleeping router, a dropped network) leaves the
    // socket open for good otherwise, and every request goes nowhere.
    static constexpr int silentPingsLimit = 3;

    KiteWebSocketConnection(KiteSettings* kiteSettings, QObject* parent = nullptr);

    // Tests shorten the connect time-out and the size cap.
    void setConnectTimeout(int milliseconds);
    void setMaxIncomingMessageSize(qint64 bytes);

    // The URL the socket opens: base + "/queue/socket?username=" + the user name.
    static QUrl socketUrl(const QString& serverWss, const QString& username);

    QWebSocket webSocket;
    KiteSettings* kiteSettings = nullptr;
    QString messageAfterLoginBuffer;
    QTimer timeoutTimer;
    // Connections opened so far; tells a login on a new connection from a
    // repeated login answer.
    int openedConnections = 0;

signals:
    void pollSignal();
    void webSocketStateSignal();
    void parseJsonMessageSignal(QString message);
    void websocketTimeoutSignal();
    void websocketFailedSignal();

private slots:
    void onConnected();
    void onTextMessageReceived(QString message);
    void onTextFrameReceived(QString frame, bool isLastFrame);
    void onSslErrors(QList<QSslError> errors);

public slots:
    void connectWebSocketSlot();
    void disconnectWebSocketSlot();
    void reconnectWebSocketSlot();
    void websocketDisconnectedSlot();
    void webSocketMessageSlot(QString message);
    void websocketLoginStatusSlot(bool loginStatus);
    void timeOutSlot();
    void websocketPingSlot();
    void webSocketError(QAbstractSocket::SocketError error);

private:
    void log(const QString& message, int level);
    QString loginMessage() const;
    int m_connectTimeoutMs = connectTimeoutMs;
    int m_silentPings = 0;       // pings sent since the server was last heard
    bool m_heardSincePing = true; // a pong, a message or a frame of one since the last ping
};
