#pragma once

#include <QHash>
#include <QJsonArray>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class KiteProject;
class KiteSettings;

// Turns the server's output listing of one job into the job's download list:
// every listed file is compared with what lies in the job's local download
// folder and is found complete, fetched, resumed, or held for the user's
// permission to overwrite it. Then the job's download is started, or, when
// nothing is left to fetch and the job has stopped rendering, reported
// finished. One instance serves all jobs; all state lives in the jobs.
//
// Names from the listing are joined to the local folder only when they stay
// inside it (OutputPaths); any other name is skipped with a log line.
class DownloadListUpdater : public QObject
{
    Q_OBJECT
public:
    // Files of exactly this size in a listing are never downloaded.
    static constexpr qint64 ignoredFileSize = 128;

    explicit DownloadListUpdater(KiteSettings* kiteSettings, QObject* parent = nullptr);

public slots:
    void fileListUpdateSlot(QJsonArray fileNames, QJsonArray dirListServer, KiteProject* jobObject);

signals:
    void generateDownloadFileListSignal();
    void downloadJobSignal();
    void jobDownloadFinishedSignal(KiteProject* jobObject, int error);
    // Delivered to the job of the listing at hand (its confirmOverwriteSlot).
    void confirmOverwriteSignal(bool confirm, bool all, bool ignore);
    // The job's output is to be looked at again by the next pass.
    void jobDueSignal(KiteProject* job);

private:
    // What already lies in the job's local folder.
    struct LocalInventory
    {
        QHash<QString, qint64> sizes;  // relative path -> size
        QSet<QString> interrupted;     // relative paths with a ".dlstarted" marker
    };

    void routeOverwriteQuestions(KiteProject* job);
    LocalInventory buildInventory(const QString& localDir, const QJsonArray& dirListServer, int listedFiles,
                                  KiteProject* job);
    void compareListing(const QJsonArray& fileNames, const LocalInventory& local, KiteProject* job);
    void startOrFinish(KiteProject* job);
    void log(const QString& message, int level = 3);

    KiteSettings* kiteSettings;
    QPointer<KiteProject> m_overwriteTarget;
    QMetaObject::Connection m_overwriteRoute;
};
