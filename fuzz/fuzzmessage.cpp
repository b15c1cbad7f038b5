#include "fuzzentries.h"
#include "fuzzsupport.h"

#include "jobs/cfgreader.h"
#include "jobs/kiteproject.h"
#include "net/floodlimiter.h"
#include "net/jsonguard.h"
#include "net/messagesplitter.h"
#include "net/projectslistreader.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>


// fuzz_message: one received text message through the plug-in's dispatch,
// against a client that is logged in (as far as the plug-in can tell) and
// knows a few dozen jobs, in every state a job can be in. The client is built
// once and rebuilt every few hundred inputs, or sooner when the inputs have
// grown its job list, so that one input's effects fade out.

namespace {

constexpr int inputsPerClient = 250;
constexpr int maxJobsPerClient = 120;
const char* const targetName = "fuzz_message";

// What a job has been through before the state it is put in.
enum class Past { Nothing, Uploaded, Rendered };

// A job of the list: its name and id (an empty id: the server does not know
// it yet), whether the projects folder holds its files, whether it has
// rendered output in its output folder, its past and the state it is put in.
struct JobSpec
{
    const char* name;
    const char* id;
    bool local;
    bool output;
    Past past;
    void (*setState)(KiteProject*);
};

void nothingMore(KiteProject*) {}

// The ids run from 9001 in the order of this table; the seed corpus names the
// jobs by these names and ids.
const JobSpec jobSpecs[] = {
    {"new_local", "", true, false, Past::Nothing, [](KiteProject* job) { job->isMarkedForUpload = true; }},
    {"upload_idle", "9002", true, false, Past::Nothing, [](KiteProject* job) { job->setUploadIdle(); }},
    {"upload_waiting", "9003", true, false, Past::Nothing, [](KiteProject* job) { job->setUploadWaiting(); }},
    {"upload_started", "9004", true, false, Past::Nothing, [](KiteProject* job) { job->setUploadStarted(); }},
    {"uploading", "9005", true, false, Past::Nothing, [](KiteProject* job) { job->setUploading(); }},
    {"upload_paused", "9006", true, false, Past::Nothing, [](KiteProject* job) { job->setUploadPaused(); }},
    {"upload_error", "9007", true, false, Past::Nothing, [](KiteProject* job) { job->setErrorUpload(false); }},
    {"error_resume", "9008", true, false, Past::Nothing, [](KiteProject* job) { job->setErrorResume(); }},
    {"other_machine", "9009", false, false, Past::Nothing,
     [](KiteProject* job) { job->setUploadingOnOtherMachine(); }},
    {"uploaded", "9010", true, false, Past::Uploaded, nothingMore},
    {"queued", "9011", true, false, Past::Uploaded, [](KiteProject* job) { job->setQueued(); }},
    {"rendering", "9012", true, true, Past::Uploaded, [](KiteProject* job) { job->setRendering(); }},
    {"render_paused", "9013", true, false, Past::Uploaded, [](KiteProject* job) { job->setPaused(); }},
    {"render_error", "9014", true, false, Past::Uploaded, [](KiteProject* job) { job->setErrorRendering(); }},
    {"rendered", "9015", true, true, Past::Rendered, nothingMore},
    {"downloading", "9016", true, true, Past::Rendered, [](KiteProject* job) { job->setDownloadStarted(); }},
    {"download_paused", "9017", true, true, Past::Rendered,
     [](KiteProject* job) {
         job->setDownloadStarted();
         job->setDownloadPaused();
     }},
    {"download_error", "9018", true, true, Past::Rendered, [](KiteProject* job) { job->setDownloadError(); }},
    {"downloaded", "9019", true, true, Past::Rendered, [](KiteProject* job) { job->setDownloadFinished(); }},
    {"out_of_points", "9020", true, true, Past::Rendered, [](KiteProject* job) { job->setOutOfRenderPoints(); }},
    {"deleted", "9021", true, false, Past::Nothing, [](KiteProject* job) { job->setDeleted(); }},
    {"remote_rendering", "9022", false, false, Past::Nothing,
     [](KiteProject* job) { job->assignState(QStringLiteral("RENDERING")); }},
    {"remote_rendered", "9023", false, false, Past::Nothing,
     [](KiteProject* job) { job->assignState(QStringLiteral("RENDERED")); }},
    {"team_job", "9024", true, true, Past::Nothing,
     [](KiteProject* job) {
         job->teamid = 7;
         job->isPaid = true;
         job->setUploaded();
         job->setRendering();
     }},
    {"team_unpaid", "9025", true, true, Past::Nothing,
     [](KiteProject* job) {
         job->teamid = 9;
         job->isPaid = false;
         job->setUploaded();
         job->setRendered(false);
     }},
    {"trial_job", "9026", true, true, Past::Nothing,
     [](KiteProject* job) {
         job->isTrial = true;
         job->setUploaded();
         job->setRendered(false);
     }},
    {"custom_output", "9027", true, true, Past::Nothing,
     [](KiteProject* job) {
         job->localDownloadDirCustom = job->localDownloadDir + QStringLiteral("_custom");
         QDir().mkpath(job->localDownloadDirCustom);
         job->setUploaded();
         job->setRendered(false);
     }},
    {"liveUploadJob", "liveUploadId", true, false, Past::Nothing, [](KiteProject* job) { job->isLiveUpload = true; }},
    {"queued_state", "9029", true, false, Past::Nothing,
     [](KiteProject* job) { job->assignState(QStringLiteral("QUEUED")); }},
    {"renderable_state", "9030", true, false, Past::Nothing,
     [](KiteProject* job) { job->assignState(QStringLiteral("RENDERABLE")); }},
    {"paused_state", "9031", true, true, Past::Nothing,
     [](KiteProject* job) { job->assignState(QStringLiteral("PAUSED")); }},
    {"error_rend_state", "9032", true, false, Past::Nothing,
     [](KiteProject* job) { job->assignState(QStringLiteral("ERROR_REND")); }},
    // Two jobs of the same name: the deleted one must never be found.
    {"shot_010", "9033", true, false, Past::Nothing, [](KiteProject* job) { job->setDeleted(); }},
    {"shot_010", "9034", true, true, Past::Rendered, nothingMore},
    {"unknown_job", "", false, false, Past::Nothing, nothingMore},
};

class MessageClient
{
public:
    MessageClient();
    ~MessageClient();

