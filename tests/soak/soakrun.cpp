// The soak run: a few hundred jobs through upload, rendering and download
// against the in-process farm simulator, which drops the client's connection
// at random every few seconds. Some jobs are deleted midway, some uploads and
// downloads are paused and resumed. At the end every frame is compared byte
// for byte, every deleted job's local files must be gone and no other input
// file may have changed. Exit code 0 on success, 1 on a failed check, 2 when
// the time bound ran out.
//
//   kite_soak [--jobs N] [--max-seconds S] [--seed N] [--plain-uploader] [--verbose]

#include "dialogs/errormessagedialog.h"
#include "support/testfiles.h"
#include "farmproject.h"
#include "farmrenderer.h"
#include "farmsimulator.h"
#include "farmstorage.h"
#include "jobs/kiteproject.h"
#include "loginkeeper.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "standindownloader.h"
#include "standinuploader.h"
#include "support/clientfixture.h"

#include <QAction>

#include <QApplication>
#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {
using namespace TestFiles;
const QString kUser = QStringLiteral("anna");
const QString kPassword = QStringLiteral("anna-pass-4711");
constexpr int kFrames = 2;
constexpr int kTextures = 40;
// Paces of the stand-in transfers (per 64 KiB chunk) and of the farm's
// renderer (per frame): slow enough that the run spans dozens of the
// simulator's connection drops, which come every 2-5 s.
constexpr int kUploadPaceMs = 120;
constexpr int kDownloadPaceMs = 120;
constexpr int kRenderPaceMs = 1500;

QByteArray randomBytes(int size, QRandomGenerator& generator)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(generator.bounded(256));
    return bytes;
}

QByteArray digest(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
}

struct SoakJob
{
    QString name;
    QStringList textures; // server paths, "tex/tNN.bin"
    QByteArray cfg;       // as exported
    bool deleteMidway = false;
    bool pauseUpload = false;
    bool pauseDownload = false;
    bool deleted = false;
    bool uploadPaused = false;
    bool downloadPaused = false;
};

class Soak : public QObject
{
public:
    Soak(int jobs, int maxSeconds, quint32 seed, bool plainUploader)
        : m_plainUploader(plainUploader)
        , m_jobCount(jobs)
        , m_maxSeconds(maxSeconds)
        , m_seed(seed)
        , m_random(seed)
    {
    }

    int run();

private:
    QString userFolder() const { return m_client.projectsFolder() + QLatin1Char('/') + kUser; }
    bool exportJobs();
    void scheduleDrop();
    void dropNow();
    SoakJob* soakJob(const KiteProject* job);
    void onUploadBytes(KiteProject* job);
    void onDownloadBytes(KiteProject* job);
    int doneCount() const;
    void printStuck(const KiteProject* job) const;
    bool verify();
    void fail(const QString& why)
    {
        ++m_failures;
        std::fprintf(stderr, "soak: FAIL %s\n", qPrintable(why));
    }

    ClientFixture m_client;
    QTemporaryDir m_storage;
    std::unique_ptr<StandInUploader> m_uploader;
    std::unique_ptr<StandInDownloader> m_downloader;
    std::unique_ptr<LoginKeeper> m_keeper;
    QString m_hostOut;
    QTextStream m_hostStream{&m_hostOut};
    bool m_plainUploader;
    int m_jobCount;
    int m_maxSeconds;
    quint32 m_seed;
    QRandomGenerator m_random;
    QVector<SoakJob> m_jobs;
    QHash<QString, QByteArray> m_inputs; // local path -> digest, for every exported input file
    QHash<QString, int> m_textureUsers;
    QTimer m_dropTimer;
    bool m_withRestarts = true;
    int m_drops = 0;
    int m_pausedUploads = 0;
    int m_pausedDownloads = 0;
    int m_deletions = 0;
    int m_failures = 0;
    qint64 m_inputBytes = 0;
    qint64 m_checkedBytes = 0; // frames and uploaded files compared byte for byte
};

