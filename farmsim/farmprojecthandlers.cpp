// Projects list, progress and output of a user's jobs.
//
// Requests as the client sends them, and what the farm answers (every answer
// carries the request's "action" and its "custom" unchanged):
//
// "getProjectStates"   data {"custom": {"info": TEXT}, "client_type": "kite"}
//   answer data {"projects": [PROJECT, ...]}, in registration order, with
//   PROJECT = {"name": TEXT, "id": TEXT, "status": TEXT, "teamid": TEXT,
//              "isTrial": BOOL, "isPaid": BOOL, "download_enabled": BOOL,
//              "queued": BOOL, "server_download": INT,
//              "restartDownloadCount": INT, "error_text": TEXT}
//
// "getProgressInfos"   data {"id": TEXT, "scene": TEXT} (project by id, else
//   by name); answer data {"id": TEXT, "scene": TEXT, "State": TEXT,
//   "started": TEXT, "engines": TEXT, "ispaid": "1"|"0", "paused": BOOL,
//   "progress": TEXT}. The numbers are decimal texts. "id" and "scene" let the
//   client find the job when the request had no "custom". A project the farm
//   does not have is not answered.
//
// "getProjectFolderContents"   data {"size": true, "serverNumberUpload": N,
//   "custom": {"serverNumberUpload": N}}
//   answer {"action": ..., "data": [{"file": NAME, "size": INT}, ...],
//           "serverNumberUpload": N} - the plain files directly in the user's
//   upload folder, sorted by name; N at the top level of the message.
//
// "getOutputDir"   data {"scene": NAME, "size": true}
//   answer data {"folders": [{"file": FOLDER}, ...],
//                "files": [{"file": PATH, "size": INT}, ...]}
//   - paths relative to the job's output folder "<output>/<user>/<NAME>/",
//   sorted; the output folder itself is not among the folders. Empty arrays
//   while nothing is rendered.
//
// "setDownloadProgress", "setDownloadComplete"   data {"scene": NAME,
//   "progress": INT, "server_download": INT}; stored in the project
//   ("setDownloadComplete" also marks it downloaded); answer data
//   {"result": BOOL} (false for a project the farm does not have).
//
// "pack"   data {"scene": NAME, "picture": PATH}; answer data {"result": BOOL}:
//   true when PATH is a file or folder of the job's output.
//
// "generateOverlay"   data {"scene": NAME, "picture": PATH}; writes the
//   overlaid copy "<PATH without extension>_overlaid.<extension>" (the
//   source's bytes followed by "OVERLAY") beside the source and answers data
//   {"result": BOOL, "filename": PATH OF THE COPY} (empty when it failed).
#include "farmprojecthandlers.h"

#include "farmlogging.h"
#include "farmprotocol.h"
#include "farmstorage.h"
#include "farmuserstate.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

