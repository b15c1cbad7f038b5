#pragma once

class FarmProtocol;

// Handlers of the login and account actions: "login", "getUserInfo",
// "getRenderpoints", "getTeams", "getUserToken", "ping", "sendResult".
void registerAccountHandlers(FarmProtocol& protocol);
