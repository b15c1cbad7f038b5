#include "maintenance/logupload.h"

#include "maintenance/maintenancelogging.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTextStream>

namespace {
const QString settingsFileName = QStringLiteral("settings.ini");
const QString redacted = QStringLiteral("***");

// Whether an INI line's value goes on in the next line: it ends in an odd
// number of backslashes.
bool continues(const QString& line)
{
    int backslashes = 0;
    for (int i = line.size() - 1; i >= 0 && line.at(i) == QLatin1Char('\\'); --i)
        ++backslashes;
    return backslashes % 2 == 1;
}

bool isPasswordKey(const QString& rawKey)
{
    const QString key = rawKey.trimmed();
    const int slash = qMax(key.lastIndexOf(QLatin1Char('/')), key.lastIndexOf(QLatin1Char('\\')));
    return key.mid(slash + 1).endsWith(QLatin1String("password"), Qt::CaseInsensitive);
}
} // namespace

LogUpload::LogUpload(PluginNetConnection* plugin, KiteSettings* kiteSettings)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
{
}

QStringList LogUpload::fileNames()
{
    return {
        QStringLiteral("logFile.log"),
        QStringLiteral("plugin.log"),
        QStringLiteral("logFile.log.old"),
        QStringLiteral("logFileUpload.log"),
        QStringLiteral("logFileUpload.log.old"),
        QStringLiteral("logFileDownload.log"),
        QStringLiteral("logFileDownload.log.old"),
        QStringLiteral("sftpLogUpConnectError.xml"),
        QStringLiteral("sftpLogUpError.xml"),
        QStringLiteral("FtpLogUpError.xml"),
        QStringLiteral("ftpLogDown.xml"),
        QStringLiteral("sftpLogInitialize.xml"),
        QStringLiteral("httperror.xml"),
        QStringLiteral("ftpLogDownConnectError.xml"),
        QStringLiteral("sftpLogDownConnectError.xml"),
        QStringLiteral("sftpLogDown.xml"),
        settingsFileName,
        QStringLiteral("version.txt"),
    };
}

QString LogUpload::redactSettings(const QString& text)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    QStringList out;
    bool dropContinuation = false;
    for (const QString& line : lines) {
        const bool carriageReturn = line.endsWith(QLatin1Char('\r'));
        const QString body = carriageReturn ? line.left(line.size() - 1) : line;
        if (dropContinuation) {
            // The rest of a redacted value.
            dropContinuation = continues(body);
            continue;
        }
        const QString trimmed = body.trimmed();
        const int equals = body.indexOf(QLatin1Char('='));
        const bool entry = equals > 0 && !trimmed.startsWith(QLatin1Char(';'))
            && !trimmed.startsWith(QLatin1Char('#')) && !trimmed.startsWith(QLatin1Char('['));
        if (!entry || !isPasswordKey(body.left(equals))) {
            out << line;
            continue;
        }
        dropContinuation = continues(body);
        out << body.left(equals + 1) + redacted + (carriageReturn ? QStringLiteral("\r") : QString());
    }
    return out.join(QLatin1Char('\n'));
}

QString LogUpload::fileContent(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QFileInfo info(path);
    const qint64 size = file.size();
    qCDebug(lcMaintenance) << "size: " << size;

    QString content = QStringLiteral("file date: ") + info.lastModified().toString(Qt::TextDate)
        + QLatin1Char('\n');
    QTextStream stream(&file);
    if (size <= wholeFileLimit) {
        content += stream.readAll();
        return content;
    }
    // Only the end of a large file: its last tailLines lines.
    QStringList last;
    QString line;
    while (stream.readLineInto(&line)) {
        last << line;
        if (last.size() > tailLines)
            last.removeFirst();
    }
    for (const QString& kept : qAsConst(last))
        content += kept + QLatin1Char('\n');
    return content;
}

void LogUpload::uploadLogFiles()
{
    if (m_settings->logFilesSent)
        return;
    m_settings->logFilesSent = true;

    // The shared log goes out with its latest lines.
    LogWriter::instance().close();
    const QDir dir(m_settings->applicationDirectory());
    const QStringList names = fileNames();
    for (const QString& name : names) {
        const QString path = dir.filePath(name);
        if (!QFileInfo(path).isFile())
            continue;
        qCDebug(lcMaintenance).noquote() << "upload " + path;
        m_settings->writeToLog(QStringLiteral("upload: ") + path, 0);

        QString content = fileContent(path);
        if (content.isEmpty()) {
            m_settings->writeToLog(QStringLiteral("upload: could not read ") + path, 0);
            continue;
        }
        // Support gets the settings, never the passwords in them.
        if (name == settingsFileName)
            content = redactSettings(content);
        const QJsonObject data{
            {QStringLiteral("filename"), name},
            {QStringLiteral("content"), content},
        };
        m_plugin->makeRequest(QStringLiteral("sendFile"), data);
    }
}
