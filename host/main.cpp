#include "commandchannel.h"
#include "hostoptions.h"
#include "kitehost.h"
#include "terminationwatcher.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    // The options are read before the application object: the probe and the
    // help need no display, and get an application without a GUI.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    HostOptions options;
    QString error;
    const bool parsed = HostOptions::parse(arguments, options, error);

    // The debug output of the plug-in and the host is for --verbose;
    // QT_LOGGING_RULES still overrides these rules. The plug-in's log file
    // does not depend on them.
    QLoggingCategory::setFilterRules(options.verbose ? QStringLiteral("kite.*.debug=true")
                                                     : QStringLiteral("kite.*.debug=false"));

    QTextStream out(stdout);
    QTextStream err(stderr);

    if (!parsed || options.probe) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("kitehost"));
        if (!parsed) {
            err << (options.help ? HostOptions::usage() + QLatin1Char('\n') + CommandChannel::helpText() : error)
                << '\n';
            return 2;
        }
        KiteHost host(options, out, err);
        return host.probe();
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kitehost"));
    QApplication::setQuitOnLastWindowClosed(false);

    KiteHost host(options, out, err);
    TerminationWatcher termination;
    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &host, &KiteHost::shutDown);
    QObject::connect(&host, &KiteHost::finished, &app, &QApplication::exit, Qt::QueuedConnection);
    if (!host.start())
        return 1;
    return QApplication::exec();
}
