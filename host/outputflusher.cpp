#include "outputflusher.h"

#include <QTextStream>

OutputFlusher::OutputFlusher(QTextStream& out, QObject* parent)
    : QObject(parent)
    , m_out(out)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &OutputFlusher::flush);
}

OutputFlusher::~OutputFlusher()
{
    m_out.flush();
}

void OutputFlusher::printLine(const QString& line)
{
    m_out << line << '\n';
    flushSoon();
}

void OutputFlusher::flushSoon()
{
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void OutputFlusher::flush()
{
    m_out.flush();
}
