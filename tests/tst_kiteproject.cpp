#include "tst_kiteproject_fixture.h"

#include "dialogs/errormessagedialog.h"
#include "settings/logwriter.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

// The job record's state machine as its tray entry shows it: flags, status
// line, icon, menu entries and notifications.
class TestKiteProject : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<KiteProject*>(); }
    void init() { f.setUp(); }
    void cleanup() { f.tearDown(); }

    void defaults();
    void menuEntries_data();
    void menuEntries();
    void stateTable_data();
    void stateTable();
    void notificationTexts();
    void queuedProgressAndRenderingWhileDownloading();
    void lifeCycle_data();
    void lifeCycle();
    void uploadTick_data();
    void uploadTick();
    void downloadTick_data();
    void downloadTick();
    void rateString_data();
    void rateString();
    void errorSectionAddedOnce();
    void uploadErrorDialogReplacedAndRetries();
    void downloadErrorRetriesOnce();
    void setDownloadFinishedReportsOnce_data();
    void setDownloadFinishedReportsOnce();
    void retryUploadResets();
    void prioritiesAndAutostart();
    void restartDownloadResets();
    void slotsLogTheirName();

private:
    static QStringList types(const QSignalSpy& spy)
    {
        QStringList list;
        for (const QList<QVariant>& call : spy)
            list << call.at(2).toString();
        return list;
    }

    JobFixture f;
};

void TestKiteProject::defaults()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"), false);
    QVERIFY(job->isUnknown);
    QVERIFY(job->checkForFilesToDownload);
    QVERIFY(job->downloadEnabled);
    QVERIFY(job->isNotInDb);
    QCOMPARE(job->uploadPriority, 0);
    QCOMPARE(job->downloadPriority, 0);
    QCOMPARE(job->serverNumber, 1);
    QCOMPARE(job->serverNumberUpload, 1);
    QCOMPARE(job->renderPriority, 50);
    QCOMPARE(job->jobAction->text(), QStringLiteral("job"));
    // The sub-menu is made when the host first asks for it.
    QVERIFY(!job->jobAction->menu() && !job->jobMenu);
    QMenu* menu = job->subMenu();
    QCOMPARE(job->jobAction->menu(), menu);
    QVERIFY(!menu->parent());
    QVERIFY(menu->styleSheet().contains(QStringLiteral("border: 1px solid #ea7a14;")));
    QCOMPARE(JobFixture::image(job->iconUploading), JobFixture::image(QIcon(QStringLiteral(":/menuicons/uploadingorange.png"))));
    QVERIFY(JobFixture::image(job->iconUploadingGrey) != JobFixture::image(job->iconUploading));
    QVERIFY(!job->iconUploadingGrey.isNull());
    QVERIFY(!job->uploadRateTimer && !job->downloadSpeedTimer && !job->downloadErrorRetryTimer && !job->errorAction);
}

void TestKiteProject::menuEntries_data()
{
    QTest::addColumn<bool>("oldMenu");
    QTest::addColumn<QStringList>("texts");
    const QString n = QStringLiteral("job");
    QTest::newRow("old menu") << true
                              << QStringList{"Open download folder", "Change download destination", "High upload priority",
                                             "High download priority", "Pause upload", "Autostart render", "Pause download",
                                             "Delete Job...", "Support Ticket...", "Restart upload", "Restart download"};
    QTest::newRow("new menu: download entries carry the name")
        << false
        << QStringList{n, n, "High upload priority", n, "Pause upload", "Autostart render", "Pause download",
                       "Delete Job...", "Support Ticket...", "Restart upload", n};
}

void TestKiteProject::menuEntries()
{
    QFETCH(bool, oldMenu);
    QFETCH(QStringList, texts);
    f.settings->oldMenu = oldMenu;
    KiteProject* job = f.makeJob(QStringLiteral("job"));

    const QList<QAction*> actions = job->subMenu()->actions();
    QStringList shown;
    QString visible;
    QString checkable;
    for (const QAction* action : actions) {
        shown << action->text();
        visible += action->isVisible() ? QLatin1Char('1') : QLatin1Char('0');
        checkable += action->isCheckable() ? QLatin1Char('1') : QLatin1Char('0');
        QCOMPARE(action->parent(), job->jobAction);
        QVERIFY(!action->isChecked());
    }
    QCOMPARE(shown, texts);
    QCOMPARE(visible, QStringLiteral("01010101110"));
    QCOMPARE(checkable, QStringLiteral("00111110000"));
}

