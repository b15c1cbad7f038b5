#include "net/floodlimiter.h"

FloodLimiter::FloodLimiter(const QDateTime& windowStart)
    : messageWindowStart(windowStart)
{
}

bool FloodLimiter::count(const QDateTime& now)
{
    ++messageCount;
    const qint64 elapsedMs = messageWindowStart.msecsTo(now);
    if (elapsedMs <= 1000)
        return false;

    messageWindowStart = now;
    // Whole seconds and whole requests per second, as the server counts them.
    const qint64 rate = messageCount / (elapsedMs / 1000);
    messageCount = 0;
    return static_cast<double>(rate) > maxRequestsPerSecond;
}
