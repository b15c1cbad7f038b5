#pragma once

#include "farmaccounts.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVector>
#include <QWebSocketProtocol>

class FarmConnection;
class FarmProtocol;
class FarmUserState;
class QWebSocketServer;

// One text message the simulator received, as recorded for inspection.
struct FarmReceivedMessage
{
    int connectionId = 0;
    QString user;        // the connection's "username" query value
    QString path;        // the request path, e.g. "/eu1/queue/socket"
    QString prefix;      // the subdomain part of the path ("eu1"), empty for "/queue/socket"
    QString action;      // "action" of the message, empty when it is not a JSON object
    QJsonObject object;  // the parsed message, empty when it is not a JSON object
    QString text;        // the message exactly as received
    QDateTime time;      // arrival, UTC
    bool isValid = false; // text was one JSON object
};

// Stand-in for the farm's job-queue server on a loopback address: a
// QWebSocketServer (ws:// or, given a certificate, wss://) that accepts
// "/queue/socket?username=NAME" and "/<prefix>/queue/socket?username=NAME",
// answers the protocol through FarmProtocol, records every received message
// and lets tests push messages, drop connections and stop listening.
class FarmSimulator : public QObject
{
    Q_OBJECT
public:
    explicit FarmSimulator(QObject* parent = nullptr);
    ~FarmSimulator() override;

    // --- accounts and per-user state
    bool loadAccounts(const QString& path, QString* error = nullptr);
    void setAccounts(const FarmAccounts& accounts);
    FarmAccounts& accounts();
    bool setRenderPoints(const QString& user, double points);
    bool setTrial(const QString& user, bool isTrial);
    // Sets one member of the user's login options (passed through as it is).
    bool setLoginOption(const QString& user, const QString& key, const QJsonValue& value);
    void setStorageRoot(const QString& dir);
    FarmUserState* userState(const QString& user) const;
    QStringList issuedTokens(const QString& user) const;
    QString userForToken(const QString& token) const;
    FarmProtocol* protocol() const { return m_protocol; }

    // --- TLS; call before the first listen()
    void setSslConfiguration(const QSslConfiguration& configuration);
    bool loadTls(const QString& certificatePemPath, const QString& keyPemPath, QString* error = nullptr);
    bool isSecure() const { return m_secure; }

    // --- listening; only loopback addresses are accepted
    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    // Stops accepting connections; open connections stay.
    void stopListening();
    // Listens again on the address and port of the last successful listen().
    bool resumeListening();
    bool isListening() const;
    QHostAddress serverAddress() const { return m_address; }
    quint16 serverPort() const { return m_port; }
    // "ws://127.0.0.1:PORT" (or "wss://..."); no trailing slash.
    QUrl serverUrl() const;
    // The socket URL a client of `user` opens, optionally under a prefix.
    QUrl socketUrl(const QString& user, const QString& prefix = QString()) const;
    QString errorString() const { return m_errorString; }

    // --- connections: accepted ones whose close has not been reported yet
    int connectionCount() const;
    int connectionCount(const QString& user) const;
    QStringList connectedUsers() const;
    // Prefixes of the user's connections, in connection order.
    QStringList connectionPrefixes(const QString& user) const;
    bool isLoggedIn(const QString& user) const;

    // --- received messages, in arrival order
    QVector<FarmReceivedMessage> receivedMessages() const { return m_received; }
    QVector<FarmReceivedMessage> receivedMessages(const QString& action) const;
    int receivedCount(const QString& action = QString()) const;
    void clearReceivedMessages() { m_received.clear(); }

    // --- pushes to every open connection of `user`, logged in or not; each
    // returns how many connections it reached. A raw text is sent as it is
    // (garbage, truncated JSON).
    int pushToUser(const QString& user, const QJsonObject& message);
    int pushRawToUser(const QString& user, const QString& text);
    int closeUserConnections(const QString& user,
                             QWebSocketProtocol::CloseCode code = QWebSocketProtocol::CloseCodeNormal,
                             const QString& reason = QString());
    int closeAllConnections(QWebSocketProtocol::CloseCode code = QWebSocketProtocol::CloseCodeNormal,
                            const QString& reason = QString());
    // Drops the TCP connections without a closing handshake.
    int abortUserConnections(const QString& user);

signals:
    // `index` is the message's place in receivedMessages().
    void messageReceived(int index, const QString& user, const QString& action);
    void connectionOpened(int connectionId, const QString& user, const QString& prefix);
    void connectionClosed(int connectionId, const QString& user, const QString& prefix);
    void connectionRefused(const QString& path, const QString& reason);

private:
    void acceptPendingConnections();
    void handleText(FarmConnection* connection, const QString& text);
    void handleDisconnected(FarmConnection* connection);
    QVector<FarmConnection*> connectionsOf(const QString& user) const;

    FarmProtocol* m_protocol = nullptr;
    QWebSocketServer* m_server = nullptr;
    QSslConfiguration m_sslConfiguration;
    bool m_secure = false;
    QHostAddress m_address;
    quint16 m_port = 0;
    QString m_errorString;
    int m_nextConnectionId = 1;
    QVector<FarmConnection*> m_connections; // accepted and still open
    QVector<FarmReceivedMessage> m_received;
};