namespace {

QStringList words(const char* text, char separator = ' ')
{
    return QString::fromLatin1(text).split(QLatin1Char(separator), Qt::SkipEmptyParts);
}

// One row: a server state (upper case) or a slot, called twice; the flags
// set before; the flags set and cleared after; the notifications of both
// calls; the status suffix and icon; the entries shown (as in visibility()).
void stateRow(const char* call, const char* before, const char* set, const char* cleared, const char* notes,
              const char* text, const char* icon, const char* actions)
{
    const QByteArray tag = QByteArray(call) + (*before ? QByteArray(" after ") + before : QByteArray());
    QTest::newRow(tag.constData()) << QString::fromLatin1(call) << words(before) << words(set) << words(cleared)
                                   << words(notes, ',') << QString::fromLatin1(text) << QString::fromLatin1(icon)
                                   << QString::fromLatin1(actions);
}

} // namespace

void TestKiteProject::stateTable_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("set");
    QTest::addColumn<QStringList>("cleared");
    QTest::addColumn<QStringList>("notifications");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("actions");

    // Server states.
    stateRow("UPLOADING", "isLocal", "", "isUploaded", "", "", "uploadingorange", "0010010-");
    stateRow("UPLOADING", "", "", "", "", "", "", "--------");
    stateRow("UPLOADING", "isLocal isUploadPaused", "", "", "", "", "", "--------");
    stateRow("UPLOADING", "isLocal isUploading", "", "", "", "", "", "--------");
    stateRow("UPLOADING", "isLocal isReadyForUpload", "", "", "", "", "", "--------");
    stateRow("RENDERABLE", "isLocal isUploading isMarkedForUpload", "isRenderable isUploaded",
             "isUploading isMarkedForUpload", "", " UPLOADED", "uploadedcloud", "0-0-0000");
    stateRow("RENDERABLE", "", "isRenderable isUploaded", "isLocal", "", " UPLOADED", "uploadedcloud", "0-0-0000");
    stateRow("RENDERING", "isRenderable", "isRendering isUploaded", "isRenderable isUnknown isQueued", "RenderingStart",
             " RENDERING (0%)", "renderingorange", "0101100-");
    stateRow("QUEUED", "isRenderable", "isQueued isRendering isUploaded", "isRenderable isUnknown", "RenderingQueued",
             " QUEUED", "", "0101100-");
    stateRow("RENDERED", "isRendering isQueued", "renderComplete isUploaded", "isRendering isQueued isUnknown",
             "RenderingEnd", " RENDERED (100%)", "waitingorange", "0101100-");
    stateRow("PAUSED", "isRendering", "isPaused isUploaded", "isRendering isUnknown", "RenderingPause", " PAUSED ",
             "renderinggray", "0101100-");
    stateRow("ERROR_UPL", "isRenderable isQueued", "", "isRenderable isQueued hasUploadError", "", "", "", "--------");
    stateRow("ERROR_REND", "isRendering", "renderErrorShown renderComplete", "isRendering isUnknown", "",
             " ERROR README", "waitingred", "1-------");
    stateRow("ERROR_REND", "isRendering !isUnknown", "renderErrorShown", "isRendering", "RenderError", " ERROR README",
             "waitingred", "1-------");
    stateRow("NONE", "isQueued", "isUnknown", "isQueued", "", "", "", "--------");
    stateRow("SOMETHING", "isQueued isRenderable", "isRenderable isUnknown", "isQueued", "", "", "", "--------");

    // State slots.
    stateRow("setUploadIdle", "", "", "", "", " UPLOAD IDLE", "uploadinggray", "-------1");
    stateRow("setUploadWaiting", "", "", "", "", " UPLOAD WAITING", "", "-------1");
    stateRow("setUploadStarted", "", "", "isUnknown", "", "", "", "00100101");
    stateRow("setUploading", "", "", "", "", "", "uploadingorange", "0010010-");
    stateRow("setUploadingOnOtherMachine", "", "", "", "", " REMOTE UPLOAD ", "uploadingorange", "0010010-");
    stateRow("setUploadPaused", "isMarkedForUpload isUploading", "isUploadPaused",
             "isMarkedForUpload isUploading isUploaded", "", " UPLOAD PAUSED 0%", "", "--------");
    stateRow("setUploaded", "isUploading isMarkedForUpload", "isUploaded", "isUploading isMarkedForUpload", "",
             " UPLOADED", "uploadedcloud", "0-0-0000");
    stateRow("setQueued", "", "isUploaded isQueued isRendering", "isUnknown", "RenderingQueued", " QUEUED", "",
             "0101100-");
    stateRow("setRendering", "isPaused", "isRendering isUploaded checkForFilesToDownload",
             "isPaused isUnknown isRenderable", "RenderingStart", " RENDERING (0%)", "renderingorange", "0101100-");
    stateRow("setRendered", "isRendering isPaused", "renderComplete isUploaded",
             "isRendering isPaused isQueued isUnknown", "RenderingEnd", " RENDERED (100%)", "waitingorange", "0101100-");
    stateRow("setPaused", "isRendering", "isPaused isUploaded", "isRendering isUnknown", "RenderingPause", " PAUSED ",
             "renderinggray", "0101100-");
    stateRow("setOutOfRenderPoints", "isRendering", "outOfRenderPoints isPaused", "isRendering",
             "RenderingPause,OutOfRenderPoints,OutOfRenderPoints", " PAUSED - Out of render points", "renderinggray",
             "0101100-");
    stateRow("setErrorRendering", "isRendering !isUnknown", "renderErrorShown renderComplete",
             "isRendering isPaused isUnknown", "RenderError", " ERROR README", "waitingred", "1-------");
    stateRow("setErrorUpload", "", "hasUploadError", "", "UploadError,UploadError", " ERROR README", "waitingred",
             "--------");
    stateRow("setErrorResume", "", "", "", "", "", "waitingred", "1-------");
    stateRow("setDownloadStarted", "", "isDownloading isUploaded", "isUnknown", "", " DOWNLOADING ",
             "downloadingorange", "0---100-");
    stateRow("setDownloadStarted", "isDownloadPaused", "isDownloading", "", "", " DOWNLOADING ", "downloadinggrey",
             "0---100-");
    stateRow("setDownloadPaused", "isDownloading isDownloaded", "isDownloadPaused checkForFilesToDownload",
             "isDownloading isDownloaded downloadedMark", "", " DOWNLOAD PAUSED 0%", "", "--------");
    stateRow("setDownloadError", "isDownloading", "hasDownloadError isDownloadPaused", "isDownloading isDownloaded",
             "DownloadError,DownloadError", " DOWNLOAD ERROR...", "waitingred", "--------");
    stateRow("setDownloadFinished", "isDownloading", "isDownloaded downloadedMark renderComplete isUploaded",
             "isDownloading isUnknown checkForFilesToDownload", "", " DOWNLOADED (100%)", "completeorange", "0100100-");
    stateRow("setDeleted", "", "isDeleted", "", "", "", "", "--------");
}

