#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

#include <functional>

// The server's messages on their way to the dispatch. They are handled in
// the order they came, in slices of a few milliseconds per turn of the event loop:
// between slices the loop answers the socket (its pings), the tray and the
// timers, so a burst of thousands of events is no pause anyone notices.
//
// A message whose handling is long (a projects list naming thousands of jobs)
// hands the rest of its work to continueWith(); the slices run it to its end
// before any later message, so a message that came after the list acts on the
// state after the list.
class InboundQueue : public QObject
{
    Q_OBJECT
public:
    static constexpr int defaultSliceMs = 2;
    using Handler = std::function<void(const QString&)>;
    // Works while timeLeft() and returns true when it is done.
    using Continuation = std::function<bool()>;

    explicit InboundQueue(Handler handler, QObject* parent = nullptr);

    // A message from the socket: handled now while the turn's slice lasts,
    // otherwise in a later turn.
    void take(const QString& message);
    // A message handled at once, after everything that waits before it.
    void takeNow(const QString& message);
    // The rest of the message at hand, run before the next message.
    void continueWith(Continuation work);
    // Whether the slice has time left (always while takeNow works).
    bool timeLeft() const { return m_unbounded || m_slice.elapsed() < m_sliceMs; }
    bool isIdle() const { return !m_continuation && m_waiting.isEmpty(); }

    // Tests make the slices short, so that every step takes a turn of its own.
    void setSliceMs(int milliseconds) { m_sliceMs = milliseconds; }

private:
    void work(bool unbounded);
    void nextTurn();

    Handler m_handler;
    QQueue<QString> m_waiting;
    Continuation m_continuation;
    QTimer m_turnTimer;
    QElapsedTimer m_slice;
    int m_sliceMs = defaultSliceMs;
    bool m_working = false;
    bool m_unbounded = false;
};
