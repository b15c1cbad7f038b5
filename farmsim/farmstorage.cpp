#include "farmstorage.h"

#include "farmlogging.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace FarmStorage {

bool isSafeName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    return std::none_of(name.cbegin(), name.cend(), [](QChar c) {
        return c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control;
    });
}

bool isSafeRelativePath(const QString& path)
{
    if (path.isEmpty() || path.contains(QLatin1Char(':')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return std::all_of(parts.cbegin(), parts.cend(), [](const QString& part) { return isSafeName(part); });
}

namespace {
QString userDir(const QString& root, const QString& area, const QString& user)
{
    if (root.isEmpty() || !isSafeName(user))
        return QString();
    return QDir(root).filePath(area + QLatin1Char('/') + user);
}
} // namespace

QString uploadDir(const QString& root, const QString& user)
{
    return userDir(root, QStringLiteral("upload"), user);
}

QString outputDir(const QString& root, const QString& user)
{
    return userDir(root, QStringLiteral("output"), user);
}

QString join(const QString& dir, const QString& relative)
{
    if (dir.isEmpty() || !isSafeRelativePath(relative))
        return QString();
    return dir + QLatin1Char('/') + relative;
}

QVector<FarmFileEntry> listFiles(const QString& dir, bool recursive)
{
    QVector<FarmFileEntry> files;
    if (dir.isEmpty())
        return files;
    const QDir base(dir);
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        it.next();
        files.append(FarmFileEntry{base.relativeFilePath(it.filePath()), it.fileInfo().size()});
    }
    std::sort(files.begin(), files.end(),
              [](const FarmFileEntry& a, const FarmFileEntry& b) { return a.path < b.path; });
    return files;
}

QStringList listFolders(const QString& dir)
{
    QStringList folders;
    if (dir.isEmpty())
        return folders;
    const QDir base(dir);
    QDirIterator it(dir, QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        folders.append(base.relativeFilePath(it.next()));
    folders.sort();
    return folders;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        qCWarning(lcFarmSim) << "cannot create the folder of" << path;
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        qCWarning(lcFarmSim) << "cannot write" << path << ":" << file.errorString();
        return false;
    }
    return true;
}

qint64 fileSize(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() ? info.size() : -1;
}

} // namespace FarmStorage
