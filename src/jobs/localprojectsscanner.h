#pragma once

#include <QHash>
#include <QJsonArray>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVector>

class CfgReader;
class InboundQueue;
class KiteProject;
class KiteSettings;

// Turns the server's listing of the user's upload folder and the local
// projects folder into jobs: creates or refreshes a job for every local cfg,
// marks jobs the server has checked as uploaded, and hands every job that
// still has to be uploaded to the upload.
class LocalProjectsScanner : public QObject
{
    Q_OBJECT
public:
    LocalProjectsScanner(KiteSettings* kiteSettings, QObject* parent = nullptr);

    KiteSettings* kiteSettings = nullptr;

    // The queue of the server's messages: with it, a scan of many cfg files
    // goes over several of its slices; without it, the scan runs at once.
    void setInboundQueue(InboundQueue* queue);

signals:
    void jobForUploadSignal(KiteProject* jobForUpload);
    void currentJobNameSignal(QString currentJobName);
    void getProjectStatesSignal();
    void buildRenderJobSubmenuSignal();

public slots:
    void scanProjectsSlot(QJsonArray fileNames, int serverNumberUpload);

private:
    // The server's listing: file name -> the sizes of the entries of that name.
    using ServerFiles = QHash<QString, QVector<qint64>>;
    struct Scan
    {
        CfgReader* reader = nullptr;
        QString userFolder;
        ServerFiles serverFiles;
        int serverNumberUpload = 0;
        QStringList files; // of the user's projects folder, by name
        QSet<QString> present;
        int next = 0; // the next of `files` to look at
        // The jobs the upload pass looks at, as the scan left them; a job
        // deleted meanwhile is skipped.
        QVector<QPointer<KiteProject>> candidates;
        int nextCandidate = -1; // < 0: the cfg files are still being read
    };
    // Creates or refreshes the job of each cfg file; false when the slice
    // ended before the last file.
    bool scanLocalJobs(Scan& scan);
    void markCheckedJobsUploaded(const ServerFiles& serverFiles);
    // Hands each job that still has to be uploaded to the upload; false when
    // the slice ended before the last job.
    bool uploadCandidatePass(Scan& scan);
    void uploadCandidate(KiteProject* job, const Scan& scan);
    bool sliceEnded() const;
    void log(const QString& message, int level = 3);

    QPointer<InboundQueue> m_queue;
};
