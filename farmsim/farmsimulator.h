#pragma once

#include "farmaccounts.h"
#include "farmuserstate.h"

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
    FarmUserState* userState(const QString& user) const;
    // The user's state, created when the user has none yet (to configure a
    // user before the login).
    FarmUserState* ensureUserState(const QString& user);
    QStringList issuedTokens(const QString& user) const;
    QString userForToken(const QString& token) const;
    FarmProtocol* protocol() const { return m_protocol; }
    // Requests of `action` are recorded but get no answer and cause nothing
    // (an answer the farm loses), until switched back.
    void setUnanswered(const QString& action, bool unanswered = true);

    // --- storage (layout: FarmStorage) and rendering; implemented in
    // farmsimulatorjobs.cpp
    void setStorageRoot(const QString& dir);
    QString storageRoot() const;
    // "<root>/upload/<user>"; empty without a root or for a user name that
    // cannot be a folder name.
    QString uploadDir(const QString& user) const;
    // "<root>/output/<user>/<jobName>"; empty likewise.
    QString outputDir(const QString& user, const QString& jobName) const;
    // Interval of the render steps of projects started from now on (and of
    // those resumed); 0 steps as fast as the event loop goes.
    void setRenderPace(int ms);
    int renderPace() const;
    // Frames of the projects submitted from now on (default 4).
    void setFrameCount(int frames);
    // Off: submitted projects wait as "RENDERABLE" until startRendering().
    void setAutoRender(bool on);

    // --- the user's projects list
    // Adds a project (or resets the one of that name) with a new id; no
    // event is pushed. Returns the id.
    QString addProject(const QString& user, const QString& name, const QString& status = QStringLiteral("RENDERABLE"));
    // Gives the user `count` more projects for a long projects list:
    // "project00001", "project00002", ... in the states "QUEUED",
    // "RENDERING", "RENDERED" and "PAUSED" in turn, with ids and the usual
    // list fields, no files and nothing rendering; no event is pushed.
    // Returns how many were added.
    int addProjects(const QString& user, int count);
    // Null when the user has no such project; valid until it is removed.
    FarmProject* project(const QString& user, const QString& name) const;
    QStringList projectNames(const QString& user) const;
    // Sets the status and pushes {"action": "jobStateChange",
    // "data": {"jobid": ID, "state": STATUS}}; "PAUSED" halts the project's
    // renderer, "QUEUED"/"RENDERING" resume it.
    bool setProjectStatus(const QString& user, const QString& name, const QString& status);
    // Starts (or resumes) rendering the project at the current pace.
    bool startRendering(const QString& user, const QString& name);
    // Forgets the project, removes its base files, its check mark and its
    // output when `removeFiles`, and pushes {"action": "projectDeleted",
    // "data": {"scene": NAME}}. False (nothing pushed) for an unknown project.
    bool deleteProject(const QString& user, const QString& name, bool removeFiles = true);

    // --- pushes of farm events; each returns how many connections it reached
    // {"action": "frameStateChange", "data": {"jobid", "id", "scene", "frame", "state": "RENDERED"}}
    int pushFrameStateChange(const QString& user, const QString& name, int frame);
    // {"action": "projectUploading", "data": {"scene": NAME}}
    int pushProjectUploading(const QString& user, const QString& name);
    // {"action": "jobOutOfPoints", "data": {}}
    int pushOutOfPoints(const QString& user);
    // {"action": "autoupdatesignal", "data": {"time": MINUTES}}
    int pushAutoupdateSignal(const QString& user, int minutes);

    // --- maintenance answers
    void setSshInfoPorts(const QString& user, int port1, int port2, int port3);
    // The next `count` "sshInfo" answers report "Error"; negative: all.
    void setSshInfoFailures(const QString& user, int count);
    void setAutoupdateContent(const QJsonObject& content);
    void setPluginConfig(const QString& program, int version, const QString& content);
    void addCachedTexture(const QString& checksum, const QString& onlinePath);
    // Files received with "sendFile", in arrival order.
    QVector<FarmReceivedFile> receivedFiles(const QString& user) const;

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
    // Gives the record's memory back too (a cleared vector keeps it).
    void clearReceivedMessages() { m_received = QVector<FarmReceivedMessage>(); }

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
    // Sends a WebSocket ping on every open connection of `user`; each pong
    // comes back as pongReceived.
    int pingUser(const QString& user);
    // What `user`'s connections still have to send.
    qint64 bytesToWriteTo(const QString& user) const;

signals:
    // `index` is the message's place in receivedMessages().
    void messageReceived(int index, const QString& user, const QString& action);
    void connectionOpened(int connectionId, const QString& user, const QString& prefix);
    void connectionClosed(int connectionId, const QString& user, const QString& prefix);
    void connectionRefused(const QString& path, const QString& reason);
    // The client answered a ping after `elapsedMs`.
    void pongReceived(const QString& user, quint64 elapsedMs);
    // Farm events, after their pushes went out.
    void projectStatusChanged(const QString& user, const QString& name, const QString& status);
    void frameRendered(const QString& user, const QString& name, int frame);
    void fileReceived(const QString& user, const QString& fileName);

private:
    // Pushes requested while a message is being handled wait until its
    // answers are out, so that an answer precedes the events it causes.
    void deliverPush(const QString& user, const QJsonObject& message);
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
    bool m_dispatching = false;
    QVector<QPair<QString, QJsonObject>> m_heldPushes;
};
