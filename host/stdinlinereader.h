#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Reads the process's standard input line by line on the event loop: a
// socket notifier on descriptor 0 wakes the reader when there is something to
// read, and each wake-up reads once, so the GUI thread never waits for input.
// Works for a terminal, a pipe and a redirected file. The end of the input
// only stops the reading. A terminal that belongs to another (foreground)
// job is left alone, so that a host started in the background of an
// interactive shell is not stopped by the terminal.
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
    bool isReading() const { return m_notifier != nullptr; }

signals:
    // One line, without its line end (LF or CR LF).
    void lineRead(const QString& line);
    void endOfInput();

private:
    void readAvailable();
    void finish();

    QSocketNotifier* m_notifier = nullptr;
    QByteArray m_pending; // the start of a line whose end has not come yet
};
