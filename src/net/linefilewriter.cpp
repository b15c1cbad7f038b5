#include "net/linefilewriter.h"

#include "settings/kitesettings.h"

#include <QFile>

bool LineFileWriter::write(const QStringList& lines, const QString& path, KiteSettings* settings)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) {
        settings->writeToLog(QStringLiteral("3647 could not open file for writing: ") + path, 0);
        return false;
    }
    for (const QString& line : lines) {
        file.write(line.toUtf8());
        file.write("\n");
    }
    file.close();
    return true;
}
