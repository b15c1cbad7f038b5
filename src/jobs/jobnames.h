#pragma once

#include "kiteshared_export.h"

#include <QString>

// Job names come from cfg files and from the server. A name is used as a file
// name (its cfg, its shortcut, its output folder) only when it cannot reach
// outside the folder it is joined to.
class KITESHARED_EXPORT JobNames
{
public:
    // False for an empty name, ".", "..", and names with "/", "\" or a control
    // character. Such jobs are tracked and shown, but no file is made for them.
    static bool isUsableAsFileName(const QString& name);
};