bool Soak::exportJobs()
{
    QDir().mkpath(userFolder());
    QVector<int> textureSizes;
    for (int t = 0; t < kTextures; ++t) {
        const int size = 1024 + int(m_random.bounded(300 * 1024));
        textureSizes << size;
        const QString path = QStringLiteral("tex/t%1.bin").arg(t, 2, 10, QLatin1Char('0'));
        const QByteArray bytes = randomBytes(size, m_random);
        if (!writeFile(userFolder() + QLatin1Char('/') + path, bytes))
            return false;
        m_inputs.insert(userFolder() + QLatin1Char('/') + path, digest(bytes));
        m_inputBytes += size;
    }
    for (int j = 0; j < m_jobCount; ++j) {
        SoakJob job;
        job.name = QStringLiteral("soak%1").arg(j, 3, 10, QLatin1Char('0'));
        QSet<int> picked;
        const int count = 1 + int(m_random.bounded(4));
        while (picked.size() < count)
            picked.insert(int(m_random.bounded(kTextures)));
        QStringList lines{QStringLiteral("renderer=vray"), QStringLiteral("program=max"), QStringLiteral("autostart=1"),
                          QStringLiteral("prio=2"), QStringLiteral("[files]"),
                          QStringLiteral("paths=%1").arg(picked.size())};
        int i = 0;
        for (int t : qAsConst(picked)) {
            const QString path = QStringLiteral("tex/t%1.bin").arg(t, 2, 10, QLatin1Char('0'));
            job.textures << path;
            m_textureUsers[path] += 1;
            lines << QStringLiteral("path%1=%2").arg(i).arg(path)
                  << QStringLiteral("pathlocal%1=%2").arg(i).arg(userFolder() + QLatin1Char('/') + path)
                  << QStringLiteral("pathsize%1=%2").arg(i).arg(textureSizes.at(t));
            ++i;
        }
        const QString base = userFolder() + QLatin1Char('/') + job.name;
        const int sceneSize = 2 * 1024 + int(m_random.bounded(400 * 1024));
        const QByteArray scene = randomBytes(sceneSize, m_random);
        const QByteArray preview = randomBytes(3000, m_random);
        job.cfg = lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n";
        if (!writeFile(base, scene) || !writeFile(base + QStringLiteral(".jpg"), preview)
            || !writeFile(base + QStringLiteral(".cfg"), job.cfg))
            return false;
        m_inputs.insert(base, digest(scene));
        m_inputs.insert(base + QStringLiteral(".jpg"), digest(preview));
        m_inputBytes += sceneSize + preview.size();
        m_jobs << job;
    }
    // About one job in twenty each is deleted midway, has its upload paused
    // and resumed, has its download paused and resumed.
    const int each = qMax(1, m_jobCount / 20);
    QVector<int> order;
    for (int j = 0; j < m_jobCount; ++j)
        order << j;
    std::shuffle(order.begin(), order.end(), m_random);
    for (int k = 0; k < each && 3 * k + 2 < order.size(); ++k) {
        m_jobs[order.at(3 * k)].deleteMidway = true;
        m_jobs[order.at(3 * k + 1)].pauseUpload = true;
        m_jobs[order.at(3 * k + 2)].pauseDownload = true;
    }
    return m_client.refresh();
}

void Soak::scheduleDrop()
{
    m_dropTimer.start(2000 + int(m_random.bounded(3001)));
}

void Soak::dropNow()
{
    FarmSimulator& sim = m_client.simulator;
    // Only a connection that is there can be lost: one drop, one login again.
    if (!sim.isLoggedIn(kUser)) {
        scheduleDrop();
        return;
    }
    const int kind = int(m_random.bounded(m_withRestarts ? 10 : 8));
    if (kind < 4) {
        sim.closeUserConnections(kUser);
    } else if (kind < 8) {
        sim.abortUserConnections(kUser);
    } else {
        // Gone for a moment, back on the same port.
        sim.stopListening();
        sim.abortUserConnections(kUser);
        QTimer::singleShot(300 + int(m_random.bounded(700)), &sim, [&sim] { sim.resumeListening(); });
    }
    ++m_drops;
    scheduleDrop();
}

