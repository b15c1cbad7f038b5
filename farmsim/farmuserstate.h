#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// What the farm keeps for one user across connections and logins. Created at
// the user's first accepted login; the place for per-user farm state
// (projects, uploads, output files) as the simulator grows.
class FarmUserState : public QObject
{
    Q_OBJECT
public:
    // `storageDir` is the user's folder under the simulator's storage root,
    // empty when the simulator keeps no files.
    FarmUserState(const QString& user, const QString& storageDir, QObject* parent = nullptr);

    QString user() const { return m_user; }
    QString storageDir() const { return m_storageDir; }

    // Login tokens handed out by "getUserToken", oldest first.
    QStringList tokens() const { return m_tokens; }
    void addToken(const QString& token) { m_tokens.append(token); }

private:
    QString m_user;
    QString m_storageDir;
    QStringList m_tokens;
};
