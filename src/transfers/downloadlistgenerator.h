#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class KiteProject;
class KiteSettings;
class PluginNetConnection;

// Decides which jobs are due for a look at their output on the server, makes
// sure each has a local download folder, asks the server for the output
// listing ("getOutputDir") and hands the listing on to the DownloadListUpdater
// through the plug-in's fileListUpdateSignal.
class DownloadListGenerator : public QObject
{
    Q_OBJECT
public:
    DownloadListGenerator(PluginNetConnection* plugin, KiteSettings* kiteSettings);

    // A job is out of render points when it is a team job whose team has no
    // paid render points, or an own job while the user's account has none.
    static bool isOutOfRenderPoints(const KiteProject* job, const KiteSettings* kiteSettings);
    // The "getOutputDir" request for a job, with the job as request job.
    static void requestOutputDir(PluginNetConnection* plugin, KiteProject* job);

    // Passes asked for by events (a projects list, a progress report, a
    // finished download) run after the event, at most one per turn of the
    // event loop and, while they keep coming, one every passIntervalMs: a
    // burst of events costs a few passes, not one per event.
    static constexpr int passIntervalMs = 500;
    static constexpr int sliceMs = 5;
    void requestPass();
    // The next requestPass() is on behalf of this job only: the pass looks
    // at it alone (unless a whole pass is due anyway).
    void dueJob(KiteProject* job);
    // One pass over the job list, now.
    void generateDownloadFileList();
    // The server's answer to "getOutputDir", for the job the dispatch resolved.
    void outputDirReply(const QJsonObject& message, KiteProject* job);

private:
    void runRequestedPass();
    void logPassStart();
    // One job's turn in a pass.
    void passOver(KiteProject* job, bool verbose);
    void log(const QString& message, int level = 3);

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
    QTimer m_passTimer;
    QElapsedTimer m_sinceLastPass;
    bool m_wholePass = false;
    QPointer<KiteProject> m_dueHint;
    QList<QPointer<KiteProject>> m_dueJobs;
    // The pass under way, sliced over turns of the event loop.
    QList<QPointer<KiteProject>> m_passJobs;
    int m_passNext = 0;
};
