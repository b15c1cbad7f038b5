#pragma once

#include "kiteshared_export.h"

#include <QString>
#include <QStringList>

// Job names come from cfg files and from the server. A name is used as a file
// name (its cfg, its shortcut, its output folder) only when it cannot reach
// outside the folder it is joined to.
class KITESHARED_EXPORT JobNames
{
public:
    // False for an empty name, ".", "..", and names with "/", "\" or a control
    // character. Such jobs are tracked and shown, but no file is made for them.
    static bool isUsableAsFileName(const QString& name);

    // The names of the plain files in `folder` (the user's projects folder,
    // where each job has its cfg), hidden ones left out, sorted as QDir::Name
    // sorts them. A studio's folder holds tens of thousands: the names are
    // read without QDir's own sorting, which costs twice the listing.
    static QStringList filesByName(const QString& folder);
};
