#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class KiteProject;
struct QueuedRequest;

// The requests whose answers move a job through its upload and download and
// that nothing else asks for again: the upload handshake ("createDirs",
// "getTexFolderContents", "checkFiles", "addjob"), the output listing
// ("getOutputDir") and the listing of the projects folder on the server
// ("getProjectFolderContents"). An answer lost with the connection (or a
// request that never left, because the connection holds only one message
// while it is down) would leave its job waiting for good; after the next
// login on a new connection these requests are sent again.
//
// "addjob" starts a render on the farm, so it is sent again only when the
// projects list that follows the login shows the job not submitted (the
// server never saw the request).
class PendingAnswers : public QObject
{
    Q_OBJECT

public:
    // Makes a request again; the plug-in's own request path.
    using Sender = std::function<void(const QString& action, const QJsonObject& data, KiteProject* job,
                                      const QString& custom, const QString& customAction)>;

    explicit PendingAnswers(Sender sender, QObject* parent = nullptr);

    static bool isTracked(const QString& action);

    // A request was handed to the connection (requests waiting in the
    // request queue are not recorded: the queue keeps them over a lost
    // connection).
    void sent(const QueuedRequest& request);
    // Its answer came.
    void answered(const QString& action, KiteProject* job);

    // Logged in on a new connection: the unanswered requests are sent again
    // (through the request queue, which paces them), except `held` (the
    // message the connection kept while it was down and sends itself now) and
    // "addjob", which waits for the projects list.
    void loggedInAgain(const QString& held);
    // The projects list came: "addjob" of a job it shows not submitted is
    // sent again.
    void projectsListed();

    int unansweredCount() const { return int(m_entries.size()); }

private:
    struct Entry
    {
        QPointer<KiteProject> job;
        bool forJob = false;
        QString action;
        QJsonObject data;
        QString custom;
        QString customAction;
        QString text;
        bool awaitsProjectsList = false;
        // Asked again and still waiting in the request queue, which keeps
        // it over a lost connection.
        bool askedAgain = false;
    };

    static QString key(const QString& action, const KiteProject* job);
    bool stillWanted(const Entry& entry) const;
    void sendAgain(const QStringList& keys);

    Sender m_send;
    QHash<QString, Entry> m_entries;
};
