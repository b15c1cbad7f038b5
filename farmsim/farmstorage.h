#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// One file below a folder: its "/"-separated path relative to that folder and
// its size in bytes.
struct FarmFileEntry
{
    QString path;
    qint64 size = 0;

    bool operator==(const FarmFileEntry& other) const { return path == other.path && size == other.size; }
};

// The simulator's files live in one storage folder:
//
//   <root>/upload/<user>/            the user's upload folder: each job's base
//                                    files (<name>, <name>.jpg, <name>.cfg,
//                                    <name>.ischecked) and the job files its
//                                    cfg lists, textures below "tex/"
//   <root>/output/<user>/<job>/...   the frames rendered for a job
//
// User and job names and the paths clients send are joined to those folders
// only after the checks below, so that nothing a client sends can reach a file
// outside the storage folder.
namespace FarmStorage {

// A name that may become one path component: not empty, not "." or "..",
// without "/", "\" or control characters.
bool isSafeName(const QString& name);

// A relative "/"-separated path whose components are all safe names and hold
// no ":" (no drive letters, no alternate streams). Absolute paths, empty
// components ("a//b") and a trailing "/" are refused.
bool isSafeRelativePath(const QString& path);

// "<root>/upload/<user>" and "<root>/output/<user>"; empty when there is no
// root or the user name is not safe.
QString uploadDir(const QString& root, const QString& user);
QString outputDir(const QString& root, const QString& user);

// Joins a safe name or relative path to a folder; empty when `dir` is empty
// or `relative` is not safe.
QString join(const QString& dir, const QString& relative);

// Plain files of `dir` (hidden ones included), sorted by path; with
// `recursive` the files of every sub-folder too, with their relative paths.
// Symbolic links are not followed. An absent folder lists nothing.
QVector<FarmFileEntry> listFiles(const QString& dir, bool recursive);
// Every sub-folder of `dir`, recursively, as sorted relative paths.
QStringList listFolders(const QString& dir);

// Writes `bytes` to `path` in one step (the file appears complete or not at
// all), creating missing parent folders.
bool writeFile(const QString& path, const QByteArray& bytes);
// Size of a plain file, -1 when there is none.
qint64 fileSize(const QString& path);

} // namespace FarmStorage
