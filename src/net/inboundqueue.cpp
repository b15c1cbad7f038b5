#include "net/inboundqueue.h"

InboundQueue::InboundQueue(Handler handler, QObject* parent)
    : QObject(parent)
    , m_handler(std::move(handler))
{
    m_turnTimer.setSingleShot(true);
    m_turnTimer.setInterval(0);
    connect(&m_turnTimer, &QTimer::timeout, this, &InboundQueue::nextTurn);
    m_slice.start();
}

void InboundQueue::take(const QString& message)
{
    m_waiting.enqueue(message);
    // The first message of a turn opens its slice; the turn timer fires once
    // the event loop has had its say.
    if (!m_turnTimer.isActive()) {
        m_slice.start();
        m_turnTimer.start();
    }
    if (timeLeft())
        work(false);
}

void InboundQueue::takeNow(const QString& message)
{
    m_waiting.enqueue(message);
    work(true);
}

void InboundQueue::continueWith(Continuation work)
{
    m_continuation = std::move(work);
    // Handed in from outside a message's handling: it gets a turn of its own.
    if (!m_working && !m_turnTimer.isActive()) {
        m_slice.start();
        m_turnTimer.start();
    }
}

void InboundQueue::nextTurn()
{
    m_slice.start();
    work(false);
}

void InboundQueue::work(bool unbounded)
{
    // A handler that hands in a message of its own: it waits its turn.
    if (m_working)
        return;
    m_working = true;
    m_unbounded = unbounded;
    // At least one step per call, however short the slice: a turn always
    // gets on.
    bool first = true;
    while (!isIdle() && (first || timeLeft())) {
        first = false;
        if (m_continuation) {
            Continuation current = std::move(m_continuation);
            m_continuation = nullptr;
            if (!current() && !m_continuation)
                m_continuation = std::move(current);
            continue;
        }
        m_handler(m_waiting.dequeue());
    }
    m_unbounded = false;
    m_working = false;
    if (!isIdle() && !m_turnTimer.isActive())
        m_turnTimer.start();
}
