#include "stdinlinereader.h"

#include "commandlogging.h"

#include <QList>
#include <QSocketNotifier>

#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int inputFd = 0;
// A line longer than this is cut; the channel then answers it as it is.
constexpr int maxLineBytes = 64 * 1024;
} // namespace

StdinLineReader::StdinLineReader(QObject* parent)
    : QObject(parent)
{
}

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
    if (count == 0) {
        finish();
        return;
    }
    m_pending.append(buffer, static_cast<int>(count));
    // The lines are taken out before anyone hears of them, and the notifier
    // rests meanwhile: a receiver may run an event loop of its own (a modal
    // question), and the next input waits until this input is handled.
    QList<QByteArray> lines;
    int start = 0;
    for (int end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n', start)) {
        lines << m_pending.mid(start, end - start);
        start = end + 1;
    }
    m_pending.remove(0, start);
    if (m_pending.size() > maxLineBytes)
        lines << std::exchange(m_pending, QByteArray());
    QSocketNotifier* notifier = m_notifier;
    notifier->setEnabled(false);
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        emit lineRead(QString::fromLocal8Bit(line));
        if (m_notifier != notifier)
            return; // the reading was stopped
    }
    notifier->setEnabled(true);
}

void StdinLineReader::stop()
{
    if (!m_notifier)
        return;
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    m_pending.clear();
}

void StdinLineReader::finish()
{
    if (!m_notifier)
        return;
    // A regular file or a closed pipe stays readable: the notifier goes. A
    // last line without its line end still counts.
    QByteArray last = std::exchange(m_pending, QByteArray());
    stop();
    if (last.endsWith('\r'))
        last.chop(1);
    if (!last.isEmpty())
        emit lineRead(QString::fromLocal8Bit(last));
    emit endOfInput();
}
