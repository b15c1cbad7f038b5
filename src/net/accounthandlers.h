#pragma once

#include <QJsonObject>
#include <QObject>

class KiteSettings;
class PluginNetConnection;

// The server's answers about the user's account: the login answer with its
// account options, user information, render points and the team list, which
// is written to files in the projects folder for the other plug-ins.
class AccountHandlers : public QObject
{
    Q_OBJECT
public:
    AccountHandlers(PluginNetConnection* plugin, KiteSettings* kiteSettings);

    void loginAnswer(const QJsonObject& message);
    void userInfoAnswer(const QJsonObject& message);
    void renderPointsAnswer(const QJsonObject& message);
    void renderPointsBought();
    void teamList(const QJsonObject& message);

    // Delay of the first update check after the first login of the process.
    static constexpr int firstUpdateCheckDelayMs = 10000;

private:
    void applyAccountOptions(const QJsonObject& data, const QJsonObject& message);
    void removeTeamFiles();
    void log(const QString& message, int level);

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
    int m_loginConnection = 0; // the connection of the last login
};
