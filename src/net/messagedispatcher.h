#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

class AccountHandlers;
class KiteProject;
class KiteSettings;
class PluginNetConnection;
class ProjectStates;

// Parses every text message from the server and calls the handler of its
// action. The order of the tests is fixed: a message is compared with every
// row in turn, and only some rows end the dispatch.
class MessageDispatcher : public QObject
{
    Q_OBJECT
public:
    MessageDispatcher(PluginNetConnection* plugin, KiteSettings* kiteSettings, AccountHandlers* accounts,
                      ProjectStates* projectStates);

    void dispatch(const QString& message);

    // Answers an application request that the server forwarded for a job.
    void sendResult(KiteProject* job, const QJsonObject& request, const QString& action, bool error);

    // The nine requests that exporter applications send for a job.
    static bool isApplicationRequest(const QString& action);

private:
    // Reads `text` as the projects list in its plain form and hands the list
    // on; false when it is not that list in that form.
    bool projectsListRead(const QByteArray& text);
    void applicationRequest(const QString& action, const QJsonObject& data, KiteProject* job);
    void openLinkWithToken(const QJsonObject& message);
    void log(const QString& message, int level);

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
    AccountHandlers* m_accounts;
    ProjectStates* m_projectStates;
};
