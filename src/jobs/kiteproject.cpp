#include "jobs/kiteproject.h"

KiteProject::KiteProject(KiteSettings* settings, QString jobName, QString id, QObject* parent)
    : QObject(parent)
    , kiteSettings(settings)
    , name(std::move(jobName))
    , jobId(std::move(id))
{
}
