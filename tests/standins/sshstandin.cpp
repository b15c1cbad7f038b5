// Stand-in for the licence tunnel's command-line SSH client, for tests.
//
// It takes the client's arguments (the last one is "user@host"), asks for the
// password on its standard output, checks the line it reads against
// SSHSTANDIN_PASSWORD, greets with "Last login:" and then echoes every line
// it reads, like a remote shell, until it reads "exit".
//
// SSHSTANDIN_MODE (or a first argument "--standin-mode=MODE") changes that:
//   normal    as above (the default)
//   together  the prompt and the greeting come in one write, before the
//             password is read
//   pieces    the prompt and the greeting come in pieces, and what was typed
//             at the prompt is shown on standard error as "ERROR: typed ..."
//   noecho    logs in, then never echoes (a tunnel that stopped answering)
//   early     logs in and exits at once with code 0 (the far end hung up)
//   hang      prints nothing and reads nothing until it is killed
//   fail      prints an error line on standard error and exits with code 1
//   crash     kills itself (SIGKILL; on Windows it ends as a crashed program)
// SSHSTANDIN_RECORD names a file the stand-in appends to: its arguments, the
// outcome of the password check (never the password) and every line it reads
// after the login.
//
// Whatever the mode, the stand-in ends itself after a minute, so that a test
// that failed halfway leaves nothing running.

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
constexpr unsigned maxLifetimeSeconds = 60;

void record(const QString& line)
{
    const QString path = qEnvironmentVariable("SSHSTANDIN_RECORD");
    if (path.isEmpty())
        return;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');
}

void say(const std::string& text)
{
    std::cout << text << std::flush;
}

bool readLine(std::string& line)
{
    if (!std::getline(std::cin, line))
        return false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}
} // namespace

int main(int argc, char* argv[])
{
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(maxLifetimeSeconds));
        std::_Exit(3);
    }).detach();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString mode = qEnvironmentVariable("SSHSTANDIN_MODE", QStringLiteral("normal"));
    if (!args.isEmpty() && args.first().startsWith(QLatin1String("--standin-mode="))) {
        mode = args.takeFirst().mid(int(qstrlen("--standin-mode=")));
    }
    record(QStringLiteral("args: ") + args.join(QLatin1Char(' ')));

    if (mode == QLatin1String("hang")) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (mode == QLatin1String("crash")) {
#ifdef Q_OS_WIN
        // The status of an access violation: a crash to QProcess.
        TerminateProcess(GetCurrentProcess(), 0xC0000005);
#else
        ::raise(SIGKILL);
#endif
    }
    if (mode == QLatin1String("fail")) {
        std::cerr << "FATAL ERROR: Network error: Connection refused" << std::endl;
        return 1;
    }

    const std::string login = args.isEmpty() ? std::string("user@host") : args.last().toStdString();
    const std::string prompt = login + "'s password: ";
    const std::string greeting = "Last login: Mon Mar  4 10:00:00 2024 from 127.0.0.1\n";
    const bool pieces = mode == QLatin1String("pieces");
    const auto inPieces = [](const std::string& text, std::size_t cut) {
        say(text.substr(0, cut));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        say(text.substr(cut));
    };
    if (mode == QLatin1String("together"))
        say(prompt + "\n" + greeting);
    else if (pieces)
        inPieces(prompt, prompt.size() - 6);
    else
        say(prompt);

    std::string line;
    if (!readLine(line))
        return 2;
    if (pieces) {
        std::cerr << "ERROR: typed " << line << std::endl;
        inPieces(greeting, 7);
    }
    if (QString::fromStdString(line) != qEnvironmentVariable("SSHSTANDIN_PASSWORD")) {
        record(QStringLiteral("password wrong"));
        std::cerr << "FATAL ERROR: Access denied" << std::endl;
        return 1;
    }
    record(QStringLiteral("password ok"));
    if (mode != QLatin1String("together") && !pieces)
        say(greeting);
    if (mode == QLatin1String("early"))
        return 0;

    while (readLine(line)) {
        record(QStringLiteral("line: ") + QString::fromStdString(line));
        if (line == "exit") {
            say("logout\n");
            return 0;
        }
        if (mode != QLatin1String("noecho"))
            say(line + "\n");
    }
    return 0;
}
