#pragma once

#include "kiteshared_export.h"

#include <QObject>
#include <QString>

class KiteSettings;

// One render job as the client sees it.
class KITESHARED_EXPORT KiteProject : public QObject
{
    Q_OBJECT
public:
    KiteProject(KiteSettings* kiteSettings, QString name, QString jobId, QObject* parent = nullptr);

    KiteSettings* kiteSettings = nullptr;
    QString name;
    QString jobId;

    bool isDownloaded = false;
    bool isDeleted = false;
    bool isDeletedLocal = false;
    bool outOfRenderPoints = false;
    bool texFolderRequestRunning = false; // a "getTexFolderContents" request is outstanding
    bool waitingForCheckFiles = false;    // a "checkFiles" answer is awaited
    bool createDirsSent = false;

public slots:
    void restartDownloadSlot(bool resetConfirmations = true, bool resetDownloadErrors = true);
    void resetStateAfterReconnect();
    void setOutOfRenderPoints();
};
