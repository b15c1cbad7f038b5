#include "fuzzentries.h"
#include "fuzzsupport.h"

#include "jobs/cfgreader.h"
#include "jobs/kiteproject.h"
#include "net/jsonguard.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "transfers/downloadlistupdater.h"
#include "transfers/outputpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>


// fuzz_cfg, fuzz_filelist and fuzz_settings: the files the client reads from
// the projects folder, the output listings the server sends, and the settings
// file. Each keeps a temporary application folder for its whole run; what one
// input writes is replaced or removed before the next.

namespace {

const QString userName = QStringLiteral("fuzzer");

// Settings in a temporary application folder whose projects folder holds the
// user's folder.
class Bench
{
public:
    explicit Bench(const char* target)
    {
        if (!m_dir.isValid())
            FuzzSupport::fail(target, QStringLiteral("no temporary folder"));
        QDir().mkpath(userFolder());
        {
            QSettings ini(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
            ini.setValue(QStringLiteral("UserData/username"), userName);
            ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), projectsFolder());
            ini.setValue(QStringLiteral("Settings/logLevel"), 5);
            ini.setValue(QStringLiteral("Settings/kiteId"), QStringLiteral("fuzz-kite-id"));
        }
        settings.setApplicationDirectory(m_dir.path());
        settings.load();
        if (settings.localProjectsFolder != projectsFolder())
            FuzzSupport::fail(target, QStringLiteral("projects folder not taken"));
    }
    ~Bench() { LogWriter::instance().close(); }

    QString path() const { return m_dir.path(); }
    QString projectsFolder() const { return m_dir.path() + QStringLiteral("/projects"); }
    QString userFolder() const { return projectsFolder() + QLatin1Char('/') + userName; }

    KiteSettings settings;

private:
    QTemporaryDir m_dir;
};

// --- fuzz_cfg -------------------------------------------------------------------

const char* const cfgTarget = "fuzz_cfg";

class CfgBench : public Bench
{
public:
    CfgBench()
        : Bench(cfgTarget)
        , reader(&settings)
    {
        settings.setUploadToDc2Programs(QStringLiteral("3dsmax;;cinema4d"));
        settings.setUploadToDc2Renderers(QStringLiteral("redshift;gpu"));
        // Files the live-upload list may name.
        FuzzSupport::writeFile(userFolder() + QStringLiteral("/tex/wood.png"), QByteArray(64, 'w'));
        FuzzSupport::writeFile(userFolder() + QStringLiteral("/scene.max"), QByteArray(32, 's'));
    }

    void run(const QByteArray& input);

    CfgReader reader;

private:
    void runJobCfg(const QByteArray& input);
    void runLiveUploadList(const QByteArray& input);
};

CfgBench* g_cfg = nullptr;

bool sameFiles(const QList<UploadFile>& a, const QList<UploadFile>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a.at(i).path != b.at(i).path || a.at(i).pathLocal != b.at(i).pathLocal || a.at(i).size != b.at(i).size)
            return false;
    }
    return true;
}

void CfgBench::runJobCfg(const QByteArray& input)
{
    const QString jobName = QStringLiteral("job");
    FuzzSupport::writeFile(userFolder() + QStringLiteral("/job.cfg"), input);

    KiteProject job(&settings, jobName, QStringLiteral("42"));
    // As the client reads a job: the header on a refresh, the file list for
    // the scanner, then everything for the upload.
    const QList<UploadFile> header = reader.readJobConfig(&job, true, true);
    const QList<UploadFile> checked = reader.readJobConfig(&job, true, false);
    const QList<UploadFile> full = reader.readJobConfig(&job, false, false);

    if (!header.isEmpty())
        FuzzSupport::fail(cfgTarget, QStringLiteral("a header-only read returned files"));
    if (!sameFiles(checked, full))
        FuzzSupport::fail(cfgTarget, QStringLiteral("two reads of one cfg returned different files"));
    if (job.uploadBytesTotal < 0)
        FuzzSupport::fail(cfgTarget, QStringLiteral("negative upload total"));
    for (const UploadFile& file : full) {
        if (file.size < 0)
            FuzzSupport::fail(cfgTarget, QStringLiteral("negative file size"));
    }

    const int server = reader.serverNumberForUpload(jobName);
    if (server != 1 && server != 2)
        FuzzSupport::fail(cfgTarget, QStringLiteral("upload server %1").arg(server));

    FuzzSupport::settle();
    FuzzSupport::closeDialogs();
}

