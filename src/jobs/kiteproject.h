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

    bool texFolderRequestRunning = false; // a "getTexFolderContents" request is outstanding
    bool waitingForCheckFiles = false;    // a "checkFiles" answer is awaited
};
