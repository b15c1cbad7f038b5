#pragma once

#include "farmstorage.h"

#include <QByteArray>
#include <QVector>

class FarmProtocol;

// Handlers of the upload handshake and the texture requests:
// "getTexFolderContents", "setuploadstarted", "createDirs", "checkFiles",
// "setuploadchecked", "addjob", "getTexFiles", "textureCacheLookup",
// "unpack", "setUploadProgress".
void registerUploadHandlers(FarmProtocol& protocol);

// The files a job cfg lists after its "[files]" line: groups of
// "path<N>=", "pathlocal<N>=", "pathsize<N>=" lines; a "pathsize" line
// completes an entry with the last "path" seen. A line starting with "["
// ends the section. Line ends may be CR LF or LF.
QVector<FarmFileEntry> farmCfgFiles(const QByteArray& cfg);
