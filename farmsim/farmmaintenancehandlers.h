#pragma once

class FarmProtocol;

// Handlers of the licence tunnel and maintenance actions: "sshInfo",
// "autoupdate", "getPluginConfig", "sendFile".
void registerMaintenanceHandlers(FarmProtocol& protocol);