void TestKiteProject::stateTable()
{
    QFETCH(QString, call);
    QFETCH(QStringList, before);
    QFETCH(QStringList, set);
    QFETCH(QStringList, cleared);
    QFETCH(QStringList, notifications);
    QFETCH(QString, text);
    QFETCH(QString, icon);
    QFETCH(QString, actions);

    KiteProject* job = f.makeJob(QStringLiteral("job"));
    QVERIFY(JobFixture::setFlags(job, before, true));
    const QString visibleBefore = JobFixture::visibility(job);
    QSignalSpy spy(f.settings.get(), &KiteSettings::showMessageSignal);

    for (int i = 0; i < 2; ++i) {
        if (call.at(0).isUpper())
            job->assignState(call);
        else
            QVERIFY(QMetaObject::invokeMethod(job, call.toLatin1().constData()));
    }

    QCOMPARE(job->stateAssigned, call.at(0).isUpper());
    QCOMPARE(JobFixture::flagsNot(job, set, true), QStringList());
    QCOMPARE(JobFixture::flagsNot(job, cleared, false), QStringList());
    QCOMPARE(types(spy), notifications);
    for (const QList<QVariant>& note : qAsConst(spy))
        QCOMPARE(qvariant_cast<KiteProject*>(note.at(3)), job);
    QCOMPARE(job->jobAction->text(), QStringLiteral("job") + text);
    QVERIFY(JobFixture::showsIcon(job, icon));
    QCOMPARE(JobFixture::visibility(job), JobFixture::expectedVisibility(visibleBefore, actions));
}

void TestKiteProject::notificationTexts()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->isUnknown = false;
    QSignalSpy spy(f.settings.get(), &KiteSettings::showMessageSignal);
    job->assignState(QStringLiteral("QUEUED"));
    job->assignState(QStringLiteral("RENDERING"));
    // Any other state in between re-arms the queued notification.
    job->assignState(QStringLiteral("QUEUED"));
    job->setErrorRendering();
    job->setDownloadError();
    QCOMPARE(types(spy), (QStringList{"RenderingQueued", "RenderingQueued", "RenderError", "DownloadError"}));
    QCOMPARE(spy.at(0).mid(0, 2), (QVariantList{"Rendering queued", "job\n"}));
    QCOMPARE(spy.at(2).mid(0, 2), (QVariantList{"Render Error", "Render job has error, please check ControlCenter"}));
    QCOMPARE(spy.at(3).mid(0, 2), (QVariantList{"Download Error", "Download of job output failed several times"}));
}

