#pragma once

#include <QDateTime>

// Guards the server against a runaway sender: a loop in the client that keeps
// making requests faster than they can leave. The plug-in counts the requests
// its request queue takes in (after identical reads are merged), not the ones
// that leave: those are paced below the server's limit anyway. A burst, however
// large, raises the rate of one or two windows only; a loop keeps it up. So the
// limit cuts the connection only when the rate stayed above 200 requests per
// second for several windows in a row - and, when the caller tells how many
// requests wait in the queue, only while that backlog grew over each window:
// a burst of normal work leaves the queue draining afterwards, even when the
// answers it brings ask for more.
//
// A window closes with the first request counted more than a second after it
// opened; its rate is the count divided by the whole seconds it lasted.
class FloodLimiter
{
public:
    static constexpr double maxRequestsPerSecond = 200.0;
    // Normal work with thousands of jobs may ask faster than the queue
    // drains for a while: every finished download's last look is answered
    // with two reports, for as long as those answers come (at 10,000 jobs,
    // about ten seconds). A loop goes on for good.
    static constexpr int defaultWindowsInARow = 30;

    explicit FloodLimiter(const QDateTime& windowStart = QDateTime::currentDateTimeUtc(),
                          int windows = defaultWindowsInARow);

    // Counts one request made at `now`, with `waiting` requests in the queue
    // (negative: not known). Returns true when the window that has just
    // closed was the last of `windowsInARow` windows in a row that each saw
    // more requests per second than allowed (and a growing backlog).
    bool count(const QDateTime& now, int waiting = -1);

    int messageCount = 0;
    QDateTime messageWindowStart;
    int floodedWindows = 0; // windows in a row above the rate, so far
    int waitingAtWindowStart = -1; // the backlog when the window opened; -1: not known
    int windowsInARow = defaultWindowsInARow;
};
