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
// that failed halfway leaves nothing running. Like the real client it is one
// file that runs wherever it is copied: it uses no library of the project or
// of Qt.

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace {
constexpr unsigned maxLifetimeSeconds = 60;

std::string environment(const char* name, const char* fallback = "")
{
    const char* value = std::getenv(name);
    return value ? value : fallback;
}

void record(const std::string& line)
{
    const std::string path = environment("SSHSTANDIN_RECORD");
    if (path.empty())
        return;
    std::ofstream file(path, std::ios::app | std::ios::binary);
    file << line << '\n';
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
    std::string mode = environment("SSHSTANDIN_MODE", "normal");
    const char modeOption[] = "--standin-mode=";
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], modeOption, sizeof modeOption - 1) == 0) {
        mode = argv[1] + sizeof modeOption - 1;
        first = 2;
    }
    std::string joined;
    for (int i = first; i < argc; ++i)
        joined += (i > first ? " " : "") + std::string(argv[i]);
    record("args: " + joined);

    if (mode == "hang") {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (mode == "crash") {
#ifdef _WIN32
        // The status of an access violation: a crash to QProcess.
        TerminateProcess(GetCurrentProcess(), 0xC0000005);
#else
        ::raise(SIGKILL);
#endif
    }
    if (mode == "fail") {
        std::cerr << "FATAL ERROR: Network error: Connection refused" << std::endl;
        return 1;
    }

    const std::string login = argc > first ? std::string(argv[argc - 1]) : std::string("user@host");
    const std::string prompt = login + "'s password: ";
    const std::string greeting = "Last login: Mon Mar  4 10:00:00 2024 from 127.0.0.1\n";
    const bool pieces = mode == "pieces";
    const auto inPieces = [](const std::string& text, std::size_t cut) {
        say(text.substr(0, cut));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        say(text.substr(cut));
    };
    if (mode == "together")
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
    if (line != environment("SSHSTANDIN_PASSWORD")) {
        record("password wrong");
        std::cerr << "FATAL ERROR: Access denied" << std::endl;
        return 1;
    }
    record("password ok");
    if (mode != "together" && !pieces)
        say(greeting);
    if (mode == "early")
        return 0;

    while (readLine(line)) {
        record("line: " + line);
        if (line == "exit") {
            say("logout\n");
            return 0;
        }
        if (mode != "noecho")
            say(line + "\n");
    }
    return 0;
}
