#pragma once

#include <QJsonObject>
#include <QString>

// One render job as the farm lists it for its user. The render states are
// "UPLOADING", "RENDERABLE", "QUEUED", "RENDERING", "PAUSED", "RENDERED",
// "ERROR_REND" and "ERROR_UPL"; any other text is passed on as it is.
struct FarmProject
{
    QString name;
    QString id;      // decimal text, unique in the simulator
    QString status;

    // --- the flags of the projects list
    int teamId = 0;              // 0: a job of the user's own account
    bool isTrial = false;
    bool isPaid = true;          // also the "ispaid" of the progress answer
    bool downloadEnabled = true;
    bool queued = false;         // follows the status unless set otherwise
    int serverDownload = 1;
    int serverUpload = 1;
    int restartDownloadCount = 0;
    QString errorText;           // listed as "error_text"

    // --- rendering
    int priority = 0;   // "prio" of the submission
    int frameCount = 4;
    int framesDone = 0;
    int progress = 0;   // percent
    int engines = 0;    // render nodes that worked on it; 0 before rendering

    // --- what the client reported
    int downloadProgress = 0;
    bool downloadComplete = false;

    // Element of the "getProjectStates" answer:
    // {"name", "id", "status", "teamid" (text), "isTrial", "isPaid",
    //  "download_enabled", "queued", "server_download", "restartDownloadCount",
    //  "error_text"}.
    QJsonObject listEntry() const;
    // "data" of the "getProgressInfos" answer:
    // {"id", "scene", "State", "started" (text), "engines" (text),
    //  "ispaid" ("1" or "0"), "paused" (bool), "progress" (text)}.
    QJsonObject progressInfo() const;
    // Frames started so far: the rendered ones and the one being rendered.
    int framesStarted() const;

    // Sets the status and the flags that follow it ("queued").
    void setStatus(const QString& newStatus);
};
