#include "hostoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

namespace {
QCommandLineParser& setUp(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QCoreApplication::translate("HostOptions", "Reference host of the Kite network-connection plug-in."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("probe"),
                      QCoreApplication::translate("HostOptions", "Load the plug-in, print what it reports, exit.")});
    parser.addOption({QStringLiteral("app-dir"),
                      QCoreApplication::translate("HostOptions", "Application directory (settings.ini, logFile.log)."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("plugin-dir"),
                      QCoreApplication::translate("HostOptions", "Folder to load the plug-in from."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("exit-after"),
                      QCoreApplication::translate("HostOptions", "Shut down after this many seconds."),
                      QStringLiteral("SECONDS")});
    parser.addOption({QStringLiteral("retry-base-ms"),
                      QCoreApplication::translate("HostOptions", "First delay of the login back-off."),
                      QStringLiteral("MS")});
    parser.addOption({QStringLiteral("menu-snapshot"),
                      QCoreApplication::translate("HostOptions", "Write a picture of the job menu at exit."),
                      QStringLiteral("FILE.png")});
    parser.addOption({QStringLiteral("accept-updates"),
                      QCoreApplication::translate("HostOptions",
                                                  "Fetch the files of an update the server announces.")});
    parser.addOption({QStringLiteral("farm-storage"),
                      QCoreApplication::translate(
                          "HostOptions",
                          "Run the stand-in transfers: the uploader copies the jobs' files into DIR/upload/<user>/, "
                          "the downloader fetches their output from DIR/output/<user>/ (the farm simulator's "
                          "--storage folder)."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("upload-pace-ms"),
                      QCoreApplication::translate("HostOptions",
                                                  "Delay between two copy steps (256 KiB each) of the stand-in uploader."),
                      QStringLiteral("MS")});
    parser.addOption({QStringLiteral("download-pace-ms"),
                      QCoreApplication::translate(
                          "HostOptions", "Delay between two copy steps (256 KiB each) of the stand-in downloader."),
                      QStringLiteral("MS")});
    parser.addOption({QStringLiteral("trace-signals"),
                      QCoreApplication::translate("HostOptions", "Print a line for every signal the plug-in emits.")});
    parser.addOption({QStringLiteral("verbose"),
                      QCoreApplication::translate(
                          "HostOptions", "Show the debug output of the plug-in and the host (categories kite.*).")});
    parser.addOption({QStringLiteral("no-desktop"),
                      QCoreApplication::translate(
                          "HostOptions", "Print folders and links the plug-in opens as \"open: <url>\" instead of "
                                         "starting a file manager or a browser.")});
    return parser;
}
} // namespace

bool HostOptions::parse(const QStringList& arguments, HostOptions& options, QString& error)
{
    QCommandLineParser parser;
    setUp(parser);
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        options.help = true;
        return false;
    }
    options.probe = parser.isSet(QStringLiteral("probe"));
    options.traceSignals = parser.isSet(QStringLiteral("trace-signals"));
    options.verbose = parser.isSet(QStringLiteral("verbose"));
    options.noDesktop = parser.isSet(QStringLiteral("no-desktop"));
    options.appDir = parser.value(QStringLiteral("app-dir"));
    options.pluginDir = parser.value(QStringLiteral("plugin-dir"));
    if (!options.pluginDir.isEmpty())
        options.pluginDir = QDir::cleanPath(QDir(options.pluginDir).absolutePath());

    if (parser.isSet(QStringLiteral("exit-after"))) {
        bool ok = false;
        options.exitAfterSeconds = parser.value(QStringLiteral("exit-after")).toDouble(&ok);
        if (!ok || options.exitAfterSeconds < 0) {
            error = QCoreApplication::translate("HostOptions", "--exit-after needs a number of seconds");
            return false;
        }
    }
    options.menuSnapshot = parser.value(QStringLiteral("menu-snapshot"));
    options.acceptUpdates = parser.isSet(QStringLiteral("accept-updates"));
    if (parser.isSet(QStringLiteral("retry-base-ms")))
        options.retryBaseMs = parser.value(QStringLiteral("retry-base-ms")).toInt();
    if (parser.isSet(QStringLiteral("farm-storage"))) {
        options.farmStorage = parser.value(QStringLiteral("farm-storage"));
        if (options.farmStorage.isEmpty()) {
            error = QCoreApplication::translate("HostOptions", "--farm-storage needs a folder");
            return false;
        }
        options.farmStorage = QDir::cleanPath(QDir(options.farmStorage).absolutePath());
    }
    if (parser.isSet(QStringLiteral("upload-pace-ms"))) {
        bool ok = false;
        options.uploadPaceMs = parser.value(QStringLiteral("upload-pace-ms")).toInt(&ok);
        if (!ok || options.uploadPaceMs < 0) {
            error = QCoreApplication::translate("HostOptions", "--upload-pace-ms needs a number of milliseconds");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("download-pace-ms"))) {
        bool ok = false;
        options.downloadPaceMs = parser.value(QStringLiteral("download-pace-ms")).toInt(&ok);
        if (!ok || options.downloadPaceMs < 0) {
            error = QCoreApplication::translate("HostOptions", "--download-pace-ms needs a number of milliseconds");
            return false;
        }
    }
    if (!options.probe && options.appDir.isEmpty()) {
        error = QCoreApplication::translate("HostOptions", "either --probe or --app-dir DIR is needed");
        return false;
    }
    return true;
}

QString HostOptions::defaultPluginDir()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../plugins"));
}

QString HostOptions::usage()
{
    QCommandLineParser parser;
    return setUp(parser).helpText();
}
