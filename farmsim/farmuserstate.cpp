#include "farmuserstate.h"

#include "farmlogging.h"
#include "farmrenderer.h"
#include "farmstorage.h"

#include <QDir>

#include <algorithm>

FarmUserState::FarmUserState(const QString& user, const QString& storageRoot, QObject* parent)
    : QObject(parent)
    , m_user(user)
{
    sshInfoPorts = QJsonObject{{QStringLiteral("port1"), QStringLiteral("47001")},
                               {QStringLiteral("port2"), QStringLiteral("47002")},
                               {QStringLiteral("port3"), QStringLiteral("47003")}};
    setStorageRoot(storageRoot);
}

FarmUserState::~FarmUserState()
{
    // The renderers are children; they must not report into a half-destroyed
    // state.
    for (FarmRenderer* renderer : qAsConst(m_renderers))
        renderer->disconnect(this);
}

void FarmUserState::setStorageRoot(const QString& root)
{
    m_uploadDir = FarmStorage::uploadDir(root, m_user);
    m_outputDir = FarmStorage::outputDir(root, m_user);
    if (root.isEmpty())
        return;
    if (m_uploadDir.isEmpty()) {
        qCWarning(lcFarmSim) << "user name" << m_user << "cannot be a folder name - no storage for this user";
        return;
    }
    for (const QString& dir : {m_uploadDir, m_outputDir}) {
        if (!QDir().mkpath(dir))
            qCWarning(lcFarmSim) << "cannot create the storage folder" << dir;
    }
}

QString FarmUserState::jobOutputDir(const QString& name) const
{
    return m_outputDir.isEmpty() || !FarmStorage::isSafeName(name) ? QString() : m_outputDir + QLatin1Char('/') + name;
}

QVector<const FarmProject*> FarmUserState::projects() const
{
    QVector<const FarmProject*> list;
    list.reserve(static_cast<int>(m_projects.size()));
    for (const auto& project : m_projects)
        list.append(project.get());
    return list;
}

FarmProject* FarmUserState::project(const QString& name) const
{
    const auto it = std::find_if(m_projects.cbegin(), m_projects.cend(),
                                 [&name](const auto& project) { return project->name == name; });
    return it == m_projects.cend() ? nullptr : it->get();
}

FarmProject* FarmUserState::projectById(const QString& id) const
{
    if (id.isEmpty())
        return nullptr;
    const auto it = std::find_if(m_projects.cbegin(), m_projects.cend(),
                                 [&id](const auto& project) { return project->id == id; });
    return it == m_projects.cend() ? nullptr : it->get();
}

FarmProject* FarmUserState::addProject(const QString& name, const QString& id, const QString& status)
{
    FarmProject* existing = project(name);
    if (existing) {
        stopRendering(name);
        const FarmProject kept = *existing;
        *existing = FarmProject();
        existing->teamId = kept.teamId;
        existing->isTrial = kept.isTrial;
        existing->isPaid = kept.isPaid;
        existing->downloadEnabled = kept.downloadEnabled;
        existing->frameCount = kept.frameCount;
    } else {
        m_projects.push_back(std::make_unique<FarmProject>());
        existing = m_projects.back().get();
    }
    existing->name = name;
    existing->id = id;
    existing->setStatus(status);
    qCDebug(lcFarmSim) << "project" << name << "of" << m_user << "has id" << id << "and status" << status;
    return existing;
}

bool FarmUserState::removeProject(const QString& name)
{
    const auto it = std::find_if(m_projects.begin(), m_projects.end(),
                                 [&name](const auto& project) { return project->name == name; });
    if (it == m_projects.end())
        return false;
    stopRendering(name);
    m_projects.erase(it);
    uploadTeams.remove(name);
    uploadProgress.remove(name);
    return true;
}

bool FarmUserState::setProjectStatus(const QString& name, const QString& status)
{
    FarmProject* target = project(name);
    if (!target)
        return false;
    target->setStatus(status);
    if (FarmRenderer* running = renderer(name)) {
        if (status == QLatin1String("PAUSED"))
            running->halt();
        else if (status == QLatin1String("RENDERING") || status == QLatin1String("QUEUED"))
            running->resume();
        else if (status != QLatin1String("RENDERABLE"))
            stopRendering(name);
    }
    push(QJsonObject{{QStringLiteral("action"), QStringLiteral("jobStateChange")},
                     {QStringLiteral("data"), QJsonObject{{QStringLiteral("jobid"), target->id},
                                                          {QStringLiteral("state"), status}}}});
    emit projectStatusChanged(name, status);
    return true;
}

bool FarmUserState::startRendering(const QString& name, int paceMs)
{
    if (!project(name))
        return false;
    FarmRenderer* running = renderer(name);
    if (!running) {
        running = new FarmRenderer(this, name, this);
        m_renderers.insert(name, running);
        connect(running, &FarmRenderer::finished, this, [this, running](const QString& finishedName) {
            if (m_renderers.value(finishedName) == running)
                m_renderers.remove(finishedName);
            running->deleteLater();
        });
    }
    running->setPace(paceMs);
    running->resume();
    return true;
}

void FarmUserState::stopRendering(const QString& name)
{
    FarmRenderer* running = m_renderers.take(name);
    if (!running)
        return;
    running->disconnect(this);
    running->halt();
    running->deleteLater();
}

void FarmUserState::addReceivedFile(const FarmReceivedFile& file)
{
    m_receivedFiles.append(file);
    emit fileReceived(file.fileName);
}
