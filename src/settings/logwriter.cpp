#include "settings/logwriter.h"

#include "settings/kiteconstants.h"
#include "settings/settingslogging.h"

#include <QDir>
#include <QFileInfo>
#include <QGlobalStatic>

Q_LOGGING_CATEGORY(lcLog, "kite.log")

Q_GLOBAL_STATIC(LogWriter, sharedLogWriter)

LogWriter& LogWriter::instance()
{
    return *sharedLogWriter();
}

LogWriter::LogWriter() = default;

LogWriter::~LogWriter()
{
    close();
}

bool LogWriter::accepts(int level, int logLevel, bool exitingApplication)
{
    return level < logLevel && !exitingApplication;
}

QString LogWriter::formatLine(const QDateTime& time, const QString& message)
{
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss:zzz")) + QLatin1String(": ") + message;
}

bool LogWriter::append(const QString& applicationDirectory, const QString& message)
{
    const QString line = formatLine(QDateTime::currentDateTime(), message);
    qCDebug(lcLog).noquote() << line;

    const QString fileName = QDir(applicationDirectory).filePath(KiteConstants::LogFileName);
    if (m_file.isOpen() && m_file.fileName() != fileName)
        close();
    if (!m_file.isOpen() && !open(fileName)) {
        qCDebug(lcLog) << "Could not open logFile";
        return false;
    }

    m_stream << line << '\n';

    if (++m_linesSinceOpen >= KiteConstants::LogLinesPerOpen)
        close();
    return true;
}

void LogWriter::close()
{
    if (m_file.isOpen()) {
        m_stream.flush();
        m_file.close();
    }
    m_stream.setDevice(nullptr);
    m_linesSinceOpen = 0;
}

bool LogWriter::isOpen() const
{
    return m_file.isOpen();
}

QString LogWriter::openFileName() const
{
    return m_file.isOpen() ? m_file.fileName() : QString();
}

bool LogWriter::open(const QString& fileName)
{
    const QFileInfo info(fileName);
    if (info.isFile() && info.size() > KiteConstants::LogRotateBytes) {
        const QString oldName = info.absolutePath() + QLatin1Char('/') + KiteConstants::OldLogFileName;
        QFile::remove(oldName);
        QFile::rename(fileName, oldName);
    }

    m_file.setFileName(fileName);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    m_stream.setDevice(&m_file);
    m_stream.setCodec("UTF-8");
    m_linesSinceOpen = 0;
    return true;
}