SoakJob* Soak::soakJob(const KiteProject* job)
{
    for (SoakJob& candidate : m_jobs) {
        if (candidate.name == job->name)
            return &candidate;
    }
    return nullptr;
}

void Soak::onUploadBytes(KiteProject* job)
{
    SoakJob* mine = soakJob(job);
    if (!mine)
        return;
    if (mine->deleteMidway && !mine->deleted) {
        mine->deleted = true;
        ++m_deletions;
        QPointer<KiteProject> target(job);
        // The user's "Delete" answered with yes.
        QTimer::singleShot(0, this, [target] {
            if (target)
                emit target->deleteLocalJobSignal(target);
        });
    } else if (mine->pauseUpload && !mine->uploadPaused) {
        mine->uploadPaused = true;
        ++m_pausedUploads;
        QPointer<KiteProject> target(job);
        QTimer::singleShot(0, this, [target] {
            if (target)
                target->uploadPausedSwitchSlot();
        });
        QTimer::singleShot(800, this, [target] {
            if (target && target->isUploadPaused)
                target->uploadPausedSwitchSlot();
        });
    }
}

void Soak::onDownloadBytes(KiteProject* job)
{
    SoakJob* mine = soakJob(job);
    if (!mine || !mine->pauseDownload || mine->downloadPaused)
        return;
    mine->downloadPaused = true;
    ++m_pausedDownloads;
    QPointer<KiteProject> target(job);
    QTimer::singleShot(0, this, [target] {
        if (target)
            target->downloadPausedSwitchSlot();
    });
    QTimer::singleShot(800, this, [target] {
        if (target && target->isDownloadPaused)
            target->downloadPausedSwitchSlot();
    });
}

// What a job that did not finish shows, on the client's side and the farm's.
void Soak::printStuck(const KiteProject* job) const
{
    const FarmProject* farm = m_client.simulator.project(kUser, job->name);
    std::printf("soak:   not done: %s [id %s uploading %d uploaded %d paused %d renderable %d queued %d rendering %d "
                "complete %d downloading %d downloaded %d check %d last %d/%d list %d running %d errors %d/%d] "
                "farm: %s %d/%d frames\n",
                qPrintable(job->jobAction->text()), qPrintable(job->jobId), job->isUploading, job->isUploaded,
                job->isUploadPaused, job->isRenderable, job->isQueued, job->isRendering, job->renderComplete,
                job->isDownloading, job->isDownloaded, job->checkForFilesToDownload, job->lastDownloadCheck,
                job->lastDownloadCheckReceived, int(job->downloadList.size()), job->runningDownloadsOfJob,
                job->downloadJobErrorCount, job->downloadJobErrorRestartCount,
                farm ? qPrintable(farm->status) : "-", farm ? farm->framesDone : 0, farm ? farm->frameCount : 0);
}

int Soak::doneCount() const
{
    int done = 0;
    for (const SoakJob& mine : m_jobs) {
        if (mine.deleted)
            continue;
        const KiteProject* job = m_client.job(mine.name);
        done += job && job->jobAction->text().endsWith(QLatin1String("DOWNLOADED (100%)"));
    }
    return done;
}

