#include "farmrenderer.h"

#include "farmlogging.h"
#include "farmproject.h"
#include "farmuserstate.h"

#include <algorithm>

namespace {
const int kMaxEngines = 4;

QString frameNumber(int frame)
{
    return QStringLiteral("%1").arg(frame, 4, 10, QLatin1Char('0'));
}
} // namespace

FarmRenderer::FarmRenderer(FarmUserState* state, const QString& projectName, QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_name(projectName)
{
    connect(&m_timer, &QTimer::timeout, this, &FarmRenderer::step);
}

void FarmRenderer::setPace(int ms)
{
    m_timer.setInterval(std::max(0, ms));
}

void FarmRenderer::resume()
{
    if (!m_timer.isActive())
        m_timer.start();
}

void FarmRenderer::halt()
{
    m_timer.stop();
}

QVector<FarmFileEntry> FarmRenderer::frameFiles(int frame)
{
    return {FarmFileEntry{QStringLiteral("frame_%1.png").arg(frameNumber(frame)), 3000 + 101 * qint64(frame)},
            FarmFileEntry{QStringLiteral("passes/alpha_%1.png").arg(frameNumber(frame)), 1500 + 37 * qint64(frame)}};
}

QVector<FarmFileEntry> FarmRenderer::outputFiles(int frameCount)
{
    QVector<FarmFileEntry> files;
    for (int frame = 1; frame <= frameCount; ++frame)
        files += frameFiles(frame);
    std::sort(files.begin(), files.end(),
              [](const FarmFileEntry& a, const FarmFileEntry& b) { return a.path < b.path; });
    return files;
}

QByteArray FarmRenderer::fileContent(const QString& jobName, const QString& path, qint64 size)
{
    // FNV-1a over the seed text, then a 32-bit linear congruential sequence.
    quint32 state = 2166136261u;
    for (const char byte : (jobName + QLatin1Char('/') + path).toUtf8()) {
        state ^= static_cast<quint8>(byte);
        state *= 16777619u;
    }
    QByteArray bytes(static_cast<int>(std::max<qint64>(0, size)), Qt::Uninitialized);
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

QJsonObject FarmRenderer::frameEvent(const QString& id, const QString& projectName, int frame)
{
    return QJsonObject{{QStringLiteral("action"), QStringLiteral("frameStateChange")},
                       {QStringLiteral("data"), QJsonObject{{QStringLiteral("jobid"), id},
                                                            {QStringLiteral("id"), id},
                                                            {QStringLiteral("scene"), projectName},
                                                            {QStringLiteral("frame"), frame},
                                                            {QStringLiteral("state"), QStringLiteral("RENDERED")}}}};
}

bool FarmRenderer::writeFrame(const QString& jobOutputDir, const QString& jobName, int frame)
{
    bool ok = true;
    for (const FarmFileEntry& file : frameFiles(frame))
        ok = FarmStorage::writeFile(jobOutputDir + QLatin1Char('/') + file.path,
                                    fileContent(jobName, file.path, file.size))
             && ok;
    return ok;
}

void FarmRenderer::step()
{
    FarmProject* project = m_state->project(m_name);
    if (!project) {
        halt();
        emit finished(m_name);
        return;
    }
    const QString status = project->status;
    if (status == QLatin1String("PAUSED")) {
        halt();
    } else if (status == QLatin1String("RENDERABLE") || status == QLatin1String("UPLOADING")) {
        m_state->setProjectStatus(m_name, QStringLiteral("QUEUED"));
    } else if (status == QLatin1String("QUEUED")) {
        project->engines = std::max(1, std::min(project->frameCount, kMaxEngines));
        m_state->setProjectStatus(m_name, QStringLiteral("RENDERING"));
    } else if (status == QLatin1String("RENDERING") && project->framesDone < project->frameCount) {
        const int frame = project->framesDone + 1;
        const QString dir = m_state->jobOutputDir(m_name);
        if (dir.isEmpty())
            qCDebug(lcFarmSim) << "no output folder for" << m_name << "- frame" << frame << "not written";
        else if (!writeFrame(dir, m_name, frame))
            qCWarning(lcFarmSim) << "frame" << frame << "of" << m_name << "not written completely";
        project->framesDone = frame;
        project->progress = frame * 100 / project->frameCount;
        m_state->push(frameEvent(project->id, m_name, frame));
        m_state->reportFrameRendered(m_name, frame);
    } else if (status == QLatin1String("RENDERING")) {
        project->progress = 100;
        // Ends this renderer (setProjectStatus stops it for any final state).
        m_state->setProjectStatus(m_name, QStringLiteral("RENDERED"));
    } else {
        halt();
        emit finished(m_name);
    }
}
