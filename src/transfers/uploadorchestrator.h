#pragma once

#include "transfers/uploadfile.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class CfgReader;
class KiteProject;
class KiteSettings;
class PluginNetConnection;
class SharedFileGuard;

// Upload orchestration: decides, job by job, which files still have
// to go to the farm, runs the handshake with the job-queue server around the
// uploader plug-in's transfer (folder listing, upload start, folder creation,
// file check, submission) and answers the scene exporter's texture requests.
//
// The plug-in's slots jobBaseFilesForUploadSlot, checkFilesSlot,
// createDirsOnServerSlot, appRefreshSlot and unzipRequestSlot delegate here;
// the message dispatch calls the reply handlers. Requests leave through the
// plug-in's makeRequest, signals through the plug-in object.
class UploadOrchestrator : public QObject
{
    Q_OBJECT
public:
    // A failed check is retried while the job's error count is below this.
    static constexpr int maxUploadErrors = 30;

    UploadOrchestrator(PluginNetConnection* plugin, KiteSettings* kiteSettings, CfgReader* cfgReader);

    // --- operations (the plug-in's slots delegate to these)
    void startJob(KiteProject* job);                                  // jobBaseFilesForUploadSlot
    void checkFiles(KiteProject* job);                                // checkFilesSlot
    void createDirsOnServer(const QSet<QString>& dirs, KiteProject* job); // createDirsOnServerSlot
    void appRefresh();                                                // appRefreshSlot
    void unzipRequest(const UploadFile& uploadFile, KiteProject* job); // unzipRequestSlot

    // --- replies (called by the dispatch with the whole message)
    void texFolderContentsReply(const QJsonObject& message, KiteProject* job); // "getTexFolderContents"
    void checkFilesReply(const QJsonObject& message, KiteProject* job);        // "checkFiles"
    void addJobReply(const QJsonObject& message, KiteProject* job);            // "addjob"
    void createDirsReply(const QJsonObject& message, KiteProject* job);        // "createDirs"
    void texFilesReply(const QJsonObject& message);                            // "getTexFiles"
    void textureCacheReply(const QJsonObject& message);                        // "textureCacheLookup"
    void packReply(const QJsonObject& message, KiteProject* job);              // "pack", "unpack"

    // The file server (1 or 2) to upload the job to: the upload server choice
    // of the job cfg format, read from the job's cfg.
    int serverNumberForUpload(const QString& jobName) const;
    // "uploadMethod" of the check request, from the upload settings.
    static QString uploadMethod(const KiteSettings* kiteSettings);
    // One line of di2_orv_ftp_contents.txt: the server path without its first
    // four characters ("tex/"), ":", the size, CR LF.
    static QString ftpContentsLine(const QString& serverPath, qint64 size);

    // The rules that keep files shared by several jobs whole on the farm.
    SharedFileGuard* sharedFiles() const { return m_sharedFiles; }

    // Files of the exporter protocol that the upload uses.
    static QString refreshFileName() { return QStringLiteral("di2_orv_refresh.txt"); }
    static QString refreshFtpFileName() { return QStringLiteral("di2_orv_refresh_ftp.txt"); }
    static QString ftpContentsFileName() { return QStringLiteral("di2_orv_ftp_contents.txt"); }
    static QString preUploadCompleteFileName() { return QStringLiteral("preuploadcomplete.txt"); }

private:
    // Sets the flags of one upload-list file from the server's size of it.
    void classifyFile(KiteProject* job, UploadFile& file, const QHash<QString, qint64>& serverSizes,
                      bool listedOnServer);
    // The job (deleted jobs excepted, this one included) whose uploader is
    // sending one of the paths now, or null.
    KiteProject* jobUploading(const QStringList& paths) const;
    // Picks the job's upload server and stores it in the job.
    int storeServerNumberUpload(KiteProject* job);
    // Appends raw text to the job's cfg (no line end added); false when the
    // job has no usable cfg or the text is kept for a later try.
    bool appendRawToConfig(KiteProject* job, const QString& text);
    // Asks for the listing of the job's texture folder.
    void requestListing(KiteProject* job);
    // Sends the check once no other job writes one of the job's files and
    // every file it counts on is known whole; otherwise holds the job or has
    // the files looked at first.
    void checkWhenSafe(KiteProject* job);
    void sendCheck(KiteProject* job);
    bool hasPassedCheck(const KiteProject* job) const;
    // The listing asked for before a check arrived.
    void verifyReply(KiteProject* job, const QHash<QString, qint64>& listed);
    void passedCheck(KiteProject* job);
    void failedCheck(KiteProject* job, const QString& errors);
    // Counts the uploader's run of the job down in runningJobUploads, once
    // per run the uploader reported with checkFilesSlot.
    void decrementRunningUploads(KiteProject* job, const QString& logText);
    void log(const QString& message, int level = 3);

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
    CfgReader* m_cfgReader;
    SharedFileGuard* m_sharedFiles;
    // Jobs whose current upload passed its check; a start clears the entry.
    QHash<const KiteProject*, QPointer<KiteProject>> m_checkPassed;
    // Jobs whose finished run the uploader counted in runningJobUploads.
    QSet<const KiteProject*> m_uploaderRuns;
};
