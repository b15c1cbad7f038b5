// The upload handshake of a job and the texture requests.
//
// The user's upload folder "<storage>/upload/<user>/" holds each job's base
// files ("<NAME>" - the scene package -, "<NAME>.jpg", "<NAME>.cfg" and,
// once checked, "<NAME>.ischecked") and the files its cfg lists; textures lie
// below "tex/" and are shared by the user's jobs. The farm only reads and
// checks these files; the uploader puts them there.
//
// Requests as the client sends them, and what the farm answers (every answer
// carries the request's "action" and its "custom" unchanged):
//
// "getTexFolderContents"   data {"size": true, "serverNumberUpload": N, "scene": NAME}
//   answer data {"files": [{"file": PATH BELOW tex/, "size": INT}, ...]}, all
//   files of "tex/" and its sub-folders, sorted.
//
// "setuploadstarted"   data {"scene": NAME, "serverNumberUpload": N, "teamid": INT}
//   remembers the team for the registration; answer data {"result": true}.
//
// "createDirs"   data {"dirs": [PATH, ...], "serverNumberUpload": N, "scene": NAME}
//   creates the folders below the upload folder; answer data
//   {"result": BOOL, "errors": TEXT} - false, with one line per folder, when a
//   path is refused (absolute, "..", "\", ":", control characters) or cannot
//   be created. Refused paths create nothing.
//
// "checkFiles"   data {"scene": NAME, "uploadMethod": TEXT, "error": BOOL, "serverNumberUpload": N}
//   passes when "<NAME>" and "<NAME>.cfg" are there and every file the cfg
//   lists is there with the size of its "pathsize" line; then writes the empty
//   mark "<NAME>.ischecked" (a failing check removes it). Answer data
//   {"result": BOOL, "errors": TEXT} with one line per problem
//   ("missing: PATH", "size of PATH: FOUND bytes, expected SIZE",
//   "refused path: PATH"); empty when it passed.
//
// "setuploadchecked"   data {"scene": NAME, "custom": "VK", "serverNumberUpload": N}
//   lists the project as "RENDERABLE" (new id when the farm did not list it;
//   a listed one changes state with a "jobStateChange"); answer data
//   {"result": true}.
//
// "addjob"   data {"prio": INT, "pack": "metered", "scene": NAME}
//   keeps the id of a "RENDERABLE" or "UPLOADING" project, gives any other a
//   new one (submitted again: rendering starts over); answer data
//   {"id": TEXT, "server_download": INT, "server_upload": INT}, then the push
//   {"action": "jobStateChange", "data": {"jobid": ID, "state": "RENDERABLE"}}
//   and, unless automatic rendering is off, the renderer's steps
//   (FarmRenderer).
//
// "getTexFiles"   data {"size": true, "serverNumberUpload": N}, custom
//   {"appTexRequest": true}; answer data {"files": {"tex/PATH": INT, ...}}.
//
// "textureCacheLookup"   data {"checksum": TEXT}; answer data
//   {"onlinePath": TEXT, "checksum": TEXT, "result": "found"|"notfound"}: a
//   texture registered with FarmProtocol::addCachedTexture, else a file of the
//   user's "tex/" whose MD5 (hex) is the checksum ("tex/PATH").
//
// "unpack"   data {"scene": NAME, "picture": PATH}; answer data
//   {"result": BOOL}: true when PATH is a file of the upload folder (the
//   farm does not look inside archives).
//
// "setUploadProgress"   data {"scene": NAME, "progress": INT}; remembered
//   (FarmUserState::uploadProgress), not answered.
#include "farmuploadhandlers.h"

#include "farmlogging.h"
#include "farmprotocol.h"
#include "farmuserstate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

