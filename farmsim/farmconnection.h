#pragma once

#include <QObject>
#include <QString>
#include <QWebSocketProtocol>

class QWebSocket;

// One accepted WebSocket of the simulator: who connected (the "username" of
// the query), on which path, and whether a login succeeded on it. Owns the
// socket; deletes itself some time after the socket is gone.
class FarmConnection : public QObject
{
    Q_OBJECT
public:
    // Takes ownership of `socket`.
    FarmConnection(int id, QWebSocket* socket, QObject* parent = nullptr);
    ~FarmConnection() override;

    int id() const { return m_id; }
    QString path() const { return m_path; }
    // The subdomain the client connected to: "<prefix>" of
    // "/<prefix>/queue/socket", empty for "/queue/socket".
    QString prefix() const { return m_prefix; }
    // The percent-decoded "username" query value.
    QString queryUser() const { return m_queryUser; }
    // True when the path and the query name a user the simulator serves.
    bool isAcceptable() const { return m_acceptable; }
    QString refusalReason() const { return m_refusalReason; }

    bool isLoggedIn() const { return m_loggedIn; }
    void setLoggedIn(bool loggedIn) { m_loggedIn = loggedIn; }
    bool isOpen() const;

    void sendText(const QString& text);
    void close(QWebSocketProtocol::CloseCode code, const QString& reason = QString());
    void abort();
    // A WebSocket ping; its pong is reported with the time it took.
    void ping();
    // Bytes written but not yet handed to the network: a ping waits behind them.
    qint64 bytesToWrite() const;

signals:
    void textReceived(FarmConnection* connection, const QString& text);
    void pongReceived(FarmConnection* connection, quint64 elapsedMs);
    void disconnected(FarmConnection* connection);

private:
    void parseRequest();

    int m_id;
    QWebSocket* m_socket;
    QString m_path;
    QString m_prefix;
    QString m_queryUser;
    QString m_refusalReason;
    bool m_acceptable = false;
    bool m_loggedIn = false;
};
