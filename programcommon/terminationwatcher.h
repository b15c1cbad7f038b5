#pragma once

#include <QObject>

class QSocketNotifier;

// Turns a request to end the program into a Qt signal, so that it shuts down
// through the event loop: SIGINT and SIGTERM on POSIX systems; on Windows
// Ctrl+C, Ctrl+Break and the closing of the console, and the WM_CLOSE that
// QProcess::terminate() and taskkill without /f post to the program.
class TerminationWatcher : public QObject
{
    Q_OBJECT
public:
    explicit TerminationWatcher(QObject* parent = nullptr);
    ~TerminationWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
#ifndef Q_OS_WIN
    void readSignal();
    QSocketNotifier* m_notifier = nullptr;
#endif
};