void TestKiteProject::queuedProgressAndRenderingWhileDownloading()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->renderProgress = 7;
    job->isQueued = true;
    QSignalSpy spy(f.settings.get(), &KiteSettings::showMessageSignal);
    job->setRendering();
    QCOMPARE(job->jobAction->text(), QStringLiteral("job QUEUED (7%)"));
    QVERIFY(JobFixture::showsIcon(job, QStringLiteral("renderinggray")));
    QCOMPARE(types(spy), QStringList{"RenderingQueued"});

    job->isQueued = false;
    job->setRendering();
    QCOMPARE(job->jobAction->text(), QStringLiteral("job RENDERING (7%)"));

    // A job rendering while its output downloads keeps the download text, and
    // is told about once only.
    KiteProject* other = f.makeJob(QStringLiteral("other"));
    other->setDownloadStarted();
    spy.clear();
    other->setRendering();
    other->setRendering();
    QCOMPARE(other->jobAction->text(), QStringLiteral("other DOWNLOADING "));
    QCOMPARE(types(spy), QStringList{"RenderingStart"});
    other->setRendered();
    QCOMPARE(other->jobAction->text(), QStringLiteral("other DOWNLOADING "));

    // Without synchronisation only the notification happens.
    f.settings->syncActive = false;
    KiteProject* idle = f.makeJob(QStringLiteral("idle"));
    idle->setRendering();
    QVERIFY(!idle->isRendering);
    QCOMPARE(idle->jobAction->text(), QStringLiteral("idle"));
}

void TestKiteProject::lifeCycle_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("actions");

    QTest::newRow("marked") << QStringList{"mark"} << "" << "" << "10000110";
    QTest::newRow("uploading") << QStringList{"mark", "setUploadStarted", "setUploading", "sent50", "uploadTick"}
                               << " UPLOADING 50% (4 Kb/s)" << "uploadingorange" << "00100101";
    QTest::newRow("upload paused") << QStringList{"mark", "setUploadStarted", "sent50", "setUploadPaused"}
                                   << " UPLOAD PAUSED 50%" << "" << "00100101";
    QTest::newRow("upload resumed") << QStringList{"mark", "setUploadStarted", "setUploadPaused",
                                                   "uploadPausedSwitchSlot"}
                                    << " UPLOAD IDLE" << "uploadinggray" << "00100101";
    QTest::newRow("upload error") << QStringList{"mark", "setUploadStarted", "setErrorUploadQuiet"} << " ERROR README"
                                  << "waitingred" << "00100101";
    QTest::newRow("uploaded") << QStringList{"mark", "setUploadStarted", "RENDERABLE"} << " UPLOADED"
                              << "uploadedcloud" << "00000000";
    QTest::newRow("queued") << QStringList{"RENDERABLE", "QUEUED"} << " QUEUED" << "uploadedcloud" << "01011000";
    QTest::newRow("rendering") << QStringList{"RENDERABLE", "RENDERING"} << " RENDERING (0%)" << "renderingorange"
                               << "01011000";
    QTest::newRow("paused") << QStringList{"RENDERING", "PAUSED"} << " PAUSED " << "renderinggray" << "01011000";
    QTest::newRow("out of render points") << QStringList{"RENDERING", "setOutOfRenderPoints"}
                                          << " PAUSED - Out of render points" << "renderinggray" << "01011000";
    QTest::newRow("paused, rendering again") << QStringList{"RENDERING", "PAUSED", "RENDERING"} << " RENDERING (0%)"
                                             << "renderingorange" << "01011000";
    QTest::newRow("render error") << QStringList{"RENDERING", "ERROR_REND"} << " ERROR README" << "waitingred"
                                  << "11011000";
    QTest::newRow("rendered") << QStringList{"RENDERING", "RENDERED"} << " RENDERED (100%)" << "waitingorange"
                              << "01011000";
    QTest::newRow("downloading") << QStringList{"RENDERING", "RENDERED", "setDownloadStarted", "received50",
                                                "downloadTick"}
                                 << " DOWNLOADING 50% (4 Kb/s)" << "downloadingorange" << "01011000";
    QTest::newRow("download paused") << QStringList{"RENDERED", "setDownloadStarted", "received50",
                                                    "setDownloadPaused"}
                                     << " DOWNLOAD PAUSED 50%" << "downloadingorange" << "01011000";
    QTest::newRow("download error") << QStringList{"RENDERED", "setDownloadStarted", "setDownloadError"}
                                    << " DOWNLOAD ERROR..." << "waitingred" << "01011000";
    QTest::newRow("waiting for download") << QStringList{"RENDERED", "setDownloadStarted", "setDownloadError",
                                                         "restartDownloadSlot"}
                                          << " DOWNLOAD ERROR..." << "waitingred" << "01011000";
    QTest::newRow("downloaded") << QStringList{"RENDERED", "setDownloadStarted", "setDownloadFinished"}
                                << " DOWNLOADED (100%)" << "completeorange" << "01001000";
    QTest::newRow("deleted") << QStringList{"RENDERING", "setDeleted"} << " RENDERING (0%)" << "renderingorange"
                             << "01011000";
}

