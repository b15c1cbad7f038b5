#include "farmproject.h"

#include <algorithm>

QJsonObject FarmProject::listEntry() const
{
    return QJsonObject{{QStringLiteral("name"), name},
                       {QStringLiteral("id"), id},
                       {QStringLiteral("status"), status},
                       {QStringLiteral("teamid"), QString::number(teamId)},
                       {QStringLiteral("isTrial"), isTrial},
                       {QStringLiteral("isPaid"), isPaid},
                       {QStringLiteral("download_enabled"), downloadEnabled},
                       {QStringLiteral("queued"), queued},
                       {QStringLiteral("server_download"), serverDownload},
                       {QStringLiteral("restartDownloadCount"), restartDownloadCount},
                       {QStringLiteral("error_text"), errorText}};
}

QJsonObject FarmProject::progressInfo() const
{
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("scene"), name},
                       {QStringLiteral("State"), status},
                       {QStringLiteral("started"), QString::number(framesStarted())},
                       {QStringLiteral("engines"), QString::number(engines)},
                       {QStringLiteral("ispaid"), isPaid ? QStringLiteral("1") : QStringLiteral("0")},
                       {QStringLiteral("paused"), status == QLatin1String("PAUSED")},
                       {QStringLiteral("progress"), QString::number(progress)}};
}

int FarmProject::framesStarted() const
{
    if (status == QLatin1String("RENDERING"))
        return std::min(framesDone + 1, frameCount);
    return framesDone;
}

void FarmProject::setStatus(const QString& newStatus)
{
    status = newStatus;
    queued = status == QLatin1String("QUEUED");
}
