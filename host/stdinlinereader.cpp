#include "stdinlinereader.h"

#include "commandlogging.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <utility>

#ifdef Q_OS_WIN
#include <thread>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
// A line longer than this is cut; the channel then answers it as it is.
constexpr int maxLineBytes = 64 * 1024;
#ifndef Q_OS_WIN
constexpr int inputFd = 0;
#endif
} // namespace

StdinLineReader::StdinLineReader(QObject* parent)
    : QObject(parent)
{
}

#ifdef Q_OS_WIN

bool StdinLineReader::start(QString* why)
{
    if (m_reading)
        return true;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        if (why)
            *why = tr("standard input is closed");
        return false;
    }
    m_reading = true;
    if (GetFileType(input) == FILE_TYPE_CHAR) {
        startReaderThread(input);
        return true;
    }
    // A pipe or a file is looked at on the event loop: a read that waits on
    // a pipe would also hold up the closing of the handle at exit.
    if (!m_poll) {
        m_poll = new QTimer(this);
        m_poll->setInterval(50);
        connect(m_poll, &QTimer::timeout, this, &StdinLineReader::pollInput);
    }
    m_poll->start();
    QTimer::singleShot(0, this, &StdinLineReader::pollInput);
    return true;
}

void StdinLineReader::pollInput()
{
    if (!m_reading)
        return;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD available = 0;
    if (GetFileType(input) == FILE_TYPE_PIPE) {
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
            if (GetLastError() != ERROR_BROKEN_PIPE) {
                // A pipe that cannot be looked into (a FIFO of the host
                // system under Wine): a thread waits on it instead.
                m_poll->stop();
                startReaderThread(input);
                return;
            }
            available = 0; // the writer has closed its end: ReadFile ends the input
        } else if (available == 0) {
            return;
        }
    }
    char buffer[4096];
    const DWORD wanted = available > 0 && available < sizeof buffer ? available : DWORD(sizeof buffer);
    DWORD count = 0;
    const bool ok = ReadFile(input, buffer, wanted, &count, nullptr) && count > 0;
    if (!ok)
        m_poll->stop();
    take(ok ? QByteArray(buffer, int(count)) : QByteArray(), !ok);
}

void StdinLineReader::startReaderThread(Qt::HANDLE input)
{
    if (m_threadStarted)
        return; // the thread of an earlier start still reads
    m_threadStarted = true;
    // A console cannot be looked at without taking its input: a thread waits
    // in ReadFile until the input ends and hands each piece to the
    // event loop, where the reader takes it if it still exists.
    QPointer<StdinLineReader> self(this);
    std::thread([self, input] {
        char buffer[4096];
        for (;;) {
            DWORD count = 0;
            const bool ok = ReadFile(input, buffer, sizeof buffer, &count, nullptr) && count > 0;
            const QByteArray piece = ok ? QByteArray(buffer, int(count)) : QByteArray();
            QCoreApplication* app = QCoreApplication::instance();
            if (!app)
                return;
            QMetaObject::invokeMethod(
                app,
                [self, piece, ok] {
                    if (self)
                        self->take(piece, !ok);
                },
                Qt::QueuedConnection);
            if (!ok)
                return;
        }
    }).detach();
}

void StdinLineReader::stop()
{
    m_reading = false;
    m_pending.clear();
    if (m_poll)
        m_poll->stop();
}

#else

bool StdinLineReader::start(QString* why)
{
    if (m_notifier)
        return true;
    if (::fcntl(inputFd, F_GETFL) == -1) {
        if (why)
            *why = tr("standard input is closed");
        return false;
    }
    // Reading a terminal from a background job would stop the whole process.
    if (::isatty(inputFd) && ::tcgetpgrp(inputFd) != ::getpgrp()) {
        if (why)
            *why = tr("the terminal belongs to the foreground job");
        return false;
    }
    m_reading = true;
    m_notifier = new QSocketNotifier(inputFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StdinLineReader::readAvailable);
    return true;
}

void StdinLineReader::readAvailable()
{
    // One read per wake-up: the descriptor is ready, so this does not wait.
    char buffer[4096];
    const ssize_t count = ::read(inputFd, buffer, sizeof buffer);
    if (count < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return;
        qCDebug(lcCommands) << "standard input unreadable, errno" << errno;
        finish();
        return;
    }
    // The notifier rests while the lines are handed out: the next input waits
    // until this input is handled.
    QSocketNotifier* notifier = m_notifier;
    notifier->setEnabled(false);
    take(QByteArray(buffer, static_cast<int>(count)), count == 0);
    if (m_notifier == notifier)
        notifier->setEnabled(true);
}

void StdinLineReader::stop()
{
    m_reading = false;
    m_pending.clear();
    if (!m_notifier)
        return;
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
}

#endif

void StdinLineReader::take(const QByteArray& input, bool atEnd)
{
    if (!m_reading)
        return;
    m_pending.append(input);
    m_atEnd = m_atEnd || atEnd;
    deliverLines();
}

void StdinLineReader::deliverLines()
{
    // A receiver may run an event loop of its own, in which more input
    // arrives: it is kept, and handed out by the loop below once the
    // receiver returned.
    if (m_delivering)
        return;
    m_delivering = true;
    while (m_reading) {
        const int end = m_pending.indexOf('\n');
        QByteArray line;
        if (end >= 0) {
            line = m_pending.left(end);
            m_pending.remove(0, end + 1);
        } else if (m_pending.size() > maxLineBytes) {
            line = std::exchange(m_pending, QByteArray());
        } else {
            break;
        }
        if (line.endsWith('\r'))
            line.chop(1);
        emit lineRead(QString::fromLocal8Bit(line));
    }
    m_delivering = false;
    if (m_reading && m_atEnd)
        finish();
}

void StdinLineReader::finish()
{
    if (!m_reading)
        return;
    // A regular file or a closed pipe stays readable: the reading stops. A
    // last line without its line end still counts.
    QByteArray last = std::exchange(m_pending, QByteArray());
    stop();
    if (last.endsWith('\r'))
        last.chop(1);
    if (!last.isEmpty())
        emit lineRead(QString::fromLocal8Bit(last));
    emit endOfInput();
}
