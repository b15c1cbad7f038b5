#pragma once

#include <QObject>
#include <QString>

class KiteSettings;
class PluginNetConnection;

// The client's side of the file protocol with the scene exporters: marker
// files in the projects folder ask for portal pages, a live upload or the
// texture listing; new cfg files in the user's folder are announced to the
// server, whose folder listing then feeds the projects scanner.
class ProjectsFolderWatch : public QObject
{
    Q_OBJECT
public:
    // Deleting a marker is retried at most this often in one pass.
    static constexpr int maxDeletionAttempts = 50;

    ProjectsFolderWatch(PluginNetConnection* plugin, KiteSettings* kiteSettings);

    // One pass over the projects folder; not re-entrant: a change during a
    // pass causes exactly one more pass afterwards.
    void directoryChanged(const QString& path);

private:
    void pass(const QString& path);
    bool removeMarker(const QString& file, int& attempts);
    void openPortalMarkers(int& attempts);
    void startRequestedTransfers();
    void announceNewJobs();
    void log(const QString& message, int level = 3);

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
};
