#pragma once

#include "farmstorage.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

class FarmUserState;

// Renders one submitted project of a user, one step per pace interval:
//
//   RENDERABLE -> QUEUED -> RENDERING -> frame 1 ... frame N -> RENDERED
//
// Every state change is pushed as "jobStateChange" (FarmUserState::
// setProjectStatus), every frame as
//   {"action": "frameStateChange",
//    "data": {"jobid": ID, "id": ID, "scene": NAME, "frame": N, "state": "RENDERED"}}
// after its files are in the job's output folder. A project that is "PAUSED"
// halts the renderer; one that is removed or ends in another state ends it.
//
// Output of frame N (N from 1) in "<output>/<user>/<job>/", contents fixed by
// the job name and the file's path (fileContent()):
//   "frame_NNNN.png"          3000 + 101 * N bytes
//   "passes/alpha_NNNN.png"   1500 +  37 * N bytes
class FarmRenderer : public QObject
{
    Q_OBJECT
public:
    FarmRenderer(FarmUserState* state, const QString& projectName, QObject* parent = nullptr);

    QString projectName() const { return m_name; }
    void setPace(int ms);
    int pace() const { return m_timer.interval(); }
    // Steps on from where the project stands.
    void resume();
    // Stops stepping; resume() goes on from the same place.
    void halt();
    bool isRunning() const { return m_timer.isActive(); }

    // The files of frame `frame` (from 1), relative to the job's output folder.
    static QVector<FarmFileEntry> frameFiles(int frame);
    // The files of frames 1 to `frameCount`, sorted by path.
    static QVector<FarmFileEntry> outputFiles(int frameCount);
    // The bytes of an output file: a pseudo-random sequence seeded by the job
    // name and the path.
    static QByteArray fileContent(const QString& jobName, const QString& path, qint64 size);
    // The "frameStateChange" event of a frame.
    static QJsonObject frameEvent(const QString& id, const QString& projectName, int frame);
    // Writes the files of one frame into `jobOutputDir`.
    static bool writeFrame(const QString& jobOutputDir, const QString& jobName, int frame);

signals:
    // The project is gone or ended in a state the renderer does not move on.
    void finished(const QString& projectName);

private:
    void step();

    FarmUserState* m_state;
    QString m_name;
    QTimer m_timer;
};
