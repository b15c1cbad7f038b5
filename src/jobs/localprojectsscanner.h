#pragma once

#include <QJsonArray>
#include <QObject>

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
    void markCheckedJobsUploaded(const QJsonArray& fileNames);
    void uploadCandidatePass(const QJsonArray& fileNames, int serverNumberUpload, const QString& userFolder);
    void log(const QString& message, int level = 3);
};
