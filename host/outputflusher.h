#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QTextStream;

// Lines that come in bursts (notifications, transfer steps, the signal
// trace) are written without a flush each; the stream is flushed once when
// the event loop comes round, so they still show promptly.
class OutputFlusher : public QObject
{
    Q_OBJECT
public:
    // `out` must outlive the flusher, which flushes it once more when it goes.
    explicit OutputFlusher(QTextStream& out, QObject* parent = nullptr);
    ~OutputFlusher() override;

    QTextStream& stream() { return m_out; }

    // Writes `line` and a line break; the stream is flushed soon.
    void printLine(const QString& line);
    // Flushes the stream on the next turn of the event loop.
    void flushSoon();

private:
    void flush();

    QTextStream& m_out;
    QTimer m_flushTimer;
};