bool Soak::verify()
{
    qint64 frameBytes = 0;
    // Textures only deleted jobs listed go with them; one that no job lists
    // is no job's file, and the client leaves it alone.
    QSet<QString> textureKept;
    QSet<QString> textureOfDeleted;
    for (const SoakJob& mine : m_jobs) {
        for (const QString& path : mine.textures)
            (mine.deleted ? textureOfDeleted : textureKept).insert(path);
    }
    for (const SoakJob& mine : m_jobs) {
        const QString base = userFolder() + QLatin1Char('/') + mine.name;
        if (mine.deleted) {
            for (const QString& suffix : {QString(), QStringLiteral(".cfg"), QStringLiteral(".jpg")}) {
                if (QFileInfo::exists(base + suffix))
                    fail(QStringLiteral("deleted job's file still there: ") + base + suffix);
            }
            continue;
        }
        KiteProject* job = m_client.job(mine.name);
        if (!job) {
            fail(QStringLiteral("job missing: ") + mine.name);
            continue;
        }
        const QString local =
            job->localDownloadDirCustom.isEmpty() ? job->localDownloadDir : job->localDownloadDirCustom;
        for (const FarmFileEntry& frame : FarmRenderer::outputFiles(kFrames)) {
            const QByteArray expected = FarmRenderer::fileContent(mine.name, frame.path, frame.size);
            if (readFile(local + QLatin1Char('/') + frame.path) != expected)
                fail(QStringLiteral("frame differs: ") + mine.name + QLatin1Char('/') + frame.path);
            frameBytes += expected.size();
            m_checkedBytes += expected.size();
        }
        QDirIterator markers(local, {QStringLiteral("*.dlstarted")}, QDir::Files | QDir::Hidden,
                             QDirIterator::Subdirectories);
        if (markers.hasNext())
            fail(QStringLiteral("download marker left: ") + markers.next());
        // The cfg keeps what the exporter wrote; the client only appends, and
        // each of its marks once.
        const QByteArray cfg = readFile(base + QStringLiteral(".cfg"));
        if (!cfg.startsWith(mine.cfg))
            fail(QStringLiteral("cfg lost lines: ") + mine.name);
        for (const char* mark : {"\r\nuploadfinished=true", "\r\ndownloaded=true"}) {
            if (cfg.count(mark) != 1)
                fail(QStringLiteral("cfg mark %1 %2 times: ").arg(QLatin1String(mark + 2)).arg(cfg.count(mark)) + mine.name);
        }
        const QString uploadDir = m_client.simulator.uploadDir(kUser);
        const QByteArray scene = readFile(uploadDir + QLatin1Char('/') + mine.name);
        if (digest(scene) != m_inputs.value(base))
            fail(QStringLiteral("uploaded scene differs: ") + mine.name);
        m_checkedBytes += scene.size();
        for (const QString& path : mine.textures) {
            const QByteArray uploaded = readFile(uploadDir + QLatin1Char('/') + path);
            m_checkedBytes += uploaded.size();
            if (digest(uploaded) != m_inputs.value(userFolder() + QLatin1Char('/') + path)) {
                const QByteArray local = readFile(userFolder() + QLatin1Char('/') + path);
                const auto at = std::mismatch(uploaded.cbegin(), uploaded.cbegin() + qMin(uploaded.size(), local.size()),
                                              local.cbegin()).first - uploaded.cbegin();
                fail(QStringLiteral("uploaded texture differs: %1 (%2 of %3 bytes, first difference at %4), job %5")
                         .arg(path).arg(uploaded.size()).arg(local.size()).arg(at).arg(mine.name));
            }
        }
    }
    // No other input file was touched: scenes, previews and textures of the
    // remaining jobs are as exported; textures only deleted jobs used are gone.
    for (auto it = m_inputs.cbegin(); it != m_inputs.cend(); ++it) {
        const QString relative = it.key().mid(userFolder().size() + 1);
        bool ofDeletedJob = false;
        for (const SoakJob& mine : m_jobs) {
            if (mine.deleted && (relative == mine.name || relative == mine.name + QStringLiteral(".jpg")))
                ofDeletedJob = true;
        }
        if (ofDeletedJob || (textureOfDeleted.contains(relative) && !textureKept.contains(relative))) {
            if (QFileInfo::exists(it.key()))
                fail(QStringLiteral("file of a deleted job still there: ") + relative);
            continue;
        }
        if (digest(readFile(it.key())) != it.value())
            fail(QStringLiteral("input file changed: ") + relative);
    }
    std::printf("soak: frames checked %lld bytes\n", frameBytes);
    return m_failures == 0;
}

