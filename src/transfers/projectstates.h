#pragma once

#include <QSet>
#include <QString>

#include <memory>

#include "transfers/projectentry.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVector>

class KiteProject;
class KiteSettings;
class PluginNetConnection;

// Keeps the job list in step with the server: the projects list, pushed
// state, frame and progress events, and the lookups that tie a message to
// its job.
class ProjectStates : public QObject
{
    Q_OBJECT
public:
    // A server-requested download restart is repeated after this delay.
    static constexpr int restartDownloadRepeatMs = 20000;

    ProjectStates(PluginNetConnection* plugin, KiteSettings* kiteSettings);

    KiteProject* findJobByName(KiteProject* fallback, const QString& name, const QString& id);
    KiteProject* findJobById(KiteProject* fallback, const QString& id);
    // The job a received message concerns, or null.
    KiteProject* resolveJob(const QJsonObject& message);

    void projectsReply(const QJsonObject& message);
    void projectsReply(QVector<ProjectEntry> entries);
    void projectUploaded(KiteProject* job);
    void jobStateChange(const QJsonObject& message);
    void frameStateChange(const QJsonObject& message, KiteProject* job);
    void progressInfos(const QJsonObject& message, KiteProject* job);
    void jobOutOfPoints();
    void projectUploading(const QJsonObject& message, KiteProject* job);

    // Sends "getProjectStates" with the given reason in its custom object.
    void requestProjectStates(const QString& info);

    // Progress notification step in percent for a NotificationProgress value.
    static int progressStep(int notificationProgress);

    int restartRepeatMs = restartDownloadRepeatMs;

private:
    void mergeList(QJsonArray projects, QVector<ProjectEntry> entries);
    void mergeProject(const ProjectEntry& element, bool& anyCheck, KiteProject*& last);
    // What follows the merge of the whole list.
    void projectsMerged(bool anyCheck, KiteProject* last);
    void requestProgress(KiteProject* job, bool asRequestJob);
    void requestRenderPoints();
    void log(const QString& message, int level);

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
    // The cfg files of the user's folder while a projects list is merged.
    std::unique_ptr<QSet<QString>> m_cfgFiles;
};
