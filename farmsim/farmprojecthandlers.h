#pragma once

class FarmProtocol;

// Handlers of the projects list, progress and output actions:
// "getProjectStates", "getProgressInfos", "getProjectFolderContents",
// "getOutputDir", "setDownloadProgress", "setDownloadComplete", "pack",
// "generateOverlay".
void registerProjectHandlers(FarmProtocol& protocol);
