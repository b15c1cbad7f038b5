#pragma once

#include "kiteshared_export.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTextStream>

// The process-wide writer of "logFile.log" in the application directory.
//
// Every plug-in logs through KiteSettings::writeToLog, which lands here. The
// file is opened lazily on the first line and kept open for
// KiteConstants::LogLinesPerOpen lines, then flushed and closed; the next line
// opens it again. A log that has grown past KiteConstants::LogRotateBytes is
// renamed to "logFile.log.old" when the writer opens it. Lines go to the
// "kite.log" debug output as well. All callers are on the GUI thread.
class KITESHARED_EXPORT LogWriter
{
public:
    // The shared writer, living until the library is unloaded.
    static LogWriter& instance();

    // Whether a message of level passes the filter of the current settings.
    static bool accepts(int level, int logLevel, bool exitingApplication);

    // "yyyy-MM-dd HH:mm:ss:zzz: message", without the line feed.
    static QString formatLine(const QDateTime& time, const QString& message);

    // Formats message with the current local time, echoes it to the debug
    // output and appends it to logFile.log in applicationDirectory. Returns
    // false when the file could not be opened (the line is then lost).
    bool append(const QString& applicationDirectory, const QString& message);

    // Flushes and closes the file; the next line reopens it.
    void close();

    bool isOpen() const;
    // Path of the file currently open, empty when closed.
    QString openFileName() const;

    LogWriter();
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

private:
    bool open(const QString& fileName);

    QFile m_file;
    QTextStream m_stream;
    int m_linesSinceOpen = 0;
};
