#include "terminationwatcher.h"

#include <csignal>

#ifdef Q_OS_WIN

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>

#include <windows.h>

namespace {
QPointer<TerminationWatcher> g_watcher;

void requestTermination(int signalNumber)
{
    // Console events arrive on a thread of their own: the request goes
    // through the event loop of the watcher's thread.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            app,
            [signalNumber] {
                if (g_watcher)
                    emit g_watcher->terminationRequested(signalNumber);
            },
            Qt::QueuedConnection);
    }
}

BOOL WINAPI consoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        requestTermination(SIGINT);
        return TRUE;
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        requestTermination(SIGTERM);
        return TRUE;
    default:
        return FALSE;
    }
}

// WM_CLOSE posted to the program's thread rather than to a window.
class CloseMessageFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override
    {
        Q_UNUSED(result)
        const MSG* msg = static_cast<const MSG*>(message);
        if (eventType != "windows_generic_MSG" || msg->message != WM_CLOSE || msg->hwnd)
            return false;
        if (g_watcher)
            emit g_watcher->terminationRequested(SIGTERM);
        return true;
    }
};
CloseMessageFilter g_closeFilter;
} // namespace

TerminationWatcher::TerminationWatcher(QObject* parent)
    : QObject(parent)
{
    g_watcher = this;
    SetConsoleCtrlHandler(consoleEvent, TRUE);
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->installNativeEventFilter(&g_closeFilter);
}

TerminationWatcher::~TerminationWatcher()
{
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->removeNativeEventFilter(&g_closeFilter);
    SetConsoleCtrlHandler(consoleEvent, FALSE);
    g_watcher = nullptr;
}

#else

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};

extern "C" void forwardSignal(int signalNumber)
{
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[0], &byte, 1);
}
} // namespace

TerminationWatcher::TerminationWatcher(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationWatcher::readSignal);

    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

TerminationWatcher::~TerminationWatcher()
{
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    for (int& fd : g_signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void TerminationWatcher::readSignal()
{
    unsigned char byte = 0;
    if (::read(g_signalPipe[1], &byte, 1) == 1)
        emit terminationRequested(byte);
}

#endif