namespace {
using Access = FarmProtocol::Access;

QString scene(const FarmRequest& request)
{
    return request.data.value(QStringLiteral("scene")).toString();
}

QJsonObject result(bool ok)
{
    return QJsonObject{{QStringLiteral("result"), ok}};
}

void projectStates(FarmProtocol&, FarmRequest& request)
{
    QJsonArray projects;
    for (const FarmProject* project : request.state->projects())
        projects.append(project->listEntry());
    request.answer(QJsonObject{{QStringLiteral("projects"), projects}});
}

void progressInfos(FarmProtocol&, FarmRequest& request)
{
    const QJsonValue idValue = request.data.value(QStringLiteral("id"));
    const QString id = idValue.isDouble() ? QString::number(idValue.toInt()) : idValue.toString();
    const FarmProject* project = request.state->projectById(id);
    if (!project)
        project = request.state->project(scene(request));
    if (!project) {
        qCDebug(lcFarmSim) << "getProgressInfos for an unknown project" << id << scene(request) << "- not answered";
        return;
    }
    request.answer(project->progressInfo());
}

void projectFolderContents(FarmProtocol&, FarmRequest& request)
{
    const int fallback = request.data.value(QStringLiteral("custom"))
                             .toObject()
                             .value(QStringLiteral("serverNumberUpload"))
                             .toInt(1);
    const int serverNumberUpload = request.data.value(QStringLiteral("serverNumberUpload")).toInt(fallback);
    QJsonArray files;
    for (const FarmFileEntry& file : FarmStorage::listFiles(request.state->uploadDir(), false))
        files.append(QJsonObject{{QStringLiteral("file"), file.path}, {QStringLiteral("size"), file.size}});
    QJsonObject reply = FarmProtocol::envelope(request.action, files, request.message);
    reply.insert(QStringLiteral("serverNumberUpload"), serverNumberUpload);
    request.send(reply);
}

void outputDir(FarmProtocol&, FarmRequest& request)
{
    const QString dir = request.state->jobOutputDir(scene(request));
    QJsonArray folders;
    for (const QString& folder : FarmStorage::listFolders(dir))
        folders.append(QJsonObject{{QStringLiteral("file"), folder}});
    QJsonArray files;
    for (const FarmFileEntry& file : FarmStorage::listFiles(dir, true))
        files.append(QJsonObject{{QStringLiteral("file"), file.path}, {QStringLiteral("size"), file.size}});
    request.answer(QJsonObject{{QStringLiteral("folders"), folders}, {QStringLiteral("files"), files}});
}

void downloadProgress(FarmProtocol&, FarmRequest& request)
{
    FarmProject* project = request.state->project(scene(request));
    if (project) {
        project->downloadProgress = request.data.value(QStringLiteral("progress")).toInt();
        if (request.action == QLatin1String("setDownloadComplete"))
            project->downloadComplete = true;
    }
    request.answer(result(project));
}

// The output file a request names, empty when the names are refused.
QString outputFile(const FarmRequest& request)
{
    const QString dir = request.state->jobOutputDir(scene(request));
    return FarmStorage::join(dir, request.data.value(QStringLiteral("picture")).toString());
}

void pack(FarmProtocol&, FarmRequest& request)
{
    const QString path = outputFile(request);
    request.answer(result(!path.isEmpty() && QFileInfo::exists(path)));
}

void generateOverlay(FarmProtocol&, FarmRequest& request)
{
    const QString picture = request.data.value(QStringLiteral("picture")).toString();
    const QString source = outputFile(request);
    QString overlay;
    QFile file(source);
    if (!source.isEmpty() && QFileInfo(source).isFile() && file.open(QIODevice::ReadOnly)) {
        const QString suffix = QFileInfo(picture).suffix();
        const QString base = suffix.isEmpty() ? picture : picture.left(picture.size() - suffix.size() - 1);
        overlay = base + QStringLiteral("_overlaid") + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
        const QString target = FarmStorage::join(request.state->jobOutputDir(scene(request)), overlay);
        if (!FarmStorage::writeFile(target, file.readAll() + QByteArrayLiteral("OVERLAY")))
            overlay.clear();
    } else {
        qCDebug(lcFarmSim) << "generateOverlay: no output file" << picture << "of" << scene(request);
    }
    request.answer(QJsonObject{{QStringLiteral("result"), !overlay.isEmpty()}, {QStringLiteral("filename"), overlay}});
}
} // namespace

void registerProjectHandlers(FarmProtocol& protocol)
{
    FarmProtocol* farm = &protocol;
    auto bind = [farm](void (*handler)(FarmProtocol&, FarmRequest&)) {
        return [farm, handler](FarmRequest& request) { handler(*farm, request); };
    };
    protocol.registerHandler(QStringLiteral("getProjectStates"), Access::LoggedIn, bind(projectStates));
    protocol.registerHandler(QStringLiteral("getProgressInfos"), Access::LoggedIn, bind(progressInfos));
    protocol.registerHandler(QStringLiteral("getProjectFolderContents"), Access::LoggedIn, bind(projectFolderContents));
    protocol.registerHandler(QStringLiteral("getOutputDir"), Access::LoggedIn, bind(outputDir));
    protocol.registerHandler(QStringLiteral("setDownloadProgress"), Access::LoggedIn, bind(downloadProgress));
    protocol.registerHandler(QStringLiteral("setDownloadComplete"), Access::LoggedIn, bind(downloadProgress));
    protocol.registerHandler(QStringLiteral("pack"), Access::LoggedIn, bind(pack));
    protocol.registerHandler(QStringLiteral("generateOverlay"), Access::LoggedIn, bind(generateOverlay));
}
