// Licence tunnel ports, update information, plug-in configurations and the
// files a client sends to support.
//
// Requests as the client sends them, and what the farm answers (every answer
// carries the request's "action" and its "custom" unchanged):
//
// "sshInfo"   data {"localPort1": INT, "localPort2": INT, "localPort3": INT,
//   "serverHost": TEXT, "licenseCount": INT, "licenseLimit": INT}
//   answer data {"port1": TEXT, "port2": TEXT, "port3": TEXT} (decimal texts;
//   FarmUserState::sshInfoPorts), or {"Error": true} while the user's
//   FarmUserState::sshInfoFailures is not 0 (each such answer counts it down
//   when it is positive).
//
// "autoupdate"   data {"custom": "autoupdate"}
//   answer data {"content": OBJECT} (FarmProtocol::setAutoupdateContent; by
//   default {"version": "1.0", "build": 0, "files": []}, "files" holding
//   "NAME:SIZE" texts).
//
// "getPluginConfig"   data {"program": "max"|"c4d"|...}
//   answer data {"program": TEXT, "version": INT, "content": TEXT}
//   (FarmProtocol::setPluginConfig; version 0 and empty content for a program
//   without one).
//
// "sendFile"   data {"filename": TEXT, "content": TEXT}
//   kept in the user's received files (FarmUserState::receivedFiles); not
//   answered. The name is never used as a path.
//
// The push "autoupdatesignal" ({"data": {"time": MINUTES}}) is sent by
// FarmSimulator::pushAutoupdateSignal.
#include "farmmaintenancehandlers.h"

#include "farmlogging.h"
#include "farmprotocol.h"
#include "farmuserstate.h"

namespace {
using Access = FarmProtocol::Access;

void sshInfo(FarmProtocol&, FarmRequest& request)
{
    FarmUserState* state = request.state;
    if (state->sshInfoFailures != 0) {
        if (state->sshInfoFailures > 0)
            --state->sshInfoFailures;
        request.answer(QJsonObject{{QStringLiteral("Error"), true}});
        return;
    }
    request.answer(state->sshInfoPorts);
}

void autoupdate(FarmProtocol& protocol, FarmRequest& request)
{
    request.answer(QJsonObject{{QStringLiteral("content"), protocol.autoupdateContent()}});
}

void pluginConfig(FarmProtocol& protocol, FarmRequest& request)
{
    request.answer(protocol.pluginConfig(request.data.value(QStringLiteral("program")).toString()));
}

void sendFile(FarmProtocol&, FarmRequest& request)
{
    FarmReceivedFile file;
    file.fileName = request.data.value(QStringLiteral("filename")).toString();
    file.content = request.data.value(QStringLiteral("content")).toString().toUtf8();
    file.time = QDateTime::currentDateTimeUtc();
    qCDebug(lcFarmSim) << "received file" << file.fileName << "of" << file.size() << "bytes from"
                       << request.state->user();
    request.state->addReceivedFile(file);
}
} // namespace

void registerMaintenanceHandlers(FarmProtocol& protocol)
{
    FarmProtocol* farm = &protocol;
    auto bind = [farm](void (*handler)(FarmProtocol&, FarmRequest&)) {
        return [farm, handler](FarmRequest& request) { handler(*farm, request); };
    };
    protocol.registerHandler(QStringLiteral("sshInfo"), Access::LoggedIn, bind(sshInfo));
    protocol.registerHandler(QStringLiteral("autoupdate"), Access::LoggedIn, bind(autoupdate));
    protocol.registerHandler(QStringLiteral("getPluginConfig"), Access::LoggedIn, bind(pluginConfig));
    protocol.registerHandler(QStringLiteral("sendFile"), Access::LoggedIn, bind(sendFile));
}