void TestKiteProject::lifeCycle()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, text);
    QFETCH(QString, icon);
    QFETCH(QString, actions);

    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->isLocal = true;
    job->uploadBytesTotal = 1000;
    job->downloadBytesTotal = 1000;
    for (const QString& step : steps) {
        if (step == QLatin1String("mark")) {
            job->isMarkedForUpload = true;
        } else if (step == QLatin1String("sent50")) {
            job->uploadRateSlot(1, 50, 500);
        } else if (step == QLatin1String("received50")) {
            job->downloadRateSlot(1, 50, 500);
        } else if (step == QLatin1String("uploadTick")) {
            job->uploadRateTimerSlot();
        } else if (step == QLatin1String("downloadTick")) {
            job->downloadRateTimerSlot();
        } else if (step == QLatin1String("setErrorUploadQuiet")) {
            job->setErrorUpload(false);
        } else if (step.at(0).isUpper()) {
            job->assignState(step);
        } else {
            QVERIFY2(QMetaObject::invokeMethod(job, step.toLatin1().constData()), qPrintable(step));
        }
    }
    QCOMPARE(job->jobAction->text(), QStringLiteral("job") + text);
    QVERIFY(JobFixture::showsIcon(job, icon));
    QCOMPARE(JobFixture::visibility(job), actions);
}

void TestKiteProject::uploadTick_data()
{
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<bool>("waits");
    QTest::addColumn<int>("preparing");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("reported");
    QTest::addColumn<bool>("timerRuns");

    QTest::newRow("50%") << qint64(500) << false << 0 << " UPLOADING 50% (4 Kb/s)" << 50 << true;
    QTest::newRow("103% shown as 100") << qint64(1030) << false << 0 << " UPLOADING 100% (8 Kb/s)" << 100 << false;
    QTest::newRow("110% shown as 110") << qint64(1100) << false << 0 << " UPLOADING 110% (9 Kb/s)" << 110 << false;
    QTest::newRow("waiting") << qint64(0) << true << 0 << " UPLOAD WAITING (0%)" << -1 << true;
    QTest::newRow("preparing") << qint64(0) << false << 1 << " PREPARING UPLOAD 0%" << -1 << true;
}

void TestKiteProject::uploadTick()
{
    QFETCH(qint64, sent);
    QFETCH(bool, waits);
    QFETCH(int, preparing);
    QFETCH(QString, text);
    QFETCH(int, reported);
    QFETCH(bool, timerRuns);

    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->uploadBytesTotal = 1000;
    job->waitsForOtherUpload = waits;
    job->preparingUpload = preparing;
    job->setUploadStarted();
    QVERIFY(job->uploadRateTimer->isActive());
    QCOMPARE(job->uploadRateTimer->interval(), 5000);
    // 1 kB per second: the tick runs right away, so at least a second counts.
    job->uploadRateSlot(1, 1000, sent);
    QSignalSpy requests(f.settings.get(), &KiteSettings::makeRequest);

    job->uploadRateTimerSlot();

    QCOMPARE(job->jobAction->text(), QStringLiteral("job") + text);
    job->subMenu(); // made after the tick: the record kept what it shows
    QVERIFY(job->pauseUploadAction->isVisible());
    QCOMPARE(job->bytesSentSinceTick, qint64(0));
    if (reported < 0) {
        QCOMPARE(requests.count(), 0);
    } else {
        QCOMPARE(requests.count(), 1);
        QCOMPARE(requests.first().at(0).toString(), QStringLiteral("setUploadProgress"));
        QCOMPARE(requests.first().at(1).toJsonObject(),
                 (QJsonObject{{"scene", "job"}, {"progress", reported}}));
        QCOMPARE(qvariant_cast<KiteProject*>(requests.first().at(2)), job);
    }
    QCOMPARE(job->uploadRateTimer->isActive(), timerRuns);

    // Uploaded jobs stop their tick.
    job->isUploaded = true;
    job->uploadRateTimerSlot();
    QVERIFY(!job->uploadRateTimer->isActive());
}

void TestKiteProject::downloadTick_data()
{
    QTest::addColumn<bool>("renderComplete");
    QTest::addColumn<bool>("updateJob");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("progressSignals");
    QTest::newRow("rendered") << true << false << " DOWNLOADING 40% (3 Kb/s)" << 1 << 0;
    QTest::newRow("still rendering") << false << false << " DOWNLOADING (3 Kb/s)" << 1 << 0;
    QTest::newRow("update job") << true << true << " DOWNLOADING 40% (3 Kb/s)" << 0 << 1;
}