void CfgBench::runLiveUploadList(const QByteArray& input)
{
    const QString listPath = projectsFolder() + QLatin1Char('/') + CfgReader::liveUploadListFileName();
    FuzzSupport::writeFile(listPath, input);

    KiteProject job(&settings, CfgReader::liveUploadJobName(), QStringLiteral("liveUploadId"));
    job.isLiveUpload = true;
    const QList<UploadFile> files = reader.readJobConfig(&job, false, false);

    if (QFileInfo::exists(listPath))
        FuzzSupport::fail(cfgTarget, QStringLiteral("the live-upload list was not taken"));
    if (files.size() > input.count('\n') + 1)
        FuzzSupport::fail(cfgTarget, QStringLiteral("more files than lines in the live-upload list"));

    FuzzSupport::settle();
    FuzzSupport::closeDialogs();
}

void CfgBench::run(const QByteArray& input)
{
    runJobCfg(input);
    runLiveUploadList(input);
}

// --- fuzz_filelist ----------------------------------------------------------------

const char* const fileListTarget = "fuzz_filelist";

// The job the listing is compared for, in a few situations the updater tells
// apart.
struct FileListCase
{
    const char* name;
    bool trialAccount;
    bool rendering;
    bool downloaded;
    int teamid;
    bool paid;
    bool overwriteAll;
    bool ignoreAll;
};

const FileListCase fileListCases[] = {
    {"own_job", false, false, false, 0, true, false, false},
    {"trial_job", true, true, false, 0, true, false, false},
    {"team_job", false, false, true, 7, false, true, false},
    {"ignoring_job", false, false, false, 9, true, false, true},
};

class FileListBench : public Bench
{
public:
    FileListBench()
        : Bench(fileListTarget)
        , updater(&settings)
    {
    }

    void run(const QByteArray& input);

    DownloadListUpdater updater;

private:
    QString outputFolder(const FileListCase& c) const
    {
        return userFolder() + QStringLiteral("/OrvelKite/Download/output/") + QLatin1String(c.name);
    }
    void prepareOutput(const FileListCase& c, bool fresh) const;
    void runCase(const FileListCase& c, const QJsonArray& files, const QJsonArray& folders);

    bool m_foldersListed = true;
};

FileListBench* g_fileList = nullptr;

// JSON as the client's dispatch takes it: text that repeats a member name is
// refused before Qt's parser sees it (the parser would leak).
QJsonDocument parsed(const QByteArray& bytes)
{
    return JsonGuard::hasRepeatedMemberName(bytes) ? QJsonDocument() : QJsonDocument::fromJson(bytes);
}

QJsonArray arrayOf(const QByteArray& bytes)
{
    return parsed(bytes).array();
}

// The listing: the "data" of a "getOutputDir" answer, the whole answer, or
// else two halves of the input, each a JSON array.
void parseListing(const QByteArray& input, QJsonArray& files, QJsonArray& folders)
{
    const QJsonDocument document = parsed(input);
    if (document.isObject()) {
        QJsonObject data = document.object();
        if (data.value(QStringLiteral("data")).isObject())
            data = data.value(QStringLiteral("data")).toObject();
        files = data.value(QStringLiteral("files")).toArray();
        folders = data.value(QStringLiteral("folders")).toArray();
        return;
    }
    const int half = input.size() / 2;
    files = arrayOf(input.left(half));
    folders = arrayOf(input.mid(half));
}

void FileListBench::prepareOutput(const FileListCase& c, bool fresh) const
{
    // The same small folder for every input: complete frames, a frame of
    // another size, an interrupted one with its marker, a sub-folder. The
    // updater only adds the folders a listing names; only then is the folder
    // made anew.
    const QString folder = outputFolder(c);
    if (!fresh && QFileInfo(folder + QStringLiteral("/passes/deep/z_0001.exr")).isFile())
        return;
    QDir(folder).removeRecursively();
    FuzzSupport::writeFile(folder + QStringLiteral("/frame_0001.exr"), QByteArray(100, 'f'));
    FuzzSupport::writeFile(folder + QStringLiteral("/frame_0002.exr"), QByteArray(40, 'f'));
    FuzzSupport::writeFile(folder + QStringLiteral("/frame_0003.exr"), QByteArray(10, 'f'));
    FuzzSupport::writeFile(folder + QStringLiteral("/frame_0003.exr.dlstarted"), QByteArray());
    FuzzSupport::writeFile(folder + QStringLiteral("/passes/beauty_0001.exr"), QByteArray(30, 'b'));
    FuzzSupport::writeFile(folder + QStringLiteral("/passes/deep/z_0001.exr"), QByteArray(20, 'z'));
    FuzzSupport::writeFile(folder + QStringLiteral("/frame_0004_overlaid.png"), QByteArray(50, 'o'));
    if (c.trialAccount) {
        QSettings info(userFolder() + QLatin1Char('/') + QLatin1String(c.name) + QStringLiteral(".trialinfo"),
                       QSettings::IniFormat);
        info.setValue(QStringLiteral("originalFiles/frame_0002.exr"), 4000);
        info.setValue(QStringLiteral("overlayFiles/frame_0002.exr"), 40);
    }
}

