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
        existing->name = name;
        if (m_projectsById.value(kept.id) == existing)
            m_projectsById.remove(kept.id);
        existing->id = id;
        m_projectsById.insert(id, existing);
        existing->setStatus(status);
    } else {
        existing = appendProject(name, id, status);
    }
    qCDebug(lcFarmSim) << "project" << name << "of" << m_user << "has id" << id << "and status" << status;
    return existing;
}

FarmProject* FarmUserState::appendProject(const QString& name, const QString& id, const QString& status)
{
    m_projects.push_back(std::make_unique<FarmProject>());
    FarmProject* added = m_projects.back().get();
    added->name = name;
    added->id = id;
    added->setStatus(status);
    m_projectsByName.insert(name, added);
    m_projectsById.insert(id, added);
    return added;
}

int FarmUserState::addGeneratedProjects(int count, int frameCount, const std::function<QString()>& newId)
{
    static const QString states[] = {QStringLiteral("QUEUED"), QStringLiteral("RENDERING"),
                                     QStringLiteral("RENDERED"), QStringLiteral("PAUSED")};
    if (count <= 0)
        return 0;
    m_projects.reserve(m_projects.size() + static_cast<size_t>(count));
    m_projectsByName.reserve(projectCount() + count);
    m_projectsById.reserve(projectCount() + count);
    int added = 0;
    while (added < count) {
        const QString name = QStringLiteral("project%1").arg(m_nextGeneratedNumber++, 5, 10, QLatin1Char('0'));
        if (m_projectsByName.contains(name))
            continue;
        const QString& status = states[m_generatedProjects++ % 4];
        FarmProject* project = appendProject(name, newId(), status);
        project->frameCount = frameCount;
        if (status == QLatin1String("RENDERED")) {
            project->framesDone = frameCount;
            project->progress = 100;
        }
        ++added;
    }
    qCDebug(lcFarmSim) << added << "projects added for" << m_user << "- now" << projectCount();
    return added;
}

bool FarmUserState::removeProject(const QString& name)
{
    const auto it = std::find_if(m_projects.begin(), m_projects.end(),
                                 [&name](const auto& project) { return project->name == name; });
    if (it == m_projects.end())
        return false;
    stopRendering(name);
    m_projectsByName.remove(name);
    if (m_projectsById.value((*it)->id) == it->get())
        m_projectsById.remove((*it)->id);
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
