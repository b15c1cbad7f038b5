#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

// One farm account as the simulator knows it.
struct FarmAccount
{
    QString user;
    QString password;
    bool isTrial = false;      // answer of "getUserInfo"
    double renderPoints = 0;   // answer of "getRenderpoints"
    // Options sent with an accepted login ("teams", "enableTeams",
    // "subdomainWss", "maxRunningDownloads", ...). Every member is passed
    // through as it is, whatever its type.
    QJsonObject login;

    bool isBlocked() const { return login.value(QStringLiteral("isBlocked")).toBool(); }
    QJsonArray teams() const { return login.value(QStringLiteral("teams")).toArray(); }
};

// The accounts of the simulated farm, keyed by user name (case-sensitive).
//
// File format: a JSON object {"accounts": [ACCOUNT, ...]} or a bare array of
// accounts, where ACCOUNT is
//   {"user": "alice", "password": "secret", "isTrial": false,
//    "renderpoints": 120.5, "login": {"enableTeams": true, "teams": [...], ...}}
// "user" and "password" are required strings; the rest is optional.
class FarmAccounts
{
public:
    static bool fromJson(const QByteArray& json, FarmAccounts& accounts, QString* error = nullptr);
    static bool fromFile(const QString& path, FarmAccounts& accounts, QString* error = nullptr);

    // Adds or replaces the account of account.user.
    void insert(const FarmAccount& account);
    bool contains(const QString& user) const { return m_accounts.contains(user); }
    const FarmAccount* find(const QString& user) const;
    FarmAccount* find(const QString& user);
    QStringList users() const { return m_accounts.keys(); }
    int size() const { return m_accounts.size(); }

private:
    QMap<QString, FarmAccount> m_accounts;
};
