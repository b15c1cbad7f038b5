#include "transfers/outputpaths.h"

#include <QStringView>

namespace {

bool isDeviceName(QStringView name)
{
    // The part before the first dot decides: "nul.png" opens the device too.
    int dot = name.indexOf(QLatin1Char('.'));
    QStringView stem = (dot < 0 ? name : name.left(dot)).trimmed();
    if (stem.size() < 3 || stem.size() > 7)
        return false;
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (stem.compare(QLatin1String(device), Qt::CaseInsensitive) == 0)
            return true;
    }
    if (stem.size() == 4
        && (stem.left(3).compare(QLatin1String("COM"), Qt::CaseInsensitive) == 0
            || stem.left(3).compare(QLatin1String("LPT"), Qt::CaseInsensitive) == 0))
        return stem.at(3) >= QLatin1Char('0') && stem.at(3) <= QLatin1Char('9');
    return false;
}

bool isSafeComponent(QStringView name)
{
    if (name.isEmpty())
        return false;
    bool onlyDots = true;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7f || c.category() == QChar::Other_Control)
            return false;
        if (c == QLatin1Char('\\') || c == QLatin1Char('/') || c == QLatin1Char(':'))
            return false;
        if (c != QLatin1Char('.'))
            onlyDots = false;
    }
    if (onlyDots)
        return false;
    const QChar last = name.back();
    if (last == QLatin1Char('.') || last == QLatin1Char(' '))
        return false;
    return !isDeviceName(name);
}

} // namespace

bool OutputPaths::isSafeName(const QString& name)
{
    return isSafeComponent(QStringView(name));
}

bool OutputPaths::isSafeRelativePath(const QString& path)
{
    const QStringView view(path);
    if (view.isEmpty())
        return false;
    qsizetype start = 0;
    while (start <= view.size()) {
        qsizetype slash = view.indexOf(QLatin1Char('/'), start);
        if (slash < 0)
            slash = view.size();
        if (!isSafeComponent(view.mid(start, slash - start)))
            return false;
        start = slash + 1;
    }
    return true;
}

bool OutputPaths::isSafeFolder(const QString& folder)
{
    return folder.isEmpty() || isSafeRelativePath(folder);
}

QString OutputPaths::printable(const QString& path)
{
    QString text;
    text.reserve(path.size());
    for (const QChar c : path) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7f || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            text += c;
    }
    return text;
}
