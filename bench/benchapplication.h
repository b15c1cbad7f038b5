#pragma once

// What the benchmarks time: a clock, the fastest of a few runs, resident
// memory, and the event deliveries of the GUI thread and of one other thread.

#include <QApplication>
#include <QtGlobal>

#include <atomic>
#include <limits>

class QThread;

void startClock();
qint64 nowNs();
double ms(qint64 ns);
// Resident memory after handing freed memory back; 0 where not known.
qint64 residentBytes();

// A baseline is the fastest of five runs: a slow one (another process on the
// machine) must not make the client's figures look better than they are.
template <typename Work>
qint64 bestOf(Work work)
{
    qint64 best = std::numeric_limits<qint64>::max();
    for (int run = 0; run < 5; ++run) {
        const qint64 start = nowNs();
        work();
        best = qMin(best, nowNs() - start);
    }
    return best;
}

// The top-level event deliveries of one thread: their sum, the longest, when
// the current one began, and when the last one that was work ended.
struct EventTally
{
    qint64 busyNs = 0;
    std::atomic<qint64> longestNs{0}; // read from other threads
    qint64 startNs = 0;
    qint64 lastEndNs = 0;
    int depth = 0;
};

// Tallies the event deliveries of the GUI thread (`gui`) and of `farmThread`
// (`farm`), each counted on its own thread.
class BenchApplication : public QApplication
{
public:
    // An event this long is work: the pings the farm keeps sending cost a few
    // microseconds each, and answering them is not work that keeps the
    // client from quiet.
    static constexpr qint64 workNs = 200000;

    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override;
    // Starts a phase of the GUI thread: its busy time counts from now.
    void resetPhase();

    QObject* ignored = nullptr;   // the benchmark's own polling timer
    QObject* lateTimer = nullptr; // the benchmark's own loop watch
    QThread* farmThread = nullptr;
    EventTally gui;
    EventTally farm; // the farm's own work: its share of a pong's wait is not the client's
};