    bool worn() const { return m_inputs >= inputsPerClient || settings->jobList.size() > maxJobsPerClient; }
    void run(const QByteArray& input);

private:
    QString userFolder() const { return m_dir.path() + QStringLiteral("/projects/fuzzer"); }
    void addJob(const JobSpec& plan);
    void checkRequest(const QString& text) const;

    QTemporaryDir m_dir;
    KiteSettings* settings = nullptr;
    PluginNetConnection* plugin = nullptr;
    int m_inputs = 0;
};

// Plain pointers, not static objects: at process exit the fuzzer leaves them
// alone (Qt's own statics may already be gone); shutdown() deletes them.
MessageClient* g_client = nullptr;

MessageClient::MessageClient()
{
    if (!m_dir.isValid())
        FuzzSupport::fail(targetName, QStringLiteral("no temporary folder"));
    QDir().mkpath(userFolder());
    {
        QSettings ini(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("UserData/username"), QStringLiteral("fuzzer"));
        ini.setValue(QStringLiteral("UserData/firstRunDone"), true);
        ini.setValue(QStringLiteral("PathOptions/localProjectsFolder"), m_dir.filePath(QStringLiteral("projects")));
        ini.setValue(QStringLiteral("Settings/logLevel"), 5);
        ini.setValue(QStringLiteral("Settings/kiteId"), QStringLiteral("fuzz-kite-id"));
        // Should anything still try to connect, it finds nothing to talk to.
        ini.setValue(QStringLiteral("Network/serverWss"), QStringLiteral("ws://127.0.0.1:9"));
        ini.setValue(QStringLiteral("Network/serverWssTemplate"), QStringLiteral("ws://127.0.0.1:9/%1"));
    }
    settings = new KiteSettings;
    settings->setApplicationDirectory(m_dir.path());
    settings->load();
    settings->syncActive = true;
    settings->loggedIn = true;
    settings->isPaid = true;
    settings->setUploadToDc2Programs(QStringLiteral("3dsmax;;cinema4d"));
    settings->setUploadToDc2Renderers(QStringLiteral("redshift;gpu"));

    plugin = new PluginNetConnection;
    plugin->setKiteSettings(settings);
    // The connection is cut off: requests are checked and dropped, and no
    // message may open a socket.
    QObject::disconnect(plugin, &PluginNetConnection::webSocketMessageSignal, nullptr, nullptr);
    QObject::disconnect(plugin, &PluginNetConnection::reconnectWebSocketSignal, nullptr, nullptr);
    QObject::connect(plugin, &PluginNetConnection::webSocketMessageSignal, plugin,
                     [this](const QString& text) { checkRequest(text); });
    // The host's duty: requests made by jobs go through the plug-in.
    QObject::connect(settings, &KiteSettings::makeRequest, plugin,
                     [this](QString action, QJsonObject data, KiteProject* job, QString custom) {
                         plugin->makeRequest(action, data, job, custom);
                     });
    plugin->pingTimer->stop();

    for (const JobSpec& plan : jobSpecs)
        addJob(plan);
    FuzzSupport::closeDialogs();
}

MessageClient::~MessageClient()
{
    FuzzSupport::deleteDialogs();
    delete plugin;
    FuzzSupport::settle();
    delete settings; // the jobs are its children
    FuzzSupport::settle();
    LogWriter::instance().close();
}

void MessageClient::addJob(const JobSpec& plan)
{
    const QString name = QLatin1String(plan.name);
    auto* job = new KiteProject(settings, name, QLatin1String(plan.id), settings);
    settings->jobList.append(job);

    if (plan.local) {
        // A scene package, a texture shared by all jobs and the cfg that
        // lists both, as an exporter writes them.
        const QString scene = userFolder() + QLatin1Char('/') + name;
        const QString texture = userFolder() + QStringLiteral("/tex/wood.png");
        FuzzSupport::writeFile(scene, QByteArray("scene package of ") + name.toUtf8());
        FuzzSupport::writeFile(texture, QByteArray(64, 'w'));
        const QByteArray cfg = QByteArray("renderer=V-Ray\r\nprogram=3dsmax\r\nprio=1\r\n[files]\r\npaths=2\r\n")
            + "path0=" + name.toUtf8() + "\r\npathlocal0=" + scene.toUtf8() + "\r\npathsize0="
            + QByteArray::number(17 + name.toUtf8().size()) + "\r\npath1=tex/wood.png\r\npathlocal1="
            + texture.toUtf8() + "\r\npathsize1=64\r\n";
        if (name != CfgReader::liveUploadJobName())
            FuzzSupport::writeFile(scene + QStringLiteral(".cfg"), cfg);
        plugin->cfgReader->readJobConfig(job, true, false);
    }
    if (plan.output) {
        // Rendered frames, one of them cut short by an interrupted download.
        job->localDownloadDir = userFolder() + QStringLiteral("/OrvelKite/Download/output/") + name;
        FuzzSupport::writeFile(job->localDownloadDir + QStringLiteral("/frame_0001.exr"), QByteArray(100, 'f'));
        FuzzSupport::writeFile(job->localDownloadDir + QStringLiteral("/frame_0002.exr"), QByteArray(40, 'f'));
        FuzzSupport::writeFile(job->localDownloadDir + QStringLiteral("/frame_0002.exr.dlstarted"), QByteArray());
        FuzzSupport::writeFile(job->localDownloadDir + QStringLiteral("/passes/beauty_0001.exr"), QByteArray(30, 'b'));
    }
    if (plan.past != Past::Nothing)
        job->setUploaded();
    if (plan.past == Past::Rendered)
        job->setRendered(false);
    plan.setState(job);
}

void MessageClient::checkRequest(const QString& text) const
{
    // Whatever a message does, what the plug-in sends is one JSON object with
    // an action.
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        FuzzSupport::fail(targetName, QStringLiteral("request is not a JSON object: ") + text.left(200));
    if (document.object().value(QStringLiteral("action")).toString().isEmpty())
        FuzzSupport::fail(targetName, QStringLiteral("request without action: ") + text.left(200));
}

void MessageClient::run(const QByteArray& input)
{
    ++m_inputs;
    // What the host and the last input may have changed: each message meets
    // a logged-in client with a fresh request budget.
    plugin->floodLimiter = FloodLimiter(QDateTime::currentDateTime());
    plugin->getProjectStatesRunning = false;
    plugin->getProjectsStatesRequestWhileRunning = false;
    settings->exitingApplication = false;
    settings->syncActive = true;
    settings->loggedIn = true;
    settings->autoupdateRequested = true;

    const QString difference = FuzzEntries::projectsListDifference(
        MessageSplitter::lastObject(QString::fromUtf8(input)).toUtf8());
    if (!difference.isEmpty())
        FuzzSupport::fail(targetName, difference);
    plugin->parseJsonMessageSlot(QString::fromUtf8(input));

    FuzzSupport::settle();
    FuzzSupport::closeDialogs();
}

} // namespace