namespace {
using Access = FarmProtocol::Access;

QString scene(const FarmRequest& request)
{
    return request.data.value(QStringLiteral("scene")).toString();
}

QString texDir(const FarmRequest& request)
{
    return FarmStorage::join(request.state->uploadDir(), QStringLiteral("tex"));
}

void texFolderContents(FarmProtocol&, FarmRequest& request)
{
    QJsonArray files;
    for (const FarmFileEntry& file : FarmStorage::listFiles(texDir(request), true))
        files.append(QJsonObject{{QStringLiteral("file"), file.path}, {QStringLiteral("size"), file.size}});
    request.answer(QJsonObject{{QStringLiteral("files"), files}});
}

void uploadStarted(FarmProtocol&, FarmRequest& request)
{
    const QJsonValue team = request.data.value(QStringLiteral("teamid"));
    request.state->uploadTeams.insert(scene(request), team.isString() ? team.toString().toInt() : team.toInt());
    request.state->uploadProgress.insert(scene(request), 0);
    request.answer(QJsonObject{{QStringLiteral("result"), true}});
}

void createDirs(FarmProtocol&, FarmRequest& request)
{
    QStringList errors;
    const QJsonArray dirs = request.data.value(QStringLiteral("dirs")).toArray();
    for (const QJsonValue& value : dirs) {
        const QString dir = value.toString();
        const QString path = FarmStorage::join(request.state->uploadDir(), dir);
        if (path.isEmpty())
            errors << QStringLiteral("refused path: ") + dir;
        else if (!QDir().mkpath(path))
            errors << QStringLiteral("cannot create: ") + dir;
    }
    if (!errors.isEmpty())
        qCDebug(lcFarmSim) << "createDirs of" << request.state->user() << ":" << errors;
    request.answer(QJsonObject{{QStringLiteral("result"), errors.isEmpty()},
                               {QStringLiteral("errors"), errors.join(QLatin1Char('\n'))}});
}

QStringList checkJobFiles(const QString& uploadDir, const QString& name)
{
    if (uploadDir.isEmpty())
        return {QStringLiteral("no upload folder")};
    if (!FarmStorage::isSafeName(name))
        return {QStringLiteral("refused path: ") + name};
    QStringList errors;
    for (const QString& base : {name, name + QStringLiteral(".cfg")}) {
        if (FarmStorage::fileSize(uploadDir + QLatin1Char('/') + base) < 0)
            errors << QStringLiteral("missing: ") + base;
    }
    QFile cfg(uploadDir + QLatin1Char('/') + name + QStringLiteral(".cfg"));
    if (!cfg.open(QIODevice::ReadOnly))
        return errors;
    for (const FarmFileEntry& listed : farmCfgFiles(cfg.readAll())) {
        const QString path = FarmStorage::join(uploadDir, listed.path);
        const qint64 size = path.isEmpty() ? -1 : FarmStorage::fileSize(path);
        if (path.isEmpty())
            errors << QStringLiteral("refused path: ") + listed.path;
        else if (size < 0)
            errors << QStringLiteral("missing: ") + listed.path;
        else if (size != listed.size)
            errors << QStringLiteral("size of %1: %2 bytes, expected %3").arg(listed.path).arg(size).arg(listed.size);
    }
    return errors;
}

void checkFiles(FarmProtocol&, FarmRequest& request)
{
    const QString name = scene(request);
    const QString uploadDir = request.state->uploadDir();
    const QStringList errors = checkJobFiles(uploadDir, name);
    const QString mark = uploadDir.isEmpty() || !FarmStorage::isSafeName(name)
        ? QString()
        : uploadDir + QLatin1Char('/') + name + QStringLiteral(".ischecked");
    if (errors.isEmpty()) {
        if (!FarmStorage::writeFile(mark, QByteArray()))
            qCWarning(lcFarmSim) << "cannot mark" << name << "as checked";
        qCDebug(lcFarmSim) << "checkFiles of" << name << "passed";
    } else {
        // A check that fails withdraws an earlier one.
        if (!mark.isEmpty())
            QFile::remove(mark);
        qCDebug(lcFarmSim) << "checkFiles of" << name << "failed:" << errors;
    }
    request.answer(QJsonObject{{QStringLiteral("result"), errors.isEmpty()},
                               {QStringLiteral("errors"), errors.join(QLatin1Char('\n'))}});
}

// The project of a finished upload, listed as "RENDERABLE".
FarmProject* registerUpload(FarmProtocol& protocol, FarmUserState* state, const QString& name)
{
    FarmProject* project = state->addProject(name, protocol.newProjectId(), QStringLiteral("RENDERABLE"));
    project->frameCount = protocol.frameCount();
    project->teamId = state->uploadTeams.value(name, project->teamId);
    return project;
}

void uploadChecked(FarmProtocol& protocol, FarmRequest& request)
{
    const QString name = scene(request);
    if (request.state->project(name))
        request.state->setProjectStatus(name, QStringLiteral("RENDERABLE"));
    else
        registerUpload(protocol, request.state, name);
    request.answer(QJsonObject{{QStringLiteral("result"), true}});
}

void addJob(FarmProtocol& protocol, FarmRequest& request)
{
    const QString name = scene(request);
    FarmProject* project = request.state->project(name);
    if (!project
        || (project->status != QLatin1String("RENDERABLE") && project->status != QLatin1String("UPLOADING")))
        project = registerUpload(protocol, request.state, name);
    else
        project->setStatus(QStringLiteral("RENDERABLE"));
    project->priority = request.data.value(QStringLiteral("prio")).toInt();
    request.answer(QJsonObject{{QStringLiteral("id"), project->id},
                               {QStringLiteral("server_download"), project->serverDownload},
                               {QStringLiteral("server_upload"), project->serverUpload}});
    request.state->setProjectStatus(name, QStringLiteral("RENDERABLE"));
    if (protocol.autoRender())
        request.state->startRendering(name, protocol.renderPace());
}

void texFiles(FarmProtocol&, FarmRequest& request)
{
    QJsonObject files;
    for (const FarmFileEntry& file : FarmStorage::listFiles(texDir(request), true))
        files.insert(QStringLiteral("tex/") + file.path, file.size);
    request.answer(QJsonObject{{QStringLiteral("files"), files}});
}

QString md5Hex(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

void textureCacheLookup(FarmProtocol& protocol, FarmRequest& request)
{
    const QString checksum = request.data.value(QStringLiteral("checksum")).toString();
    QString onlinePath = protocol.cachedTexture(checksum);
    const QString dir = texDir(request);
    if (onlinePath.isEmpty() && !checksum.isEmpty()) {
        for (const FarmFileEntry& file : FarmStorage::listFiles(dir, true)) {
            if (md5Hex(dir + QLatin1Char('/') + file.path).compare(checksum, Qt::CaseInsensitive) == 0) {
                onlinePath = QStringLiteral("tex/") + file.path;
                break;
            }
        }
    }
    request.answer(QJsonObject{{QStringLiteral("onlinePath"), onlinePath},
                               {QStringLiteral("checksum"), checksum},
                               {QStringLiteral("result"), onlinePath.isEmpty() ? QStringLiteral("notfound")
                                                                               : QStringLiteral("found")}});
}

void unpack(FarmProtocol&, FarmRequest& request)
{
    const QString path = FarmStorage::join(request.state->uploadDir(),
                                           request.data.value(QStringLiteral("picture")).toString());
    request.answer(QJsonObject{{QStringLiteral("result"), !path.isEmpty() && QFileInfo(path).isFile()}});
}

void uploadProgress(FarmProtocol&, FarmRequest& request)
{
    request.state->uploadProgress.insert(scene(request), request.data.value(QStringLiteral("progress")).toInt());
}
} // namespace

QVector<FarmFileEntry> farmCfgFiles(const QByteArray& cfg)
{
    QVector<FarmFileEntry> files;
    bool inFiles = false;
    QString path;
    for (QString line : QString::fromUtf8(cfg).split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!inFiles) {
            inFiles = line == QLatin1String("[files]");
            continue;
        }
        const QString value = line.mid(line.indexOf(QLatin1Char('=')) + 1);
        if (line.startsWith(QLatin1Char('[')))
            inFiles = false;
        else if (line.startsWith(QLatin1String("pathsize")))
            files.append(FarmFileEntry{path, value.toLongLong()});
        else if (line.startsWith(QLatin1String("paths=")) || line.startsWith(QLatin1String("pathlocal")))
            continue;
        else if (line.startsWith(QLatin1String("path")))
            path = value;
    }
    return files;
}

