#pragma once

#include "kiteshared_export.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QUrl>

// One file of a job to upload. The uploader plug-in shares this record, so the
// field order is part of the contract between the two plug-ins; the fields this
// plug-in does not use keep their place.
class KITESHARED_EXPORT UploadFile
{
public:
    QString name;                  // not used here
    QString path;                  // path in the job's server folder ("tex/..." for textures)
    QUrl url;                      // not used here
    QString pathLocal;             // local file path
    qint64 size = 0;               // local size in bytes
    bool transferStarted = false;  // not used here
    bool resume = false;           // part of the file is already on the server
    qint64 resumeOffset = 0;       // bytes already on the server
    int retryCount = 0;            // not used here
    int connectionNumber = 0;      // not used here
    bool finished = false;         // not used here
    QDateTime startTime;           // not used here
    bool compressed = false;       // not used here
    bool serverCopyLarger = false; // the server holds more bytes than the local file
    bool isTexture = false;        // not used here
    bool isArchive = false;        // not used here
    bool uploadingElsewhere = false; // another job uploads the same server path
    bool alreadyOnServer = false;  // the complete file is on the server; skip it
    bool unpackRequested = false;  // not used here
    bool checked = false;          // not used here
    int errorCount = 0;            // not used here
    int partNumber = 0;            // not used here
    int partCount = 0;             // not used here
    bool cancelled = false;        // not used here
    int priority = 0;              // not used here
};

Q_DECLARE_METATYPE(UploadFile)