int Soak::run()
{
    QElapsedTimer clock;
    clock.start();
    FarmAccount account;
    account.user = kUser;
    account.password = kPassword;
    account.renderPoints = 100000;
    m_client.simulator.accounts().insert(account);
    m_client.simulator.setStorageRoot(m_storage.path());
    m_client.simulator.setAutoRender(true);
    m_client.simulator.setRenderPace(kRenderPaceMs);
    m_client.simulator.setFrameCount(kFrames);
    if (!m_client.start(ClientFixture::Options())) {
        std::fprintf(stderr, "soak: the simulator does not start\n");
        return 1;
    }
    m_client.settings->password = kPassword;
    m_uploader = std::make_unique<StandInUploader>(m_client.plugin, m_client.settings, m_storage.path());
    m_uploader->setChunkBytes(64 * 1024);
    m_uploader->setRetryDelayMs(300);
    m_uploader->setPaceMs(kUploadPaceMs);
    m_uploader->setInPlaceRestarts(m_plainUploader);
    m_downloader = std::make_unique<StandInDownloader>(m_client.plugin, m_client.settings, m_storage.path());
    m_downloader->setChunkBytes(64 * 1024);
    m_downloader->setPaceMs(kDownloadPaceMs);
    connect(m_client.plugin, SIGNAL(UploadJobSignal()), m_uploader.get(), SLOT(uploadJobSlot()));
    connect(m_client.plugin, SIGNAL(downloadJobSignal()), m_downloader.get(), SLOT(downloadJobSlot()));
    connect(m_uploader.get(), &StandInUploader::bytesCopied, this,
            [this](KiteProject* job, const QString&, qint64, qint64) { onUploadBytes(job); });
    connect(m_downloader.get(), &StandInDownloader::bytesCopied, this,
            [this](KiteProject* job, const QString&, qint64, qint64) { onDownloadBytes(job); });
    m_keeper = std::make_unique<LoginKeeper>(m_client.plugin, m_client.settings, m_hostStream);
    m_keeper->setFirstRetryDelay(200);
    int logins = 0;
    connect(m_client.plugin, &PluginNetConnection::loginSuccessSignal, this, [&logins](int status) {
        logins += status == 0;
    });
    m_keeper->login();

    m_dropTimer.setSingleShot(true);
    connect(&m_dropTimer, &QTimer::timeout, this, &Soak::dropNow);

    QEventLoop loop;
    bool timedOut = false;
    bool exported = false;
    QTimer poll;
    int lastDone = -1;
    qint64 lastReport = 0;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!exported && logins > 0) {
            exported = true;
            if (!exportJobs()) {
                fail(QStringLiteral("cannot write the jobs"));
                loop.quit();
                return;
            }
            scheduleDrop();
        }
        if (clock.elapsed() > qint64(m_maxSeconds) * 1000) {
            timedOut = true;
            loop.quit();
            return;
        }
        const int done = exported ? doneCount() : 0;
        if (done != lastDone || clock.elapsed() - lastReport > 10000) {
            std::printf("soak: %3lld s  %d/%d jobs downloaded, %d disconnects\n", clock.elapsed() / 1000, done,
                        int(m_jobs.size()) - m_deletions, m_drops);
            std::fflush(stdout);
            lastDone = done;
            lastReport = clock.elapsed();
        }
        // Done when every job that was not deleted is downloaded (and every
        // chosen deletion happened).
        int toDelete = 0;
        for (const SoakJob& mine : m_jobs)
            toDelete += mine.deleteMidway && !mine.deleted;
        if (exported && done == int(m_jobs.size()) - m_deletions && toDelete == 0)
            loop.quit();
    });
    poll.start(500);
    loop.exec();
    m_dropTimer.stop();
    // The client logs in again after the last drop, if it came late.
    if (!timedOut) {
        QElapsedTimer settle;
        settle.start();
        QEventLoop settleLoop;
        QTimer tick;
        connect(&tick, &QTimer::timeout, &settleLoop, [&] {
            const bool back = m_client.settings->loggedIn && m_client.simulator.isLoggedIn(kUser)
                && logins == m_drops + 1;
            if (back || settle.elapsed() > 20000)
                settleLoop.quit();
        });
        tick.start(50);
        settleLoop.exec();
    }
    m_keeper->stop();
    const qint64 seconds = clock.elapsed() / 1000;

    if (timedOut) {
        std::printf("soak: FAIL not finished within %d s (%d of %d jobs downloaded)\n", m_maxSeconds, doneCount(),
                    int(m_jobs.size()) - m_deletions);
        for (KiteProject* job : qAsConst(m_client.settings->jobList)) {
            if (!job->isDeleted && !job->jobAction->text().endsWith(QLatin1String("DOWNLOADED (100%)")))
                printStuck(job);
        }
    }
    bool checked = !timedOut && verify();
    if (!timedOut && logins != m_drops + 1) {
        fail(QStringLiteral("logged in %1 times for %2 connections lost").arg(logins).arg(m_drops));
        checked = false;
    }
    std::printf("soak: jobs %d (deleted midway %d, uploads paused %d, downloads paused %d)\n", int(m_jobs.size()),
                m_deletions, m_pausedUploads, m_pausedDownloads);
    std::printf("soak: input bytes %lld in %d textures and %d scenes\n", m_inputBytes, kTextures, int(m_jobs.size()));
    std::printf("soak: disconnects survived %d, logins %d\n", m_drops, logins);
    std::printf("soak: time %lld s, %s\n", seconds, checked ? "all checks passed" : "FAILED");
    // One line per run, for scripts/soak.sh's summary.
    std::printf("soak: result seed %u jobs %d %s drops %d logins %d bytes-checked %lld seconds %lld\n", m_seed,
                int(m_jobs.size()), checked ? "PASS" : (timedOut ? "TIMEOUT" : "FAIL"), m_drops, logins,
                m_checkedBytes, seconds);
    // Deleting the jobs' dialogs the client may have made.
    for (KiteProject* job : qAsConst(m_client.settings->jobList))
        delete job->errorDialog.data();
    return timedOut ? 2 : (checked ? 0 : 1);
}
} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Soak run of the client against the farm simulator"));
    parser.addHelpOption();
    const QCommandLineOption jobsOption(QStringLiteral("jobs"), QStringLiteral("Number of jobs."), QStringLiteral("N"),
                                        QStringLiteral("200"));
    const QCommandLineOption maxOption(QStringLiteral("max-seconds"), QStringLiteral("Time bound."),
                                       QStringLiteral("S"), QStringLiteral("600"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Random seed."), QStringLiteral("N"),
                                        QStringLiteral("4711"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Print the client's and the simulator's debug output."));
    parser.addOption(jobsOption);
    parser.addOption(maxOption);
    parser.addOption(seedOption);
    const QCommandLineOption plainOption(
        QStringLiteral("plain-uploader"),
        QStringLiteral("The stand-in uploader restarts files in place, as a plain uploader does."));
    parser.addOption(verboseOption);
    parser.addOption(plainOption);
    parser.process(app);
    if (!parser.isSet(verboseOption))
        QLoggingCategory::setFilterRules(QStringLiteral("kite.*.debug=false\nkite.debug=false"));
    Soak soak(qMax(1, parser.value(jobsOption).toInt()), qMax(1, parser.value(maxOption).toInt()),
              parser.value(seedOption).toUInt(), parser.isSet(plainOption));
    return soak.run();
}
