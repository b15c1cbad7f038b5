#include "benchapplication.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#ifdef Q_OS_LINUX
#include <malloc.h>
#include <unistd.h>
#endif

namespace {
QElapsedTimer g_clock;
}

void startClock()
{
    g_clock.start();
}

qint64 nowNs()
{
    return g_clock.nsecsElapsed();
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

qint64 residentBytes()
{
#ifdef Q_OS_LINUX
    malloc_trim(0);
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
#else
    return 0;
#endif
}

bool BenchApplication::notify(QObject* receiver, QEvent* event)
{
    EventTally* tally = nullptr;
    if (QThread::currentThread() == thread())
        tally = receiver == ignored || receiver == lateTimer ? nullptr : &gui;
    else if (QThread::currentThread() == farmThread)
        tally = &farm;
    // Only the top-level delivery is timed; what it sends on is part of it.
    if (!tally || tally->depth++ > 0) {
        const bool result = QApplication::notify(receiver, event);
        if (tally)
            --tally->depth;
        return result;
    }
    tally->startNs = nowNs();
    const bool result = QApplication::notify(receiver, event);
    --tally->depth;
    const qint64 end = nowNs();
    const qint64 took = end - tally->startNs;
    tally->busyNs += took;
    if (took > tally->longestNs)
        tally->longestNs = took;
    if (took > workNs)
        tally->lastEndNs = end;
    return result;
}

void BenchApplication::resetPhase()
{
    gui.busyNs = 0;
    gui.longestNs = 0;
    gui.lastEndNs = nowNs();
}
