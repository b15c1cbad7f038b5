#include "farmsimoptions.h"
#include "farmsimulator.h"
#include "terminationwatcher.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("farmsim"));

    QTextStream out(stdout);
    QTextStream err(stderr);

    FarmSimOptions options;
    QString error;
    if (!FarmSimOptions::parse(QCoreApplication::arguments(), options, error)) {
        err << error << '\n';
        return 2;
    }

    FarmSimulator simulator;
    if (!simulator.loadAccounts(options.accountsFile, &error)) {
        err << "farmsim: " << error << '\n';
        return 2;
    }
    if (!options.certificateFile.isEmpty()
        && !simulator.loadTls(options.certificateFile, options.keyFile, &error)) {
        err << "farmsim: " << error << '\n';
        return 2;
    }
    if (!simulator.listen(options.address, options.port)) {
        err << "farmsim: " << simulator.errorString() << '\n';
        return 1;
    }

    // Shut down through the event loop: stop accepting, say goodbye to the
    // clients, and leave once they are gone (or after a second at most).
    TerminationWatcher termination;
    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &simulator, [&simulator]() {
        simulator.stopListening();
        if (simulator.closeAllConnections(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("server stopping")) == 0) {
            QCoreApplication::quit();
            return;
        }
        QObject::connect(&simulator, &FarmSimulator::connectionClosed, &simulator, [&simulator]() {
            if (simulator.connectionCount() == 0)
                QCoreApplication::quit();
        });
        QTimer::singleShot(1000, &simulator, &QCoreApplication::quit);
    });

    out << "listening on " << simulator.serverUrl().toString() << '\n';
    out.flush();
    return QCoreApplication::exec();
}
