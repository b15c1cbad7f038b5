#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// Reads the process's standard input line by line on the event loop, so the
// GUI thread never waits for input. On POSIX systems a socket notifier on
// descriptor 0 wakes the reader when there is something to read, and each
// wake-up reads once. On Windows a pipe is looked at on the event loop every
// 50 ms and read only as far as it holds data, and a file read a piece a
// turn; a console, or a pipe that cannot be looked into, is read by a thread
// of its own that hands each piece to the event loop. Works for a terminal, a pipe and a redirected file. The end of
// the input only stops the reading. A terminal that belongs to another
// (foreground) job is left alone, so that a host started in the background of
// an interactive shell is not stopped by the terminal.
//
// Lines reach the receivers one at a time and in order; a receiver that runs
// an event loop of its own (a modal question) gets the next line only after it
// returned.
class StdinLineReader : public QObject
{
    Q_OBJECT
public:
    explicit StdinLineReader(QObject* parent = nullptr);

    // Starts reading; false (with `why` set) when there is no standard input
    // to read.
    bool start(QString* why = nullptr);
    // Stops reading; what was read and not yet a whole line is dropped.
    void stop();
    bool isReading() const { return m_reading; }

signals:
    // One line, without its line end (LF or CR LF).
    void lineRead(const QString& line);
    void endOfInput();

private:
    // Takes what was read (empty at the end of the input) and hands out the
    // whole lines in it.
    void take(const QByteArray& input, bool atEnd);
    void deliverLines();
    void finish();
#ifndef Q_OS_WIN
    void readAvailable();
    QSocketNotifier* m_notifier = nullptr;
#else
    void pollInput();
    void startReaderThread(Qt::HANDLE input);
    QTimer* m_poll = nullptr;
    bool m_threadStarted = false;
#endif

    bool m_reading = false;
    bool m_delivering = false;
    bool m_atEnd = false;
    QByteArray m_pending; // read, not yet handed out
};
