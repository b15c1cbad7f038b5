#pragma once

#include "farmaccounts.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>
#include <QWebSocketProtocol>

#include <functional>

class FarmConnection;
class FarmUserState;

// One received request while its handler runs, and what goes back.
struct FarmRequest
{
    FarmConnection* connection = nullptr;
    FarmUserState* state = nullptr; // the logged-in user's state; null before a login
    QString action;
    QJsonObject message; // the whole envelope
    QJsonObject data;    // its "data" member as object

    // Filled by the handler, sent in order on the same connection.
    QVector<QJsonObject> replies;
    bool closeAfterReplies = false;
    QWebSocketProtocol::CloseCode closeCode = QWebSocketProtocol::CloseCodeNormal;
    QString closeReason;

    // Queues {"action": action, "data": data} with the request's "custom"
    // member echoed unchanged when it had one.
    void answer(const QJsonValue& data);
    // Queues any other message (events that follow an answer).
    void send(const QJsonObject& message) { replies.append(message); }
    // Closes the connection once the replies are out.
    void closeAfter(QWebSocketProtocol::CloseCode code, const QString& reason);
};

// The farm side of the protocol: a table of handlers by action, the
// accounts, the per-user farm state and the issued login tokens. Transport
// lives in FarmSimulator; new actions are added with registerHandler().
class FarmProtocol : public QObject
{
    Q_OBJECT
public:
    enum class Access { Anyone, LoggedIn };
    using Handler = std::function<void(FarmRequest&)>;

    explicit FarmProtocol(QObject* parent = nullptr);

    FarmAccounts& accounts() { return m_accounts; }
    const FarmAccounts& accounts() const { return m_accounts; }
    void setAccounts(const FarmAccounts& accounts) { m_accounts = accounts; }
    // The account of the request's connection, null when there is none.
    const FarmAccount* accountOf(const FarmRequest& request) const;

    // Storage folder of the farm's files (FarmStorage describes the layout);
    // empty: none. Users known already get their folders at once.
    void setStorageRoot(const QString& dir);
    QString storageRoot() const { return m_storageRoot; }

    FarmUserState* userState(const QString& user) const { return m_states.value(user); }
    FarmUserState* ensureUserState(const QString& user);

    // --- rendering of submitted projects
    void setRenderPace(int ms) { m_renderPaceMs = ms; }
    int renderPace() const { return m_renderPaceMs; }
    // Frames of the projects submitted from now on.
    void setFrameCount(int frames) { m_frameCount = frames; }
    int frameCount() const { return m_frameCount; }
    // When off, submitted projects stay "RENDERABLE" until a renderer is
    // started for them (FarmUserState::startRendering).
    void setAutoRender(bool on) { m_autoRender = on; }
    bool autoRender() const { return m_autoRender; }
    // A new project id ("1001", "1002", ...), unique in the simulator.
    QString newProjectId() { return QString::number(m_nextProjectId++); }

    // --- answers the farm gives every user
    // "content" of the "autoupdate" answer.
    void setAutoupdateContent(const QJsonObject& content) { m_autoupdateContent = content; }
    QJsonObject autoupdateContent() const { return m_autoupdateContent; }
    // "getPluginConfig" for `program` ("max", "c4d", ...).
    void setPluginConfig(const QString& program, int version, const QString& content);
    QJsonObject pluginConfig(const QString& program) const;
    // "textureCacheLookup": a texture known by its checksum.
    void addCachedTexture(const QString& checksum, const QString& onlinePath);
    QString cachedTexture(const QString& checksum) const { return m_textureCache.value(checksum); }

    // A new random token, remembered for `state`'s user.
    QString issueToken(FarmUserState* state);
    QString userForToken(const QString& token) const { return m_tokenUsers.value(token); }

    // Adds or replaces the handler of `action`. Requests that need a login
    // and arrive before one are left unanswered.
    void registerHandler(const QString& action, Access access, Handler handler);
    bool hasHandler(const QString& action) const { return m_handlers.contains(action); }
    // Requests of an unanswered action are still recorded but not handled:
    // an answer lost on the farm's side.
    void setUnanswered(const QString& action, bool unanswered);
    bool isUnanswered(const QString& action) const { return m_unanswered.contains(action); }
    QStringList actions() const { return m_handlers.keys(); }

    // Runs the handler of request.action, filling request.replies.
    void dispatch(FarmRequest& request);

    static QJsonObject envelope(const QString& action, const QJsonValue& data, const QJsonObject& request);

signals:
    // A message for every connection of `user`.
    void pushRequested(const QString& user, const QJsonObject& message);
    void projectStatusChanged(const QString& user, const QString& name, const QString& status);
    void frameRendered(const QString& user, const QString& name, int frame);
    void fileReceived(const QString& user, const QString& fileName);

private:
    struct Entry
    {
        Access access = Access::LoggedIn;
        Handler handler;
    };

    FarmAccounts m_accounts;
    QString m_storageRoot;
    QHash<QString, Entry> m_handlers;
    QSet<QString> m_unanswered;
    QHash<QString, FarmUserState*> m_states;
    QHash<QString, QString> m_tokenUsers;
    int m_renderPaceMs = 500;
    int m_frameCount = 4;
    bool m_autoRender = true;
    int m_nextProjectId = 1001;
    QJsonObject m_autoupdateContent;
    QHash<QString, QJsonObject> m_pluginConfigs;
    QHash<QString, QString> m_textureCache;
};
