#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QLibrary>
#include <QString>

// Files of known content for the tests: what an exporter writes, what a
// transfer must reproduce byte for byte.
namespace TestFiles {

inline QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(generator.bounded(256));
    return bytes;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A text as this system's text files hold it: lines end in CR LF on Windows.
inline QByteArray textFile(QByteArray text)
{
#ifdef Q_OS_WIN
    text.replace("\r\n", "\n").replace("\n", "\r\n");
#endif
    return text;
}

// Whether this Windows program runs under Wine, where the files belong to the
// machine's own users: root writes where Windows would refuse.
inline bool underWine()
{
#ifdef Q_OS_WIN
    return QLibrary(QStringLiteral("ntdll")).resolve("wine_get_version") != nullptr;
#else
    return false;
#endif
}

} // namespace TestFiles