void TestKiteProject::downloadTick()
{
    QFETCH(bool, renderComplete);
    QFETCH(bool, updateJob);
    QFETCH(QString, text);
    QFETCH(int, requests);
    QFETCH(int, progressSignals);

    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->renderComplete = renderComplete;
    job->isUpdateJob = updateJob;
    job->downloadBytesTotal = 1000;
    job->setDownloadStarted();
    QCOMPARE(job->downloadSpeedTimer->interval(), 2000);
    QSignalSpy rates(job, &KiteProject::downloadRateSignal);
    job->downloadRateSlot(1, 400, 400);
    QCOMPARE(rates.count(), updateJob ? 0 : 1);
    QSignalSpy sent(f.settings.get(), &KiteSettings::makeRequest);
    QSignalSpy progress(job, &KiteProject::downloadProgressSignal);

    job->downloadRateTimerSlot();

    QCOMPARE(job->jobAction->text(), QStringLiteral("job") + text);
    job->subMenu(); // made after the ticks: the record kept what it shows
    QVERIFY(job->pauseDownloadAction->isVisible());
    QVERIFY(job->openDownloadFolderAction->isVisible());
    QCOMPARE(sent.count(), requests);
    QCOMPARE(progress.count(), progressSignals);
    if (requests)
        QCOMPARE(sent.first().at(1).toJsonObject(), (QJsonObject{{"scene", "job"}, {"progress", 40}}));
    // A second tick with nothing new reports nothing and keeps the rate text.
    job->downloadRateTimerSlot();
    QCOMPARE(sent.count(), requests);
    job->isDownloading = false;
    job->setDownloadStarted();
    QCOMPARE(job->jobAction->text(), QStringLiteral("job DOWNLOADING 0 b/s"));
}

void TestKiteProject::rateString_data()
{
    QTest::addColumn<double>("bytesPerSec");
    QTest::addColumn<QString>("text");
    QTest::newRow("1000 B/s") << 1000.0 << "8 Kb/s";
    QTest::newRow("100 B/s") << 100.0 << "800 b/s";
    QTest::newRow("200000 B/s") << 200000.0 << "1.53 Mb/s";
    QTest::newRow("0") << 0.0 << "0 b/s";
    QTest::newRow("just below 1 Mb") << 131071.0 << "1024 Kb/s";
}

void TestKiteProject::rateString()
{
    QFETCH(double, bytesPerSec);
    QFETCH(QString, text);
    QCOMPARE(KiteProject::rateString(bytesPerSec), text);
}

void TestKiteProject::errorSectionAddedOnce()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    const int entries = job->subMenu()->actions().size();
    job->setErrorRendering();
    job->setErrorRendering();
    QCOMPARE(job->errorAction->text(), QStringLiteral("ee!"));
    job->setErrorUpload(false);
    job->setDownloadError();
    job->setErrorUpload(false);

    const QList<QAction*> actions = job->subMenu()->actions();
    QCOMPARE(actions.size(), entries + 2);
    QVERIFY(actions.at(entries)->isSeparator());
    QCOMPARE(actions.at(entries)->text(), QStringLiteral("Error"));
    QCOMPARE(actions.last(), job->errorAction);
    QCOMPARE(job->errorAction->text(), QStringLiteral("Read me!"));

    // The entry opens what the latest error says.
    job->uploadErrorText = QStringLiteral("disk full");
    job->errorAction->trigger();
    const QList<ErrorMessageDialog*> dialogs = JobFixture::openWindows<ErrorMessageDialog>();
    QCOMPARE(dialogs.size(), 1);
    QVERIFY(dialogs.first()->ui);
    QVERIFY(dialogs.first()->ticketUrl.startsWith(QStringLiteral("https://portal.example/ticket?subPreset=ERROR_UPL: job&")));
    QVERIFY(dialogs.first()->ticketUrl.contains(QStringLiteral("The error message is: disk full\n")));
}

void TestKiteProject::uploadErrorDialogReplacedAndRetries()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->uploadErrorText = QStringLiteral("timeout");
    QSignalSpy folderRequests(f.settings.get(), &KiteSettings::getProjectFolderContentsSignal);
    job->setErrorUpload(true);
    job->setErrorUpload(true);

    const QList<ErrorMessageDialog*> dialogs = JobFixture::openWindows<ErrorMessageDialog>();
    QCOMPARE(dialogs.size(), 1);
    ErrorMessageDialog* dialog = dialogs.first();
    QCOMPARE(dialog, job->errorDialog.data());
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Upload Error"));
    QVERIFY(dialog->hasRetryButton);
    QVERIFY(dialog->ticketUrl.contains(QStringLiteral("The error message is: timeout\n")));

    emit dialog->RetrySignal();
    QVERIFY(!job->hasUploadError);
    QVERIFY(job->uploadRestartPending);
    QCOMPARE(folderRequests.count(), 1);

    QSignalSpy links(f.settings.get(), &KiteSettings::openLinkWithTokenSignal);
    emit dialog->openLinkWithTokenSignal(dialog->ticketUrl);
    QCOMPARE(links.count(), 1);
}

