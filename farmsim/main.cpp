#include "farmsimoptions.h"
#include "farmsimulator.h"
#include "terminationwatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
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
    if (!options.storageDir.isEmpty()) {
        if (!QDir().mkpath(options.storageDir)) {
            err << "farmsim: cannot create the storage folder " << options.storageDir << '\n';
            return 2;
        }
        simulator.setStorageRoot(QDir(options.storageDir).absolutePath());
    }
    simulator.setRenderPace(options.paceMs);
    simulator.setFrameCount(options.frames);
    if (options.projects > 0) {
        const QStringList users = simulator.accounts().users();
        for (const QString& user : users)
            simulator.addProjects(user, options.projects);
    }
    if (!options.autoupdateFile.isEmpty()) {
        QFile file(options.autoupdateFile);
        QJsonParseError parseError{};
        const QJsonDocument content = file.open(QIODevice::ReadOnly)
            ? QJsonDocument::fromJson(file.readAll(), &parseError)
            : QJsonDocument();
        if (!content.isObject()) {
            err << "farmsim: " << options.autoupdateFile << ": not a JSON object "
                << (file.isOpen() ? parseError.errorString() : file.errorString()) << '\n';
            return 2;
        }
        simulator.setAutoupdateContent(content.object());
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
