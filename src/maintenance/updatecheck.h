#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

class KiteProject;
class KiteSettings;
class PluginNetConnection;

// Update checks of the client and of the render-application plug-ins it
// installed: when to ask the server (with a random delay when the server
// announces an update to all clients), which installed versions to report
// (applications that are not installed get the version 99999, so the host
// offers no update for them), the "autoupdate" request, the download job for
// the files the host chose, and the plug-in configuration files the server
// sends. Comparing versions and installing files is the host's work.
class UpdateCheck : public QObject
{
    Q_OBJECT
public:
    // The version of an application that is not installed.
    static constexpr int notInstalled = 99999;
    // Download priority and name of the update job.
    static constexpr int updateJobPriority = 99999;
    static const QString updateJobName;

    UpdateCheck(PluginNetConnection* plugin, KiteSettings* kiteSettings);

    // The push "autoupdatesignal": the check runs at a random moment within
    // data."time" minutes (within one second for 0).
    void autoupdateSignal(const QJsonObject& message);
    // Refreshes the installed versions from settings.ini and sends "autoupdate".
    void checkforUpdates();
    // Queues the update job for the downloader; entries are "NAME:SIZE", the
    // name relative to KiteSettings::pluginFolder.
    void downloadUpdateFiles(const QStringList& updateFileListe);
    // The answer to "getPluginConfig": writes plugs.cfg or c4d_plugs.cfg.
    void pluginConfigAnswer(const QJsonObject& message);

    // windowSeconds × (r / 32767) × 1000 in single precision, truncated; a
    // window of 0 minutes counts as one second. r lies in 0..32767.
    static int randomDelayMs(int windowMinutes, int r);
    // Whether an update file's name stays inside the folder it is joined to.
    static bool isSafeRelativePath(const QString& name);

private:
    void readInstalledVersions();
    void log(const QString& message, int level);

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
};
