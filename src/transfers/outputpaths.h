#pragma once

#include "kiteshared_export.h"

#include <QString>

// Paths of a job's output as the server lists them are joined to the job's
// local download folder (and, by the downloader, to the farm's output folder).
// Only paths that stay inside the folder they are joined to are used.
class KITESHARED_EXPORT OutputPaths
{
public:
    // A relative "/"-separated path whose every component is a plain name:
    // not empty, not "." or "..", not made of dots only, without "\", ":" (drive
    // letters, alternate streams) or control characters, not ending in a dot or
    // a space (which Windows drops), and not a Windows device name ("CON",
    // "NUL", "COM1", ... with or without extension). Absolute paths, empty
    // components and a trailing "/" are refused.
    static bool isSafeRelativePath(const QString& path);

    // A folder of the listing: the empty text (the output root itself) or a
    // safe relative path.
    static bool isSafeFolder(const QString& folder);

    // One component of a path, by the rules above.
    static bool isSafeName(const QString& name);

    // The path for a log line: control characters and backslashes written as
    // escapes, so that a name cannot break or forge log lines.
    static QString printable(const QString& path);
};
