#include "jobs/jobnames.h"

#include <QDirIterator>

#include <algorithm>

bool JobNames::isUsableAsFileName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

QStringList JobNames::filesByName(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        files << it.fileName();
    }
    // Case-sensitive, by UTF-16 unit: QDir::Name's order.
    std::sort(files.begin(), files.end());
    return files;
}
