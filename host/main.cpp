#include "hostoptions.h"
#include "kitehost.h"
#include "terminationwatcher.h"

#include <QApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kitehost"));
    QApplication::setQuitOnLastWindowClosed(false);

    QTextStream out(stdout);
    QTextStream err(stderr);

    HostOptions options;
    QString error;
    if (!HostOptions::parse(QApplication::arguments(), options, error)) {
        err << error << '\n';
        return 2;
    }

    KiteHost host(options, out, err);
    if (options.probe)
        return host.probe();

    TerminationWatcher termination;
    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &host, &KiteHost::shutDown);
    QObject::connect(&host, &KiteHost::finished, &app, &QApplication::exit, Qt::QueuedConnection);
    if (!host.start())
        return 1;
    return QApplication::exec();
}