void registerUploadHandlers(FarmProtocol& protocol)
{
    FarmProtocol* farm = &protocol;
    auto bind = [farm](void (*handler)(FarmProtocol&, FarmRequest&)) {
        return [farm, handler](FarmRequest& request) { handler(*farm, request); };
    };
    protocol.registerHandler(QStringLiteral("getTexFolderContents"), Access::LoggedIn, bind(texFolderContents));
    protocol.registerHandler(QStringLiteral("setuploadstarted"), Access::LoggedIn, bind(uploadStarted));
    protocol.registerHandler(QStringLiteral("createDirs"), Access::LoggedIn, bind(createDirs));
    protocol.registerHandler(QStringLiteral("checkFiles"), Access::LoggedIn, bind(checkFiles));
    protocol.registerHandler(QStringLiteral("setuploadchecked"), Access::LoggedIn, bind(uploadChecked));
    protocol.registerHandler(QStringLiteral("addjob"), Access::LoggedIn, bind(addJob));
    protocol.registerHandler(QStringLiteral("getTexFiles"), Access::LoggedIn, bind(texFiles));
    protocol.registerHandler(QStringLiteral("textureCacheLookup"), Access::LoggedIn, bind(textureCacheLookup));
    protocol.registerHandler(QStringLiteral("unpack"), Access::LoggedIn, bind(unpack));
    protocol.registerHandler(QStringLiteral("setUploadProgress"), Access::LoggedIn, bind(uploadProgress));
}
