#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

class KiteProject;
class KiteSettings;
class PluginNetConnection;

// Settings and plug-in in a temporary folder with the connection cut off:
// every request the plug-in makes is recorded instead of sent, and messages
// from the server are fed in directly.
class OfflineClient : public QObject
{
    Q_OBJECT
public:
    explicit OfflineClient(const QString& user = QStringLiteral("anna"));
    ~OfflineClient() override;

    QString projectsFolder() const { return m_dir.filePath(QStringLiteral("projects")); }
    QString userFolder() const;
    QString appDir() const { return m_dir.path(); }
    // The shared log as written so far.
    QString logText() const;

    // Feeds one message from the server into the dispatch.
    void receive(const QJsonObject& message);

    // Requests the plug-in made, in order; optionally only those of one action.
    QList<QJsonObject> sent(const QString& action = QString()) const;
    void clearSent() { m_sent.clear(); }

    // Writes a file below the user's folder (folders are made as needed).
    void writeUserFile(const QString& relativePath, const QByteArray& content);
    // Writes <name>.cfg with the given lines (CR LF) and, optionally, the scene package.
    void writeJob(const QString& name, const QStringList& cfgLines, bool withScene = true);

    KiteProject* addJob(const QString& name, const QString& id = QString());
    KiteProject* job(const QString& name) const;

    KiteSettings* settings = nullptr;
    PluginNetConnection* plugin = nullptr;

private:
    QTemporaryDir m_dir;
    QList<QJsonObject> m_sent;
};
