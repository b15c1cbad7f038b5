#pragma once

#include <QString>

class QJsonObject;

// One element of the farm's projects list, read as the merge needs it.
// Members that are missing or of another type read as the defaults below.
struct ProjectEntry
{
    bool downloadEnabled = true; // "download_enabled"; null counts as missing
    QString status;              // "status"
    int teamid = 0;              // "teamid", a number or a decimal text
    bool isTrial = false;        // "isTrial"
    bool isPaid = true;          // "isPaid"; null counts as missing
    int restartCount = 0;        // "restartDownloadCount"
    int serverDownload = 1;      // "server_download"; null counts as missing
    bool queued = false;         // "queued"
    QString name;                // "name", a text or a number's text
    QString id;                  // "id", likewise
    QString errorText;           // "error_text"

    static ProjectEntry fromJson(const QJsonObject& element);
    bool operator==(const ProjectEntry& other) const;
};
