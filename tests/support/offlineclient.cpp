#include "offlineclient.h"

#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>

OfflineClient::OfflineClient(const QString& user)
{
    QDir().mkpath(projectsFolder() + QLatin1Char('/') + user);
    {
        QSettings ini(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("UserData/username"), user);
        ini.setValue(QStringLiteral("UserData/firstRunDone"), true);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), projectsFolder());
        ini.setValue(QStringLiteral("Settings/logLevel"), 5);
        ini.setValue(QStringLiteral("Settings/kiteId"), QStringLiteral("kite-test-id"));
    }
    settings = new KiteSettings;
    settings->setApplicationDirectory(m_dir.path());
    settings->load();
    settings->syncActive = true;
    settings->loggedIn = true;

    plugin = new PluginNetConnection;
    plugin->setKiteSettings(settings);
    // Requests are recorded here instead of reaching a socket.
    disconnect(plugin, &PluginNetConnection::webSocketMessageSignal, nullptr, nullptr);
    connect(plugin, &PluginNetConnection::webSocketMessageSignal, this,
            [this](const QString& text) { m_sent << QJsonDocument::fromJson(text.toUtf8()).object(); });
    connect(settings, &KiteSettings::makeRequest, plugin,
            [this](QString action, QJsonObject data, KiteProject* job, QString custom) {
                plugin->makeRequest(action, data, job, custom);
            });
}

OfflineClient::~OfflineClient()
{
    delete plugin;
    delete settings;
    LogWriter::instance().close();
}

QString OfflineClient::userFolder() const
{
    return projectsFolder() + QLatin1Char('/') + settings->username;
}

QString OfflineClient::logText() const
{
    LogWriter::instance().close();
    QFile log(m_dir.filePath(QStringLiteral("logFile.log")));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

void OfflineClient::receive(const QJsonObject& message)
{
    plugin->parseJsonMessageSlot(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

QList<QJsonObject> OfflineClient::sent(const QString& action) const
{
    if (action.isEmpty())
        return m_sent;
    QList<QJsonObject> result;
    for (const QJsonObject& envelope : m_sent) {
        if (envelope.value(QStringLiteral("action")).toString() == action)
            result << envelope;
    }
    return result;
}

void OfflineClient::writeUserFile(const QString& relativePath, const QByteArray& content)
{
    const QString path = userFolder() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

void OfflineClient::writeJob(const QString& name, const QStringList& cfgLines, bool withScene)
{
    writeUserFile(name + QStringLiteral(".cfg"), cfgLines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n");
    if (withScene)
        writeUserFile(name, QByteArray("scene package of ") + name.toUtf8());
}

KiteProject* OfflineClient::addJob(const QString& name, const QString& id)
{
    auto* job = new KiteProject(settings, name, id, settings);
    settings->jobList.append(job);
    return job;
}

KiteProject* OfflineClient::job(const QString& name) const
{
    for (KiteProject* candidate : qAsConst(settings->jobList)) {
        if (candidate->name == name)
            return candidate;
    }
    return nullptr;
}
