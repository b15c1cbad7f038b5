#pragma once

#include "transfers/downloadfile.h"

#include <QJsonObject>
#include <QObject>

class KiteProject;
class KiteSettings;
class PluginNetConnection;

// What the end of a job's download pass means: a retry after download errors
// (up to a limit), one final look at the server's output after the first
// completion, marking the job downloaded, the "Download finished"
// notification, and the end of a client-update download. Also forwards the
// downloader's requests for server-side archives and trial overlays.
class DownloadCompletion : public QObject
{
    Q_OBJECT
public:
    // Below this many restarts after download errors the job is retried.
    static constexpr int maxErrorRestarts = 10;
    // From this many restarts on a finished pass does not finish the job.
    static constexpr int restartsHoldingCompletion = 3;

    DownloadCompletion(PluginNetConnection* plugin, KiteSettings* kiteSettings);

    // The downloader (or the DownloadListUpdater) is through with the job's
    // list. `error` is not consulted: the job carries its errors.
    void downloadJobFinished(KiteProject* job, int error);
    // "pack": the server packs a file or folder of the job's output.
    void zipRequest(const DownloadFile& file, KiteProject* job);
    // "generateOverlay": the server makes an overlaid copy of an output image.
    void generateOverlayRequest(const DownloadFile& file, KiteProject* job);
    // The server's answer to "generateOverlay": the overlaid copy is ready
    // when its result is true.
    void overlayReply(const QJsonObject& data, KiteProject* job);

private:
    void finishUpdateDownload(KiteProject* job, bool hadErrors);
    // Returns true when the final look was taken (or refused) and the pass ends here.
    bool finalLook(KiteProject* job);
    void complete(KiteProject* job);
    void log(const QString& message, int level = 3);

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
};
