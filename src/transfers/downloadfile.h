#pragma once

#include "kiteshared_export.h"

#include <QMetaType>
#include <QString>
#include <QUrl>

// One output file to download. The downloader plug-in shares this record, so
// the field order is part of the contract between the two plug-ins.
class KITESHARED_EXPORT DownloadFile
{
public:
    QString path;         // relative to the job's output folder (server and local)
    QString serverName;   // not set here
    QUrl url;             // not set here
    QString localPath;    // not set here
    QString tempPath;     // not set here
    QString checksum;     // not set here
    qint64 size = 0;      // size on the server in bytes
    bool started = false; // not set here
    qint64 localSize = 0; // bytes already in the local folder (resume or overwrite)
    int retryCount = 0;   // not set here
    int connectionNumber = 0; // not set here
    bool finished = false;    // not set here
    int priority = 0;         // not set here
};

Q_DECLARE_METATYPE(DownloadFile)
