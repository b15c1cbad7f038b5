#include "farmsimoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

bool FarmSimOptions::parse(const QStringList& arguments, FarmSimOptions& options, QString& error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Loopback stand-in for the farm's job-queue server."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("listen"),
                      QStringLiteral("Loopback address and port to listen on (default 127.0.0.1:0)."),
                      QStringLiteral("HOST:PORT")});
    parser.addOption({QStringLiteral("accounts"), QStringLiteral("Accounts JSON file."), QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("cert"), QStringLiteral("TLS certificate (PEM); serve wss://."),
                      QStringLiteral("PEM")});
    parser.addOption({QStringLiteral("key"), QStringLiteral("TLS private key (PEM, unencrypted)."),
                      QStringLiteral("PEM")});
    parser.addOption({QStringLiteral("storage"),
                      QStringLiteral("Folder of the farm's files: upload/<user>/ and output/<user>/<job>/."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("pace-ms"),
                      QStringLiteral("Milliseconds between the render steps of a job (default 500)."),
                      QStringLiteral("MS")});
    parser.addOption({QStringLiteral("frames"), QStringLiteral("Frames rendered for a job (default 4)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("projects"),
                      QStringLiteral("Give every account N projects (queued, rendering, rendered and paused in turn)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("autoupdate"),
                      QStringLiteral("JSON object answered as the content of \"autoupdate\"."),
                      QStringLiteral("FILE")});
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        error = parser.helpText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument: ") + parser.positionalArguments().first();
        return false;
    }
    if (parser.isSet(QStringLiteral("listen"))
        && !parseListen(parser.value(QStringLiteral("listen")), options.address, options.port, error))
        return false;
    options.accountsFile = parser.value(QStringLiteral("accounts"));
    if (options.accountsFile.isEmpty()) {
        error = QStringLiteral("--accounts FILE is needed");
        return false;
    }
    options.certificateFile = parser.value(QStringLiteral("cert"));
    options.keyFile = parser.value(QStringLiteral("key"));
    if (options.certificateFile.isEmpty() != options.keyFile.isEmpty()) {
        error = QStringLiteral("--cert and --key go together");
        return false;
    }
    options.storageDir = parser.value(QStringLiteral("storage"));
    options.autoupdateFile = parser.value(QStringLiteral("autoupdate"));
    const auto number = [&parser, &error](const QString& name, int maximum, int& value) {
        if (!parser.isSet(name))
            return true;
        bool ok = false;
        const int parsed = parser.value(name).toInt(&ok);
        if (!ok || parsed < 0 || parsed > maximum) {
            error = QStringLiteral("--%1: expected a number from 0 to %2, got %3")
                        .arg(name).arg(maximum).arg(parser.value(name));
            return false;
        }
        value = parsed;
        return true;
    };
    return number(QStringLiteral("pace-ms"), 3600000, options.paceMs)
        && number(QStringLiteral("frames"), 10000, options.frames)
        && number(QStringLiteral("projects"), 1000000, options.projects);
}

bool FarmSimOptions::parseListen(const QString& text, QHostAddress& address, quint16& port, QString& error)
{
    QString host;
    QString portText;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QStringLiteral("]:"));
        if (close < 0) {
            error = QStringLiteral("--listen: expected [IPv6]:PORT, got ") + text;
            return false;
        }
        host = text.mid(1, close - 1);
        portText = text.mid(close + 2);
    } else {
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon < 0) {
            error = QStringLiteral("--listen: expected HOST:PORT, got ") + text;
            return false;
        }
        host = text.left(colon);
        portText = text.mid(colon + 1);
    }
    bool ok = false;
    const uint number = portText.toUInt(&ok);
    if (!ok || number > 65535) {
        error = QStringLiteral("--listen: bad port ") + portText;
        return false;
    }
    const QHostAddress parsed = host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0
        ? QHostAddress(QHostAddress::LocalHost)
        : QHostAddress(host);
    if (parsed.isNull()) {
        error = QStringLiteral("--listen: bad address ") + host;
        return false;
    }
    if (!parsed.isLoopback()) {
        error = QStringLiteral("--listen: refusing %1, only loopback addresses are served").arg(host);
        return false;
    }
    address = parsed;
    port = static_cast<quint16>(number);
    return true;
}