void FileListBench::runCase(const FileListCase& c, const QJsonArray& files, const QJsonArray& folders)
{
    prepareOutput(c, m_foldersListed);
    settings.isTrial = c.trialAccount;
    settings.isPaid = c.paid;

    KiteProject job(&settings, QLatin1String(c.name), QStringLiteral("77"));
    job.localDownloadDir = outputFolder(c);
    job.isUnknown = false;
    job.isUploaded = true;
    job.isRendering = c.rendering;
    job.isDownloaded = c.downloaded;
    job.teamid = c.teamid;
    job.isPaid = c.paid;
    job.overwriteAll = c.overwriteAll;
    job.ignoreAll = c.ignoreAll;
    job.overwriteYesList.insert(QStringLiteral("passes/beauty_0001.exr"));

    updater.fileListUpdateSlot(files, folders, &job);

    for (const DownloadFile& file : qAsConst(job.downloadList)) {
        if (!OutputPaths::isSafeRelativePath(file.path))
            FuzzSupport::fail(fileListTarget, QStringLiteral("unsafe path in the download list: ") + file.path);
        if (file.size < 0 || file.localSize < 0)
            FuzzSupport::fail(fileListTarget, QStringLiteral("negative size in the download list: ") + file.path);
    }
    if (job.downloadBytesTotal < 0 || job.bytesReceivedTotal < 0)
        FuzzSupport::fail(fileListTarget, QStringLiteral("negative byte totals"));

    FuzzSupport::settle();
    FuzzSupport::closeDialogs();
}

void FileListBench::run(const QByteArray& input)
{
    QJsonArray files;
    QJsonArray folders;
    parseListing(input, files, folders);
    for (const FileListCase& c : fileListCases)
        runCase(c, files, folders);
    m_foldersListed = !folders.isEmpty();
    settings.runningJobDownloads = 0;
}

// --- fuzz_settings -----------------------------------------------------------------

const char* const settingsTarget = "fuzz_settings";

class SettingsBench
{
public:
    SettingsBench()
    {
        if (!m_dir.isValid())
            FuzzSupport::fail(settingsTarget, QStringLiteral("no temporary folder"));
    }

    void run(const QByteArray& input);

private:
    QTemporaryDir m_dir;
    int m_inputs = 0;
};

SettingsBench* g_settings = nullptr;

void SettingsBench::run(const QByteArray& input)
{
    // A folder of its own for every input: the INI files Qt has parsed are
    // cached by name, and a file of the same name and size written within
    // the same millisecond would be taken from that cache.
    const QString appDir = m_dir.path() + QLatin1Char('/') + QString::number(++m_inputs);
    FuzzSupport::writeFile(appDir + QStringLiteral("/settings.ini"), input);
    {
        KiteSettings settings;
        settings.setApplicationDirectory(appDir);
        settings.load();
        const QString kiteId = settings.kiteId;
        const QString username = settings.username;
        if (kiteId.isEmpty())
            FuzzSupport::fail(settingsTarget, QStringLiteral("no kiteId after loading"));

        settings.saveToIni();
        settings.load();
        if (settings.kiteId != kiteId || settings.username != username)
            FuzzSupport::fail(settingsTarget, QStringLiteral("kiteId or username changed by saving and loading"));
    }
    LogWriter::instance().close();
    QDir(appDir).removeRecursively();
}

} // namespace

namespace FuzzSupport {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

void restartFiles()
{
    // Plain pointers, as in the message target: deleted here, never by the
    // exit handlers.
    delete g_cfg;
    g_cfg = nullptr;
    delete g_fileList;
    g_fileList = nullptr;
    delete g_settings;
    g_settings = nullptr;
}

} // namespace FuzzSupport

namespace FuzzEntries {

void runCfg(const QByteArray& input)
{
    if (!g_cfg)
        g_cfg = new CfgBench;
    g_cfg->run(input);
}

void runFileList(const QByteArray& input)
{
    if (!g_fileList)
        g_fileList = new FileListBench;
    g_fileList->run(input);
}

void runSettings(const QByteArray& input)
{
    if (!g_settings)
        g_settings = new SettingsBench;
    g_settings->run(input);
}

} // namespace FuzzEntries
