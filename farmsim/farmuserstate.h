#pragma once

#include "farmproject.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

class FarmRenderer;

// A file the client sent with "sendFile", as received.
struct FarmReceivedFile
{
    QString fileName;
    QByteArray content; // the "content" text, UTF-8
    QDateTime time;     // arrival, UTC

    qint64 size() const { return content.size(); }
};

// What the farm keeps for one user across connections and logins: the
// storage folders, the projects list with the renderers working on it, the
// answers configured for the user and what the user sent. Created at the
// user's first accepted login, or earlier when a test configures the user.
//
// Changes that the farm announces (state, frame, deletion events) leave
// through pushRequested(); the simulator sends them to the user's
// connections.
class FarmUserState : public QObject
{
    Q_OBJECT
public:
    // `storageRoot` is the simulator's storage folder, empty when it keeps no
    // files; the user's folders below it are created here.
    FarmUserState(const QString& user, const QString& storageRoot, QObject* parent = nullptr);
    ~FarmUserState() override;

    QString user() const { return m_user; }

    // --- storage: empty paths when there is no storage folder or the user's
    // name cannot be a folder name ("..", "a/b", ...)
    void setStorageRoot(const QString& root);
    QString uploadDir() const { return m_uploadDir; }
    QString outputDir() const { return m_outputDir; }
    // "<outputDir>/<name>", empty when the job name is not a safe file name.
    QString jobOutputDir(const QString& name) const;

    // Login tokens handed out by "getUserToken", oldest first.
    QStringList tokens() const { return m_tokens; }
    void addToken(const QString& token) { m_tokens.append(token); }

    // --- projects, in registration order. Pointers stay valid until the
    // project is removed. Look-ups by name and id go through hashes.
    QVector<const FarmProject*> projects() const;
    int projectCount() const { return static_cast<int>(m_projects.size()); }
    FarmProject* project(const QString& name) const { return m_projectsByName.value(name); }
    FarmProject* projectById(const QString& id) const { return id.isEmpty() ? nullptr : m_projectsById.value(id); }
    // Adds the project, or gives an existing one of that name the new id
    // and status (render progress starts again). No event is pushed.
    FarmProject* addProject(const QString& name, const QString& id, const QString& status);
    // Adds `count` projects named "project00001", "project00002", ... (the
    // numbers go on from earlier calls; names taken are skipped), their
    // states going round "QUEUED", "RENDERING", "RENDERED" and "PAUSED". Each
    // gets its id from `newId` and `frameCount` frames; a rendered one has
    // all of them done. Nothing renders and no event is pushed. Returns the
    // number added.
    int addGeneratedProjects(int count, int frameCount, const std::function<QString()>& newId);
    // Stops its renderer and forgets it. No event is pushed.
    bool removeProject(const QString& name);
    // Sets the status and pushes "jobStateChange". "PAUSED" halts the
    // project's renderer, "RENDERING" or "QUEUED" resumes a halted one, any
    // other status ends it.
    bool setProjectStatus(const QString& name, const QString& status);

    // --- rendering: a renderer moves the project on every `paceMs`.
    bool startRendering(const QString& name, int paceMs);
    FarmRenderer* renderer(const QString& name) const { return m_renderers.value(name); }

    // Hands a message to every connection of the user.
    void push(const QJsonObject& message) { emit pushRequested(message); }
    // Tells that a frame was written (by the renderer).
    void reportFrameRendered(const QString& name, int frame) { emit frameRendered(name, frame); }

    // --- uploads the client announced: team id of "setuploadstarted" and the
    // last "setUploadProgress", by job name
    QHash<QString, int> uploadTeams;
    QHash<QString, int> uploadProgress;

    // --- "sshInfo": the answer's ports, and how many answers before them
    // report "Error" (negative: all of them).
    QJsonObject sshInfoPorts;
    int sshInfoFailures = 0;

    // --- files received with "sendFile", in arrival order
    QVector<FarmReceivedFile> receivedFiles() const { return m_receivedFiles; }
    void addReceivedFile(const FarmReceivedFile& file);

signals:
    void pushRequested(const QJsonObject& message);
    void projectStatusChanged(const QString& name, const QString& status);
    void frameRendered(const QString& name, int frame);
    void fileReceived(const QString& fileName);

private:
    void stopRendering(const QString& name);
    FarmProject* appendProject(const QString& name, const QString& id, const QString& status);

    QString m_user;
    QString m_uploadDir;
    QString m_outputDir;
    QStringList m_tokens;
    std::vector<std::unique_ptr<FarmProject>> m_projects;
    QHash<QString, FarmProject*> m_projectsByName;
    QHash<QString, FarmProject*> m_projectsById;
    int m_generatedProjects = 0;        // added by addGeneratedProjects
    int m_nextGeneratedNumber = 1;      // of the next generated name
    QHash<QString, FarmRenderer*> m_renderers;
    QVector<FarmReceivedFile> m_receivedFiles;
};