namespace FuzzSupport {

void restartMessage()
{
    delete g_client;
    g_client = nullptr;
}

} // namespace FuzzSupport

namespace FuzzEntries {

QString projectsListDifference(const QByteArray& text, bool* fast)
{
    QVector<ProjectEntry> entries;
    const bool taken = ProjectsListReader::read(text, &entries);
    if (fast)
        *fast = taken;
    if (!taken)
        return QString();
    if (JsonGuard::hasRepeatedMemberName(text))
        return QStringLiteral("the fast reader took a projects list that names a member twice");
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("the fast reader took a projects list Qt rejects: ") + error.errorString();
    const QJsonArray list =
        document.object().value(QStringLiteral("data")).toObject().value(QStringLiteral("projects")).toArray();
    if (list.size() != entries.size())
        return QStringLiteral("the fast reader read %1 projects, Qt %2").arg(entries.size()).arg(list.size());
    for (int i = 0; i < list.size(); ++i) {
        if (!(ProjectEntry::fromJson(list.at(i).toObject()) == entries.at(i)))
            return QStringLiteral("project %1 read otherwise: ").arg(i)
                + QString::fromUtf8(QJsonDocument(list.at(i).toObject()).toJson(QJsonDocument::Compact));
    }
    return QString();
}

void runMessage(const QByteArray& input)
{
    if (g_client && g_client->worn())
        FuzzSupport::restartMessage();
    if (!g_client)
        g_client = new MessageClient;
    g_client->run(input);
}

} // namespace FuzzEntries
