#pragma once

#include <QHash>
#include <QJsonArray>
#include <QObject>
#include <QVector>

class CfgReader;
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

signals:
    void jobForUploadSignal(KiteProject* jobForUpload);
    void currentJobNameSignal(QString currentJobName);
    void getProjectStatesSignal();
    void buildRenderJobSubmenuSignal();

public slots:
    void scanProjectsSlot(QJsonArray fileNames, int serverNumberUpload);

private:
    void scanLocalJobs(CfgReader* reader, const QString& userFolder);
    // The server's listing: file name -> the sizes of the entries of that name.
    using ServerFiles = QHash<QString, QVector<qint64>>;
    void markCheckedJobsUploaded(const ServerFiles& serverFiles);
    void uploadCandidatePass(const ServerFiles& serverFiles, int serverNumberUpload, const QString& userFolder);
    void log(const QString& message, int level = 3);
};
