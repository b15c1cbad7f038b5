#pragma once

#include <QDateTime>

// Guards the server against request floods: more than 200 requests per second,
// averaged over a window of more than one second, means something is looping.
class FloodLimiter
{
public:
    static constexpr double maxRequestsPerSecond = 200.0;

    explicit FloodLimiter(const QDateTime& windowStart = QDateTime::currentDateTime());

    // Counts one request made at `now`. Returns true when the window that has
    // just closed saw more requests per second than allowed.
    bool count(const QDateTime& now);

    int messageCount = 0;
    QDateTime messageWindowStart;
};
