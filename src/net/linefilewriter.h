#pragma once

#include <QString>
#include <QStringList>

class KiteSettings;

// Writes a list of texts as UTF-8 lines, each ended by "\n", replacing the file.
class LineFileWriter
{
public:
    static bool write(const QStringList& lines, const QString& path, KiteSettings* settings);
};
