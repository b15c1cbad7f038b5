// FarmSimulator: storage, projects, farm events and maintenance answers.
#include "farmsimulator.h"

#include "farmlogging.h"
#include "farmprotocol.h"
#include "farmrenderer.h"
#include "farmstorage.h"
#include "farmuserstate.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>

void FarmSimulator::setStorageRoot(const QString& dir)
{
    m_protocol->setStorageRoot(dir);
}

QString FarmSimulator::storageRoot() const
{
    return m_protocol->storageRoot();
}

QString FarmSimulator::uploadDir(const QString& user) const
{
    return FarmStorage::uploadDir(storageRoot(), user);
}

QString FarmSimulator::outputDir(const QString& user, const QString& jobName) const
{
    const QString dir = FarmStorage::outputDir(storageRoot(), user);
    return dir.isEmpty() || !FarmStorage::isSafeName(jobName) ? QString() : dir + QLatin1Char('/') + jobName;
}

void FarmSimulator::setUnanswered(const QString& action, bool unanswered)
{
    m_protocol->setUnanswered(action, unanswered);
}

void FarmSimulator::setRenderPace(int ms)
{
    m_protocol->setRenderPace(ms);
}

int FarmSimulator::renderPace() const
{
    return m_protocol->renderPace();
}

void FarmSimulator::setFrameCount(int frames)
{
    m_protocol->setFrameCount(frames);
}

void FarmSimulator::setAutoRender(bool on)
{
    m_protocol->setAutoRender(on);
}

QString FarmSimulator::addProject(const QString& user, const QString& name, const QString& status)
{
    FarmProject* project = ensureUserState(user)->addProject(name, m_protocol->newProjectId(), status);
    project->frameCount = m_protocol->frameCount();
    return project->id;
}

int FarmSimulator::addProjects(const QString& user, int count)
{
    return ensureUserState(user)->addGeneratedProjects(count, m_protocol->frameCount(),
                                                       [this] { return m_protocol->newProjectId(); });
}

FarmProject* FarmSimulator::project(const QString& user, const QString& name) const
{
    const FarmUserState* state = userState(user);
    return state ? state->project(name) : nullptr;
}

QStringList FarmSimulator::projectNames(const QString& user) const
{
    QStringList names;
    if (const FarmUserState* state = userState(user)) {
        for (const FarmProject* project : state->projects())
            names.append(project->name);
    }
    return names;
}

bool FarmSimulator::setProjectStatus(const QString& user, const QString& name, const QString& status)
{
    FarmUserState* state = userState(user);
    return state && state->setProjectStatus(name, status);
}

bool FarmSimulator::startRendering(const QString& user, const QString& name)
{
    FarmUserState* state = userState(user);
    return state && state->startRendering(name, renderPace());
}

bool FarmSimulator::deleteProject(const QString& user, const QString& name, bool removeFiles)
{
    FarmUserState* state = userState(user);
    if (!state || !state->removeProject(name))
        return false;
    if (removeFiles && FarmStorage::isSafeName(name)) {
        const QString upload = state->uploadDir();
        if (!upload.isEmpty()) {
            for (const QString& suffix : {QString(), QStringLiteral(".jpg"), QStringLiteral(".cfg"),
                                          QStringLiteral(".ischecked")})
                QFile::remove(upload + QLatin1Char('/') + name + suffix);
        }
        const QString output = state->jobOutputDir(name);
        if (!output.isEmpty())
            QDir(output).removeRecursively();
    }
    qCDebug(lcFarmSim) << "project" << name << "of" << user << "deleted";
    pushToUser(user, QJsonObject{{QStringLiteral("action"), QStringLiteral("projectDeleted")},
                                 {QStringLiteral("data"), QJsonObject{{QStringLiteral("scene"), name}}}});
    return true;
}

int FarmSimulator::pushFrameStateChange(const QString& user, const QString& name, int frame)
{
    const FarmProject* target = project(user, name);
    return pushToUser(user, FarmRenderer::frameEvent(target ? target->id : QString(), name, frame));
}

int FarmSimulator::pushProjectUploading(const QString& user, const QString& name)
{
    return pushToUser(user, QJsonObject{{QStringLiteral("action"), QStringLiteral("projectUploading")},
                                        {QStringLiteral("data"), QJsonObject{{QStringLiteral("scene"), name}}}});
}

int FarmSimulator::pushOutOfPoints(const QString& user)
{
    return pushToUser(user, QJsonObject{{QStringLiteral("action"), QStringLiteral("jobOutOfPoints")},
                                        {QStringLiteral("data"), QJsonObject()}});
}

int FarmSimulator::pushAutoupdateSignal(const QString& user, int minutes)
{
    return pushToUser(user, QJsonObject{{QStringLiteral("action"), QStringLiteral("autoupdatesignal")},
                                        {QStringLiteral("data"), QJsonObject{{QStringLiteral("time"), minutes}}}});
}

void FarmSimulator::setSshInfoPorts(const QString& user, int port1, int port2, int port3)
{
    ensureUserState(user)->sshInfoPorts = QJsonObject{{QStringLiteral("port1"), QString::number(port1)},
                                                      {QStringLiteral("port2"), QString::number(port2)},
                                                      {QStringLiteral("port3"), QString::number(port3)}};
}

void FarmSimulator::setSshInfoFailures(const QString& user, int count)
{
    ensureUserState(user)->sshInfoFailures = count;
}

void FarmSimulator::setAutoupdateContent(const QJsonObject& content)
{
    m_protocol->setAutoupdateContent(content);
}

void FarmSimulator::setPluginConfig(const QString& program, int version, const QString& content)
{
    m_protocol->setPluginConfig(program, version, content);
}

void FarmSimulator::addCachedTexture(const QString& checksum, const QString& onlinePath)
{
    m_protocol->addCachedTexture(checksum, onlinePath);
}

QVector<FarmReceivedFile> FarmSimulator::receivedFiles(const QString& user) const
{
    const FarmUserState* state = userState(user);
    return state ? state->receivedFiles() : QVector<FarmReceivedFile>();
}
