#pragma once

#include <QDateTime>

// Guards the server against a runaway sender: a loop in the client that keeps
// making requests faster than they can leave. The plug-in counts the requests
// its request queue takes in (after identical reads are merged), not the ones
// that leave: those are paced below the server's limit anyway. A burst, however
// large, raises the rate of one or two windows only; a loop keeps it up. So the
// limit cuts the connection only when the rate stayed above 200 requests per
// second for several windows in a row.
//
// A window closes with the first request counted more than a second after it
// opened; its rate is the count divided by the whole seconds it lasted.
class FloodLimiter
{
public:
    static constexpr double maxRequestsPerSecond = 200.0;
    static constexpr int defaultWindowsInARow = 5;

    explicit FloodLimiter(const QDateTime& windowStart = QDateTime::currentDateTime(),
                          int windows = defaultWindowsInARow);

    // Counts one request made at `now`. Returns true when the window that has
    // just closed was the last of `windowsInARow` windows in a row that each
    // saw more requests per second than allowed.
    bool count(const QDateTime& now);

    int messageCount = 0;
    QDateTime messageWindowStart;
    int floodedWindows = 0; // windows in a row above the rate, so far
    int windowsInARow = defaultWindowsInARow;
};
