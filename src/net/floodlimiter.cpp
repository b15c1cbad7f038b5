#include "net/floodlimiter.h"

FloodLimiter::FloodLimiter(const QDateTime& windowStart, int windows)
    : messageWindowStart(windowStart)
    , windowsInARow(windows)
{
}

bool FloodLimiter::count(const QDateTime& now, int waiting)
{
    ++messageCount;
    const qint64 elapsedMs = messageWindowStart.msecsTo(now);
    if (elapsedMs <= 1000)
        return false;

    messageWindowStart = now;
    // Whole seconds and whole requests per second, as the server counts them.
    const qint64 rate = messageCount / (elapsedMs / 1000);
    messageCount = 0;
    const bool backlogGrew = waiting < 0 || waiting > waitingAtWindowStart;
    waitingAtWindowStart = waiting;
    if (static_cast<double>(rate) <= maxRequestsPerSecond || !backlogGrew) {
        floodedWindows = 0;
        return false;
    }
    if (++floodedWindows < windowsInARow)
        return false;
    floodedWindows = 0;
    return true;
}