void TestKiteProject::downloadErrorRetriesOnce()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->setDownloadStarted();
    job->setDownloadError();
    QTimer* retry = job->downloadErrorRetryTimer;
    QVERIFY(retry && retry->isActive());
    QCOMPARE(retry->interval(), 60000);

    QVERIFY(QMetaObject::invokeMethod(retry, "timeout"));
    QVERIFY(!job->hasDownloadError);
    QVERIFY(!job->isDownloadPaused);
    QVERIFY(job->checkForFilesToDownload);
    QVERIFY(!retry->isActive());

    // A restart from elsewhere ends a pending retry too.
    job->setDownloadError();
    QVERIFY(retry->isActive());
    job->restartDownloadSlotMenuClick();
    QVERIFY(!retry->isActive());
}

void TestKiteProject::setDownloadFinishedReportsOnce_data()
{
    QTest::addColumn<bool>("adminMode");
    QTest::addColumn<bool>("testJob");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("testSignals");
    QTest::newRow("job") << false << false << 2 << 0;
    QTest::newRow("admin mode") << true << false << 0 << 0;
    QTest::newRow("test job") << false << true << 0 << 1;
}

void TestKiteProject::setDownloadFinishedReportsOnce()
{
    QFETCH(bool, adminMode);
    QFETCH(bool, testJob);
    QFETCH(int, requests);
    QFETCH(int, testSignals);

    f.settings->adminMode = adminMode;
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->isDownloadTest = testJob;
    job->testType = QStringLiteral("speed");
    job->serverNumber = 2;
    QSignalSpy sent(f.settings.get(), &KiteSettings::makeRequest);
    QSignalSpy tests(job, &KiteProject::testFinishedSignal);
    QSignalSpy activity(f.settings.get(), &KiteSettings::setIconActivitySignal);

    job->setDownloadStarted();
    job->setDownloadFinished();
    job->setDownloadFinished();

    QCOMPARE(sent.count(), requests);
    QCOMPARE(tests.count(), testSignals);
    QVERIFY(!job->downloadSpeedTimer->isActive());
    QCOMPARE(activity.last().at(0).toBool(), false);
    if (requests) {
        const QJsonObject data{{"scene", "job"}, {"progress", 100}, {"server_download", 2}};
        QCOMPARE(sent.at(0).at(0).toString(), QStringLiteral("setDownloadProgress"));
        QCOMPARE(sent.at(1).at(0).toString(), QStringLiteral("setDownloadComplete"));
        QCOMPARE(sent.at(0).at(1).toJsonObject(), data);
        QCOMPARE(sent.at(1).at(1).toJsonObject(), data);
        QCOMPARE(f.cfgText(QStringLiteral("job")).count("downloadFinishedSent=true"), 1);
    }
    QCOMPARE(f.cfgText(QStringLiteral("job")).count("restartDownload=false"), 1);

    // Clicking the entry now opens the output folder.
    job->localDownloadDir = f.dir->path();
    job->jobAction->trigger();
    QCOMPARE(f.catcher->urls, QList<QUrl>{QUrl::fromLocalFile(f.dir->path())});
}

void TestKiteProject::retryUploadResets()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    QVERIFY(JobFixture::setFlags(job, {"hasUploadError", "isUploadPaused", "isReadyForUpload", "isMarkedForUpload",
                                       "isUploading", "isUploaded"},
                                 true));
    job->uploadList << UploadFile();
    job->bytesSentTotal = 77;
    job->uploadPriority = 100;
    job->waitingForCheckFiles = true;
    job->serverNumberUpload = 2;
    QSignalSpy folderRequests(f.settings.get(), &KiteSettings::getProjectFolderContentsSignal);

    job->retryUploadSlot(4);

    QCOMPARE(JobFixture::flagsNot(job, {"hasUploadError", "isUploadPaused", "isReadyForUpload", "isMarkedForUpload",
                                        "isUploading", "isUploaded"},
                                  false),
             QStringList());
    QVERIFY(job->isLocal && job->uploadRestartPending);
    QVERIFY(job->uploadList.isEmpty());
    QCOMPARE(job->bytesSentTotal, qint64(0));
    QCOMPARE(job->uploadPriority, 0);
    QCOMPARE(job->errorCount, 4);
    QVERIFY(!job->waitingForCheckFiles);
    QCOMPARE(folderRequests.count(), 1);
    QCOMPARE(folderRequests.first().at(0).toInt(), 2);

    // The pause entry toggles through a pause and a fresh start.
    QSignalSpy pauses(job, &KiteProject::pauseUploadSignal);
    job->subMenu();
    job->pauseUploadAction->trigger();
    QVERIFY(job->isUploadPaused && job->pauseUploadAction->isChecked());
    QCOMPARE(pauses.count(), 1);
    job->pauseUploadAction->trigger();
    QVERIFY(!job->isUploadPaused && !job->pauseUploadAction->isChecked());
    QCOMPARE(folderRequests.count(), 2);
}

