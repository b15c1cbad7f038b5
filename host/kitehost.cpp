#include "kitehost.h"

#include "commandchannel.h"
#include "desktopurlprinter.h"
#include "jobs/kiteproject.h"
#include "jobmenuview.h"
#include "loginkeeper.h"
#include "pluginlocator.h"
#include "pluginnetconnectioninterface.h"
#include "settings/kitesettings.h"
#include "maintenanceprinter.h"
#include "outputflusher.h"
#include "signalprinter.h"
#include "standindownloader.h"
#include "standinuploader.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

namespace {
// Build number this host reports to the server.
constexpr int hostBuildNumber = 100;
// How long the plug-in gets to finish its exit path.
constexpr int shutdownGraceMs = 1500;
} // namespace

KiteHost::KiteHost(const HostOptions& options, QTextStream& out, QTextStream& err, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_out(out)
    , m_err(err)
    , m_flusher(new OutputFlusher(out, this))
{
}

KiteHost::~KiteHost()
{
    // The loader deletes the plug-in's root object, unless the plug-in has
    // already deleted itself on exit.
    if (m_pluginObject)
        m_loader.unload();
}

bool KiteHost::loadPlugin()
{
    PluginLocator::Found found;
    QString error;
    const QString folder = m_options.pluginDir.isEmpty() ? HostOptions::defaultPluginDir() : m_options.pluginDir;
    if (!PluginLocator::locate(folder, found, error)) {
        m_err << "kitehost: " << error << '\n';
        m_err.flush();
        return false;
    }
    m_loader.setFileName(found.file);
    QObject* instance = m_loader.instance();
    m_plugin = qobject_cast<PluginNetConnectionInterface*>(instance);
    if (!m_plugin) {
        m_err << "kitehost: " << tr("%1 does not provide the plug-in interface: %2").arg(found.file, m_loader.errorString())
              << '\n';
        m_err.flush();
        return false;
    }
    m_pluginObject = m_plugin->getObject();
    return true;
}

int KiteHost::probe()
{
    if (!loadPlugin())
        return 1;
    const QJsonObject meta = m_loader.metaData();
    const QJsonObject report{
        {QStringLiteral("iid"), meta.value(QStringLiteral("IID"))},
        {QStringLiteral("className"), meta.value(QStringLiteral("className"))},
        {QStringLiteral("pluginVersion"), m_plugin->getPluginVersion()},
        {QStringLiteral("file"), m_loader.fileName()},
    };
    m_out << QJsonDocument(report).toJson(QJsonDocument::Compact) << '\n';
    m_out.flush();
    return 0;
}

bool KiteHost::start()
{
    QDir().mkpath(m_options.appDir);
    m_settings = new KiteSettings(this);
    m_settings->setApplicationDirectory(QDir(m_options.appDir).absolutePath());
    m_settings->versionBuild = hostBuildNumber;

    // The password lives outside the settings file; this host keeps it in the
    // environment of the process.
    connect(m_settings, &KiteSettings::loadPasswordSignal, this,
            [this] { m_settings->password = qEnvironmentVariable("KITE_PASSWORD"); });
    m_settings->load();

    if (!loadPlugin())
        return false;
    m_plugin->setKiteSettings(m_settings);
    connectHostDuties();
    if (!m_options.farmStorage.isEmpty()) {
        startStandInUploader();
        startStandInDownloader();
    }

    m_out << "kitehost: plug-in " << m_pluginObject->metaObject()->className() << " version "
          << m_plugin->getPluginVersion() << " running, application directory " << m_settings->applicationDirectory()
          << '\n';
    m_out.flush();

    m_loginKeeper = new LoginKeeper(m_plugin, m_settings, m_out, this);
    if (m_options.retryBaseMs > 0)
        m_loginKeeper->setFirstRetryDelay(m_options.retryBaseMs);
    startCommandChannel();
    if (!m_settings->username.isEmpty())
        m_loginKeeper->login();
    else
        m_out << "kitehost: no user name in settings.ini, not logging in\n";

    if (m_options.exitAfterSeconds >= 0)
        QTimer::singleShot(static_cast<int>(m_options.exitAfterSeconds * 1000), this, &KiteHost::shutDown);
    return true;
}

void KiteHost::connectHostDuties()
{
    QObject* plugin = m_plugin->getObject();

    // Folders and links the plug-in opens are printed instead.
    if (m_options.noDesktop)
        new DesktopUrlPrinter(*m_flusher, this);

    // Jobs send their requests through the shared settings object; only the
    // host can route them to the plug-in.
    connect(m_settings, SIGNAL(makeRequest(QString, QJsonObject, KiteProject*, QString)), plugin,
            SLOT(makeRequest(QString, QJsonObject, KiteProject*, QString)));

    m_settings->websocketPingEnabled = true;

    // With --trace-signals: everything the plug-in reports, except its own log
    // lines and the raw protocol traffic (which carries the login). Update
    // information and the tunnel state have lines of their own.
    if (m_options.traceSignals) {
        new SignalPrinter(plugin, *m_flusher,
                          {"writeToLog", "webSocketMessageSignal", "websocketPingSignal", "updateDataSignal",
                           "tunnelConnectedSignal"},
                          this);
    }
    new MaintenancePrinter(m_plugin, m_options.acceptUpdates, m_out, this);

    // The tray host keeps its job menu in step with the jobs' entries.
    m_jobMenu = new JobMenuView(m_settings, m_out, this);
    connect(plugin, SIGNAL(buildRenderJobSubmenuSignal()), m_jobMenu, SLOT(rebuild()));

    connect(m_settings, &KiteSettings::showMessageSignal, this,
            [this](const QString& title, const QString& message, const QString& type, KiteProject*) {
                m_flusher->printLine(QStringLiteral("notification [") + type + QStringLiteral("] ") + title
                                     + QStringLiteral(": ") + message);
            });
}

void KiteHost::startStandInUploader()
{
    m_uploader = new StandInUploader(m_plugin, m_settings, m_options.farmStorage, this);
    m_uploader->setPaceMs(m_options.uploadPaceMs);
    // The uploader plug-in's side of the host's connections.
    connect(m_plugin->getObject(), SIGNAL(UploadJobSignal()), m_uploader, SLOT(uploadJobSlot()));

    auto print = [this](const QString& line) { m_flusher->printLine(QStringLiteral("uploader: ") + line); };
    connect(m_uploader, &StandInUploader::jobStarted, this,
            [print](KiteProject* job) { print(QStringLiteral("started ") + job->name); });
    connect(m_uploader, &StandInUploader::fileStarted, this, [print](KiteProject* job, const QString& path, qint64 offset) {
        print(job->name + QStringLiteral(": ") + path
              + (offset > 0 ? QStringLiteral(" from byte ") + QString::number(offset) : QString()));
    });
    connect(m_uploader, &StandInUploader::copyFailed, this,
            [print](KiteProject* job, const QString& path, const QString& reason) {
                print(job->name + QStringLiteral(": ") + path + QStringLiteral(" failed, retrying later: ") + reason);
            });
    connect(m_uploader, &StandInUploader::jobFinished, this, [print](KiteProject* job) {
        print(job->name + QStringLiteral(": all files copied, ") + QString::number(job->bytesSentTotal)
              + QStringLiteral(" bytes counted, check requested"));
    });
    connect(m_uploader, &StandInUploader::jobStopped, this, [print](KiteProject* job, const QString& reason) {
        print(job->name + QStringLiteral(": stopped (") + reason + QLatin1Char(')'));
    });
    connect(m_uploader, &StandInUploader::jobRefused, this, [print](KiteProject* job, const QString& reason) {
        print(job->name + QStringLiteral(": refused: ") + reason);
    });
    m_out << "kitehost: stand-in uploader copies into " << m_options.farmStorage << "/upload/<user>\n";
    m_out.flush();
}

void KiteHost::startStandInDownloader()
{
    m_downloader = new StandInDownloader(m_plugin, m_settings, m_options.farmStorage, this);
    m_downloader->setPaceMs(m_options.downloadPaceMs);
    // The downloader plug-in's side of the host's connections.
    connect(m_plugin->getObject(), SIGNAL(downloadJobSignal()), m_downloader, SLOT(downloadJobSlot()));

    auto print = [this](const QString& line) { m_flusher->printLine(QStringLiteral("downloader: ") + line); };
    connect(m_downloader, &StandInDownloader::jobStarted, this,
            [print](KiteProject* job) { print(QStringLiteral("started ") + job->name); });
    connect(m_downloader, &StandInDownloader::fileStarted, this,
            [print](KiteProject* job, const QString& path, qint64 offset) {
                print(job->name + QStringLiteral(": ") + path
                      + (offset > 0 ? QStringLiteral(" resumed at byte ") + QString::number(offset) : QString()));
            });
    connect(m_downloader, &StandInDownloader::fileFailed, this,
            [print](KiteProject* job, const QString& path, const QString& reason) {
                print(job->name + QStringLiteral(": ") + path + QStringLiteral(" failed: ") + reason);
            });
    connect(m_downloader, &StandInDownloader::jobFinished, this, [print](KiteProject* job, int errors) {
        print(job->name + QStringLiteral(": list worked through, ") + QString::number(errors) + QStringLiteral(" errors"));
    });
    connect(m_downloader, &StandInDownloader::jobStopped, this, [print](KiteProject* job, const QString& reason) {
        print(job->name + QStringLiteral(": stopped (") + reason + QLatin1Char(')'));
    });
    m_out << "kitehost: stand-in downloader copies from " << m_options.farmStorage << "/output/<user>\n";
    m_out.flush();
}

void KiteHost::startCommandChannel()
{
    // A folder question of a command is answered inside the application.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    m_commands = new CommandChannel(m_plugin, m_settings, m_loginKeeper, m_out, this);
    connect(m_commands, &CommandChannel::quitRequested, this, &KiteHost::shutDown);
    QString why;
    if (!m_commands->start(&why))
        m_out << "kitehost: commands on standard input are not read: " << why << '\n';
}

void KiteHost::shutDown()
{
    if (m_shuttingDown)
        return;
    m_shuttingDown = true;
    if (m_loginKeeper)
        m_loginKeeper->stop();
    if (m_jobMenu && !m_options.menuSnapshot.isEmpty()) {
        const bool saved = m_jobMenu->saveSnapshot(m_options.menuSnapshot);
        m_out << "kitehost: job menu snapshot " << (saved ? "written to " : "could not be written to ")
              << m_options.menuSnapshot << '\n';
    }
    m_out << "kitehost: shutting down\n";
    m_out.flush();
    if (!m_plugin || !m_pluginObject) {
        emit finished(0);
        return;
    }
    // While a synchronisation runs the plug-in deletes itself a second after
    // exitApplicationSlot; the host waits for that, or a grace period.
    connect(m_pluginObject, &QObject::destroyed, this, [this] { emit finished(0); });
    QTimer::singleShot(shutdownGraceMs, this, [this] { emit finished(0); });
    m_plugin->exitApplicationSlot();
}
