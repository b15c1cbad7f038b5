#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The operating-system side of the licence tunnel's SSH client: where the
// client program lives and how clients left over from an earlier run of the
// application are ended.
//
// On Windows the client is "llinkorvk.exe" in the application directory and
// leftovers are ended by image name with "taskkill /im llinkorvk.exe /f".
// Elsewhere the client is "llinkorvk" in the application directory, and only
// processes whose executable is exactly that file are ended: each candidate's
// executable link in /proc is resolved and compared with the canonical path
// of the file. A process of the same name started from another folder is
// never touched there. The look-up of the processes that run one file works
// on both (on Windows through the process list, names compared without
// regard to case).
class PlatformProcesses
{
public:
    PlatformProcesses() = delete;

    // "llinkorvk.exe" on Windows, "llinkorvk" elsewhere.
    static QString sshClientFileName();
    // applicationDirectory + "/" + sshClientFileName().
    static QString sshClientPath(const QString& applicationDirectory);

    // The command that ends leftover clients on Windows: "taskkill" and its
    // arguments "/im", "llinkorvk.exe", "/f".
    static QString leftoverKillProgram();
    static QStringList leftoverKillArguments();

    // Ends the SSH clients of applicationDirectory that are still running and
    // waits (bounded) for them to go. Returns how many processes were ended
    // (on Windows: 0 or 1, whether the kill command ran successfully).
    static int endLeftoverSshClients(const QString& applicationDirectory);

    // Ids of the running processes whose executable is exactly the file at
    // executablePath (compared after resolving links), never including this
    // process. Empty when the file does not exist or the system offers no
    // process list.
    static QList<qint64> processesRunningExecutable(const QString& executablePath);

    // Ends each process of processesRunningExecutable(executablePath) (with
    // SIGKILL, checking the executable once more right before the signal; on
    // Windows by terminating it) and waits up to waitMs for them to go.
    // Returns how many were ended.
    static int endProcessesRunningExecutable(const QString& executablePath, int waitMs = 2000);
};