void TestKiteProject::prioritiesAndAutostart()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    job->subMenu();
    job->highDownloadPriorityAction->trigger();
    QCOMPARE(job->downloadPriority, 100);
    QVERIFY(job->highDownloadPriorityAction->isChecked());
    job->highDownloadPriorityAction->trigger();
    QCOMPARE(job->downloadPriority, 0);
    QVERIFY(!job->highDownloadPriorityAction->isChecked());
    job->setDownloadPriorityUp(true);
    job->setDownloadPriorityUp(true);
    QCOMPARE(job->downloadPriority, 100);

    job->highUploadPriorityAction->trigger();
    QCOMPARE(job->uploadPriority, 100);
    QVERIFY(job->highUploadPriorityAction->isChecked());
    job->setUploadPriorityUp(false);
    QCOMPARE(job->uploadPriority, 0);
    QVERIFY(!job->highUploadPriorityAction->isChecked());

    job->autostartAction->trigger();
    QVERIFY(job->autostart && job->autostartAction->isChecked());
    job->setAutostartSlot(false);
    QVERIFY(!job->autostart && !job->autostartAction->isChecked());
    job->setAutostartSlot();
    QCOMPARE(f.cfgText(QStringLiteral("job")),
             QByteArray("renderer=vray\r\n[files]\r\n\r\nautostart=1\r\n\r\nautostart=1\r\n"));
}

void TestKiteProject::restartDownloadResets()
{
    KiteProject* job = f.makeJob(QStringLiteral("job"));
    QVERIFY(JobFixture::setFlags(job, {"isDownloadPaused", "isDownloaded", "downloadedMark", "isDownloading",
                                       "hasDownloadError"},
                                 true));
    job->checkForFilesToDownload = false;
    job->overwriteAll = true;
    job->overwriteYesList << QStringLiteral("a.exr");
    job->downloadPriority = 100;
    job->bytesReceivedTotal = 5;
    job->lastReportedDownloadPercent = 30;
    job->downloadJobErrorCount = 3;
    job->downloadJobErrorRestartCount = 2;
    job->downloadList << DownloadFile();

    job->restartDownloadSlot(false, false);
    QVERIFY(job->overwriteAll);
    QCOMPARE(job->downloadJobErrorCount, 3);
    QVERIFY(job->hasDownloadError);

    job->restartDownloadSlot();
    QCOMPARE(JobFixture::flagsNot(job, {"isDownloadPaused", "isDownloaded", "downloadedMark", "isDownloading",
                                        "hasDownloadError"},
                                  false),
             QStringList());
    QVERIFY(job->checkForFilesToDownload);
    QVERIFY(!job->overwriteAll && job->overwriteYesList.isEmpty());
    QCOMPARE(job->downloadPriority, 0);
    QCOMPARE(job->bytesReceivedTotal, qint64(0));
    QCOMPARE(job->lastReportedDownloadPercent, 0);
    QCOMPARE(job->downloadJobErrorCount + job->downloadJobErrorRestartCount, 0);
    QVERIFY(job->downloadList.isEmpty());
    QCOMPARE(f.cfgText(QStringLiteral("job")).count("\r\ndownloaded=false\r\n"), 2);

    job->subMenu();
    job->restartDownloadAction->trigger();
    QVERIFY(f.cfgText(QStringLiteral("job")).endsWith("\r\nrestartDownload=true\r\n\r\ndownloaded=false\r\n"));

    // The pause entry pauses and resumes.
    QSignalSpy pauses(job, &KiteProject::pauseDownloadSignal);
    job->pauseDownloadAction->trigger();
    QVERIFY(job->isDownloadPaused && job->pauseDownloadAction->isChecked());
    job->pauseDownloadAction->trigger();
    QVERIFY(!job->isDownloadPaused && !job->pauseDownloadAction->isChecked());
    QCOMPARE(pauses.count(), 1);
}

void TestKiteProject::slotsLogTheirName()
{
    f.settings->logLevel = 5;
    KiteProject* job = f.makeJob(QStringLiteral("logged"));
    job->setQueued();
    job->assignState(QStringLiteral("NONE"));
    job->setDirsCreated(true);
    QVERIFY(job->dirsCreated);
    LogWriter::instance().close();

    QFile log(f.dir->filePath(QStringLiteral("logFile.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    for (const char* line : {": logged: setQueued\n", ": logged: 1077 assignState: NONE\n",
                             ": logged jobStauts: NONE\n", ": logged: setDirsCreated\n"})
        QVERIFY2(text.contains(QString::fromLatin1(line)), line);
}

QTEST_MAIN(TestKiteProject)
#include "tst_kiteproject.moc"
