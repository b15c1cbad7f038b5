#pragma once

#include "transfers/uploadfile.h"

#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QSet>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcJobsCfg)

class KiteProject;
class KiteSettings;

// Reads a job's cfg file (<localProjectsFolder>/<username>/<name>.cfg) into
// its KiteProject record: the header keys set the record's fields, the
// "[files]" section lists the files of the upload. Also picks the file server
// a job is uploaded to, and turns the live-upload list written by a scene
// exporter into the live-upload job's cfg.
//
// The reader never writes a job's cfg, with the one exception of the
// live-upload job, whose cfg is rebuilt from the list on every read.
class CfgReader : public QObject
{
    Q_OBJECT
public:
    explicit CfgReader(KiteSettings* kiteSettings, QObject* parent = nullptr);

    // Reads the job's cfg into the record and returns the files of its file
    // section. checkOnly: refresh only, no upload byte count, no directory
    // request. headerOnly: header keys only, no files returned.
    QList<UploadFile> readJobConfig(KiteProject* job, bool checkOnly, bool headerOnly);

    // The file server (1 or 2) to upload the job to.
    int serverNumberForUpload(QString jobName);

    static QString liveUploadJobName() { return QStringLiteral("liveUploadJob"); }
    static QString liveUploadListFileName() { return QStringLiteral("di2_orv_livefiles.txt"); }

    KiteSettings* kiteSettings = nullptr;

signals:
    void createDirsOnServerSignal(QSet<QString> dirSet, KiteProject* jobObject);

private:
    // <localProjectsFolder>/<username>/<jobName>.cfg, or an empty string when
    // the name cannot be used as a file name.
    QString cfgFilePath(const QString& jobName) const;
    // Rewrites the live-upload job's cfg from the live-upload list and removes
    // the list.
    void convertLiveUploadList(const QString& cfgFileName);
};
