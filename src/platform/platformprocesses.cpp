#include "platform/platformprocesses.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#ifdef Q_OS_WIN
#include <windows.h>
#include <tlhelp32.h>
#else
#include <cerrno>
#include <climits>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {
constexpr char clientBaseName[] = "llinkorvk";

#ifdef Q_OS_WIN
// The file a process runs, with its drive; empty when it cannot be asked.
QString executableOf(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return QString();
    wchar_t path[MAX_PATH * 4];
    DWORD size = sizeof path / sizeof path[0];
    const bool ok = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    return ok ? QDir::fromNativeSeparators(QString::fromWCharArray(path, int(size))) : QString();
}
#else
// The file a process runs, as the kernel reports it; empty when the process
// is gone, is a zombie or belongs to someone we may not look at.
QString executableOf(qint64 pid)
{
    const QByteArray link = QByteArrayLiteral("/proc/") + QByteArray::number(pid) + QByteArrayLiteral("/exe");
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
    if (length <= 0)
        return QString();
    return QFile::decodeName(QByteArray(target, static_cast<int>(length)));
}

// A descriptor that names exactly one process, so that a signal cannot reach
// a process that took over the id meanwhile; -1 when the system has none.
int openProcessHandle(qint64 pid)
{
#if defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    Q_UNUSED(pid)
    errno = ENOSYS;
    return -1;
#endif
}

bool signalThroughHandle(int handle)
{
#if defined(SYS_pidfd_send_signal)
    return ::syscall(SYS_pidfd_send_signal, handle, SIGKILL, nullptr, 0) == 0;
#else
    Q_UNUSED(handle)
    return false;
#endif
}

struct Ended
{
    qint64 pid = 0;
    int handle = -1;
};

// Waits until every ended process is gone or the time is up.
void waitUntilGone(const QList<Ended>& ended, const QString& executable, int waitMs)
{
    QElapsedTimer clock;
    clock.start();
    for (const Ended& process : ended) {
        for (;;) {
            const qint64 left = waitMs - clock.elapsed();
            if (left <= 0)
                return;
            if (process.handle >= 0) {
                // The handle becomes readable when the process has ended.
                pollfd entry{process.handle, POLLIN, 0};
                const int ready = ::poll(&entry, 1, static_cast<int>(left));
                if (ready == 0)
                    return; // time is up
                if (ready > 0 || errno != EINTR)
                    break;
            } else {
                if (executableOf(process.pid) != executable)
                    break;
                QThread::msleep(10);
            }
        }
    }
}
#endif
} // namespace

QString PlatformProcesses::sshClientFileName()
{
#ifdef Q_OS_WIN
    return QLatin1String(clientBaseName) + QStringLiteral(".exe");
#else
    return QLatin1String(clientBaseName);
#endif
}

QString PlatformProcesses::sshClientPath(const QString& applicationDirectory)
{
    return QDir(applicationDirectory).filePath(sshClientFileName());
}

QString PlatformProcesses::leftoverKillProgram()
{
    return QStringLiteral("taskkill");
}

QStringList PlatformProcesses::leftoverKillArguments()
{
    return {QStringLiteral("/im"), QLatin1String(clientBaseName) + QStringLiteral(".exe"), QStringLiteral("/f")};
}

int PlatformProcesses::endLeftoverSshClients(const QString& applicationDirectory)
{
#ifdef Q_OS_WIN
    Q_UNUSED(applicationDirectory)
    return QProcess::execute(leftoverKillProgram(), leftoverKillArguments()) == 0 ? 1 : 0;
#else
    return endProcessesRunningExecutable(sshClientPath(applicationDirectory));
#endif
}

QList<qint64> PlatformProcesses::processesRunningExecutable(const QString& executablePath)
{
    QList<qint64> found;
#ifdef Q_OS_WIN
    // Names without regard to case, as Windows compares them.
    const QString wanted = QFileInfo(executablePath).canonicalFilePath();
    if (wanted.isEmpty())
        return found;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (bool more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self || entry.th32ProcessID == 0)
            continue;
        const QString image = executableOf(entry.th32ProcessID);
        if (!image.isEmpty() && QFileInfo(image).canonicalFilePath().compare(wanted, Qt::CaseInsensitive) == 0)
            found << qint64(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
#else
    const QString canonical = QFileInfo(executablePath).canonicalFilePath();
    if (canonical.isEmpty())
        return found;
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isNumber = false;
        const qint64 pid = entry.toLongLong(&isNumber, 10);
        if (!isNumber || pid <= 0 || pid == self)
            continue;
        if (executableOf(pid) == canonical)
            found << pid;
    }
#endif
    return found;
}

int PlatformProcesses::endProcessesRunningExecutable(const QString& executablePath, int waitMs)
{
#ifdef Q_OS_WIN
    int ended = 0;
    const QList<qint64> candidates = processesRunningExecutable(executablePath);
    for (qint64 pid : candidates) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, DWORD(pid));
        if (!process)
            continue;
        if (TerminateProcess(process, 1)) {
            ++ended;
            WaitForSingleObject(process, DWORD(qMax(0, waitMs)));
        }
        CloseHandle(process);
    }
    return ended;
#else
    const QString canonical = QFileInfo(executablePath).canonicalFilePath();
    QList<Ended> ended;
    const QList<qint64> candidates = processesRunningExecutable(executablePath);
    for (qint64 pid : candidates) {
        Ended process;
        process.pid = pid;
        process.handle = openProcessHandle(pid);
        // Checked again now that the handle pins the process down.
        if (executableOf(pid) != canonical) {
            if (process.handle >= 0)
                ::close(process.handle);
            continue;
        }
        const bool signalled = process.handle >= 0 ? signalThroughHandle(process.handle)
                                                   : ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
        if (signalled)
            ended << process;
        else if (process.handle >= 0)
            ::close(process.handle);
    }
    waitUntilGone(ended, canonical, waitMs);
    for (const Ended& process : qAsConst(ended)) {
        if (process.handle >= 0)
            ::close(process.handle);
    }
    return ended.size();
#endif
}
