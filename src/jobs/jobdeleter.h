#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class CfgReader;
class KiteProject;
class KiteSettings;

// Deletes one job: stops its transfers, marks the record deleted and removes
// its files from the user's projects folder, keeping the files (textures and
// other assets) that another job still lists. Disposes of itself when done;
// whoever creates it rebuilds the tray menu on its destroyed() signal.
class JobDeleter : public QObject
{
    Q_OBJECT
public:
    JobDeleter(KiteSettings* kiteSettings, KiteProject* job, QObject* parent = nullptr);

    void run();

    // The file a server-relative path of the job's file list names inside the
    // user's folder, or an empty text when the path would leave that folder.
    static QString fileInUserFolder(const QString& userFolder, const QString& relativePath);

private:
    void removeFile(const QString& path, const QString& logText);
    void log(const QString& message, int level = 3);

    KiteSettings* m_settings;
    QPointer<KiteProject> m_job;
    CfgReader* m_cfgReader = nullptr;
};
