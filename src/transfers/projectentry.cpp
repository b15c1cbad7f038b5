#include "transfers/projectentry.h"

#include "net/jsonread.h"

#include <QJsonObject>

ProjectEntry ProjectEntry::fromJson(const QJsonObject& element)
{
    ProjectEntry entry;
    const QJsonValue enabled = element.value(QStringLiteral("download_enabled"));
    if (JsonRead::present(enabled))
        entry.downloadEnabled = enabled.toBool();
    entry.status = element.value(QStringLiteral("status")).toString();
    entry.teamid = JsonRead::integer(element.value(QStringLiteral("teamid")));
    entry.isTrial = element.value(QStringLiteral("isTrial")).toBool(false);
    const QJsonValue paid = element.value(QStringLiteral("isPaid"));
    if (JsonRead::present(paid))
        entry.isPaid = paid.toBool();
    entry.restartCount = JsonRead::integer(element.value(QStringLiteral("restartDownloadCount")));
    const QJsonValue server = element.value(QStringLiteral("server_download"));
    if (JsonRead::present(server))
        entry.serverDownload = JsonRead::integer(server, 1);
    entry.queued = element.value(QStringLiteral("queued")).toBool(false);
    entry.name = JsonRead::text(element.value(QStringLiteral("name")));
    entry.id = JsonRead::text(element.value(QStringLiteral("id")));
    entry.errorText = element.value(QStringLiteral("error_text")).toString();
    return entry;
}

bool ProjectEntry::operator==(const ProjectEntry& other) const
{
    return downloadEnabled == other.downloadEnabled && status == other.status && teamid == other.teamid
        && isTrial == other.isTrial && isPaid == other.isPaid && restartCount == other.restartCount
        && serverDownload == other.serverDownload && queued == other.queued && name == other.name && id == other.id
        && errorText == other.errorText;
}
