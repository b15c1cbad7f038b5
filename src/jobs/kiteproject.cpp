#include "jobs/kiteproject.h"

KiteProject::KiteProject(KiteSettings* settings, QString jobName, QString id, QObject* parent)
    : QObject(parent)
    , kiteSettings(settings)
    , name(std::move(jobName))
    , jobId(std::move(id))
{
}

void KiteProject::restartDownloadSlot(bool, bool)
{
    isDownloaded = false;
}

void KiteProject::resetStateAfterReconnect()
{
    waitingForCheckFiles = false;
    createDirsSent = false;
}

void KiteProject::setOutOfRenderPoints()
{
    outOfRenderPoints = true;
}
