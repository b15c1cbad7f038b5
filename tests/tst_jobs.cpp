#include "jobs_fixture.h"

#include "dialogs/errormessagedialog.h"
#include "settings/logwriter.h"

#include <QSignalSpy>

namespace {
// A row: steps (server states, slots, or the names in stateTable(); a single step is
// taken twice), flags before, flags after ("!": cleared), notification types, status
// suffix and icon, and the entries shown as visibility() gives them ('-': unchanged).
void stateRow(const char* steps, const char* before, const char* after, const char* notes, const char* text,
              const char* icon, const char* actions)
{
    const QByteArray tag = QByteArray(steps) + (*before ? QByteArray(" after ") + before : QByteArray());
    QTest::newRow(tag.constData()) << words(steps) << words(before) << words(after) << words(notes, ',')
                                   << QString::fromLatin1(text) << QString::fromLatin1(icon)
                                   << QString::fromLatin1(actions);
}
} // namespace

// The job's state machine as its tray entry, its notifications and the farm see it.
class TestJobs : public QObject
{
    Q_OBJECT
    JobFixture f;

private slots:
    void init() { f.setUp(); }
    void cleanup() { f.tearDown(); }

    void menuEntries()
    {
        for (bool oldMenu : {true, false}) {
            f.settings->oldMenu = oldMenu;
            KiteProject* job = f.makeJob("job");
            // A fresh record: nothing known from the farm yet, output to look for.
            QVERIFY(job->isUnknown && job->isNotInDb && job->checkForFilesToDownload && job->downloadEnabled);
            // The sub-menu is made when first asked for; without the old menu download entries carry the name.
            QVERIFY(!job->jobAction->menu());
            QMenu* menu = job->subMenu();
            QVERIFY(job->jobAction->menu() == menu && !menu->parent());
            QStringList shown;
            for (const QAction* action : menu->actions()) {
                shown << QString::number(action->isVisible()) + QString::number(action->isCheckable()) + action->text();
                QVERIFY(action->parent() == job->jobAction && !action->isChecked());
            }
            const QString n = oldMenu ? QString() : QStringLiteral("job");
            QCOMPARE(shown, (QStringList{"00" + (n.isEmpty() ? "Open download folder" : n),
                                         "10" + (n.isEmpty() ? "Change download destination" : n),
                                         "01High upload priority", "11" + (n.isEmpty() ? "High download priority" : n),
                                         "01Pause upload", "11Autostart render", "01Pause download", "10Delete Job...",
                                         "10Support Ticket...", "10Restart upload",
                                         "00" + (n.isEmpty() ? "Restart download" : n)}));
        }
    }

    void stateTable_data()
    {
        for (const char* column : {"steps", "before", "after", "notifications"})
            QTest::addColumn<QStringList>(column);
        for (const char* column : {"text", "icon", "actions"})
            QTest::addColumn<QString>(column);
        // Server states.
        stateRow("UPLOADING", "isLocal", "!isUploaded", "", "", "uploadingorange", "0010010-");
        stateRow("UPLOADING", "", "", "", "", "", "--------");
        stateRow("UPLOADING", "isLocal isUploadPaused", "", "", "", "", "--------");
        stateRow("UPLOADING", "isLocal isUploading", "", "", "", "", "--------");
        stateRow("UPLOADING", "isLocal isReadyForUpload", "", "", "", "", "--------");
        stateRow("RENDERABLE", "isLocal isUploading isMarkedForUpload",
                 "isRenderable isUploaded !isUploading !isMarkedForUpload", "", " UPLOADED", "uploadedcloud", "0-0-0000");
        stateRow("RENDERABLE", "", "isRenderable isUploaded !isLocal", "", " UPLOADED", "uploadedcloud", "0-0-0000");
        stateRow("RENDERING", "isRenderable", "isRendering isUploaded !isRenderable !isUnknown !isQueued",
                 "RenderingStart", " RENDERING (0%)", "renderingorange", "0101100-");
        stateRow("QUEUED", "isRenderable", "isQueued isRendering isUploaded !isRenderable !isUnknown", "RenderingQueued",
                 " QUEUED", "", "0101100-");
        stateRow("RENDERED", "isRendering isQueued", "renderComplete isUploaded !isRendering !isQueued !isUnknown",
                 "RenderingEnd", " RENDERED (100%)", "waitingorange", "0101100-");
        stateRow("PAUSED", "isRendering", "isPaused isUploaded !isRendering !isUnknown", "RenderingPause", " PAUSED ",
                 "renderinggray", "0101100-");
        stateRow("ERROR_UPL", "isRenderable isQueued", "!isRenderable !isQueued !hasUploadError", "", "", "", "--------");
        stateRow("ERROR_REND", "isRendering", "renderErrorShown renderComplete !isRendering !isUnknown", "",
                 " ERROR README", "waitingred", "1-------");
        stateRow("ERROR_REND", "isRendering !isUnknown", "renderErrorShown !isRendering", "RenderError", " ERROR README",
                 "waitingred", "1-------");
        stateRow("NONE", "isQueued", "isUnknown !isQueued", "", "", "", "--------");
        stateRow("SOMETHING", "isQueued isRenderable", "isRenderable isUnknown !isQueued", "", "", "", "--------");
        // Any other state in between re-arms the queued notification.
        stateRow("QUEUED RENDERING QUEUED", "", "isQueued", "RenderingQueued,RenderingQueued", " QUEUED", "renderinggray",
                 "0101100-");
        // State slots.
        stateRow("setUploadIdle", "", "", "", " UPLOAD IDLE", "uploadinggray", "-------1");
        stateRow("setUploadWaiting", "", "", "", " UPLOAD WAITING", "", "-------1");
        stateRow("setUploadStarted", "", "!isUnknown", "", "", "", "00100101");
        stateRow("setUploading", "", "", "", "", "uploadingorange", "0010010-");
        stateRow("setUploadingOnOtherMachine", "", "", "", " REMOTE UPLOAD ", "uploadingorange", "0010010-");
        stateRow("setUploadPaused", "isMarkedForUpload isUploading",
                 "isUploadPaused !isMarkedForUpload !isUploading !isUploaded", "", " UPLOAD PAUSED 0%", "", "--------");
        stateRow("setUploaded", "isUploading isMarkedForUpload", "isUploaded !isUploading !isMarkedForUpload", "",
                 " UPLOADED", "uploadedcloud", "0-0-0000");
        stateRow("setQueued", "", "isUploaded isQueued isRendering !isUnknown", "RenderingQueued", " QUEUED", "",
                 "0101100-");
        stateRow("setRendering", "isPaused",
                 "isRendering isUploaded checkForFilesToDownload !isPaused !isUnknown !isRenderable", "RenderingStart",
                 " RENDERING (0%)", "renderingorange", "0101100-");
        stateRow("setRendered", "isRendering isPaused",
                 "renderComplete isUploaded !isRendering !isPaused !isQueued !isUnknown", "RenderingEnd",
                 " RENDERED (100%)", "waitingorange", "0101100-");
        stateRow("setRendered", "!cfgRead", "renderComplete", "", " RENDERED (100%)", "waitingorange", "0101100-");
        stateRow("setPaused", "isRendering", "isPaused isUploaded !isRendering !isUnknown", "RenderingPause", " PAUSED ",
                 "renderinggray", "0101100-");
        stateRow("setOutOfRenderPoints", "isRendering", "outOfRenderPoints isPaused !isRendering",
                 "RenderingPause,OutOfRenderPoints,OutOfRenderPoints", " PAUSED - Out of render points",
                 "renderinggray", "0101100-");
        stateRow("setErrorRendering", "isRendering !isUnknown",
                 "renderErrorShown renderComplete !isRendering !isPaused !isUnknown", "RenderError", " ERROR README",
                 "waitingred", "1-------");
        stateRow("setErrorUpload", "", "hasUploadError", "UploadError,UploadError", " ERROR README", "waitingred",
                 "--------");
        stateRow("quietUploadError", "", "hasUploadError", "", " ERROR README", "waitingred", "--------");
        stateRow("setErrorResume", "", "", "", "", "waitingred", "1-------");
        stateRow("setDownloadStarted", "", "isDownloading isUploaded !isUnknown", "", " DOWNLOADING ",
                 "downloadingorange", "0---100-");
        stateRow("setDownloadStarted", "isDownloadPaused", "isDownloading", "", " DOWNLOADING ", "downloadinggrey",
                 "0---100-");
        stateRow("setDownloadPaused", "isDownloading isDownloaded",
                 "isDownloadPaused checkForFilesToDownload !isDownloading !isDownloaded !downloadedMark", "",
                 " DOWNLOAD PAUSED 0%", "", "--------");
        stateRow("setDownloadError", "isDownloading", "hasDownloadError isDownloadPaused !isDownloading !isDownloaded",
                 "DownloadError,DownloadError", " DOWNLOAD ERROR...", "waitingred", "--------");
        stateRow("setDownloadFinished", "isDownloading",
                 "isDownloaded downloadedMark renderComplete isUploaded !isDownloading !isUnknown "
                 "!checkForFilesToDownload",
                 "", " DOWNLOADED (100%)", "completeorange", "0100100-");
        stateRow("setDeleted", "", "isDeleted", "", "", "", "--------");
        // Stretches of a job's life that the single steps do not show.
        stateRow("setUploadStarted sent50 setUploadPaused", "", "", "", " UPLOAD PAUSED 50%", "", "00100101");
        stateRow("setUploadStarted setUploadPaused uploadPausedSwitchSlot", "", "", "", " UPLOAD IDLE",
                 "uploadinggray", "00100101");
        stateRow("RENDERED setDownloadStarted received50 setDownloadPaused", "", "", "RenderingEnd",
                 " DOWNLOAD PAUSED 50%", "downloadingorange", "01011000");
        stateRow("RENDERED setDownloadStarted setDownloadError restartDownloadSlot", "", "",
                 "RenderingEnd,DownloadError", " DOWNLOAD ERROR...", "waitingred", "01011000");
        stateRow("progress7 setRendering", "isQueued", "", "RenderingQueued", " QUEUED (7%)", "renderinggray", "0101100-");
        stateRow("progress7 setRendering", "", "", "RenderingStart", " RENDERING (7%)", "renderingorange", "0101100-");
        // Rendering while the output downloads keeps the download text.
        stateRow("setDownloadStarted setRendering setRendering setRendered", "", "isDownloading", "RenderingStart,RenderingEnd",
                 " DOWNLOADING ", "downloadingorange", "0101100-");
        // Without synchronisation only the notification happens.
        stateRow("noSync setRendering", "", "!isRendering", "RenderingStart", "", "", "--------");
    }

    void stateTable()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, notifications);
        KiteProject* job = f.makeJob("job");
        job->uploadBytesTotal = job->downloadBytesTotal = 1000;
        QVERIFY(JobFixture::setFlags(job, fetch<QStringList>("before")));
        const QString visibleBefore = JobFixture::visibility(job);
        QSignalSpy spy(f.settings.get(), &KiteSettings::showMessageSignal);
        const QHash<QString, std::function<void()>> named{
            {"sent50", [&] { job->uploadRateSlot(1, 50, 500); }},
            {"progress7", [&] { job->renderProgress = 7; }},
            {"noSync", [&] { f.settings->syncActive = false; }},
            {"received50", [&] { job->downloadRateSlot(1, 50, 500); }},
            {"quietUploadError", [&] { job->setErrorUpload(false); }}};
        bool server = false;
        for (const QString& step : steps.size() == 1 ? steps + steps : steps) {
            server = server || step.at(0).isUpper();
            if (named.contains(step))
                named.value(step)();
            else if (step.at(0).isUpper())
                job->assignState(step);
            else
                QVERIFY2(QMetaObject::invokeMethod(job, step.toLatin1().constData()), qPrintable(step));
        }
        QCOMPARE(job->stateAssigned, server);
        QCOMPARE(JobFixture::flagsNot(job, fetch<QStringList>("after")), QStringList());
        QStringList types;
        for (const QList<QVariant>& note : qAsConst(spy))
            types << note.at(2).toString();
        QCOMPARE(types, notifications);
        // Title and text of each notification type.
        const QHash<QString, QStringList> texts{
            {"RenderingStart", {"Rendering started", "job\n"}}, {"RenderingQueued", {"Rendering queued", "job\n"}},
            {"RenderingEnd", {"Render complete", "job\n"}},     {"RenderingPause", {"Render paused", "job\n"}},
            {"RenderError", {"Render Error", "Render job has error, please check ControlCenter"}},
            {"UploadError", {"Upload Error", "Upload of job files failed several times"}},
            {"DownloadError", {"Download Error", "Download of job output failed several times"}},
            {"OutOfRenderPoints", {"Out of render points", "Out of render points"}}};
        for (const QList<QVariant>& note : qAsConst(spy)) {
            QCOMPARE((QStringList{note.at(0).toString(), note.at(1).toString()}), texts.value(note.at(2).toString()));
            QCOMPARE(qvariant_cast<KiteProject*>(note.at(3)), job);
        }
        QCOMPARE(job->jobAction->text(), "job" + fetch<QString>("text"));
        QVERIFY(JobFixture::showsIcon(job, fetch<QString>("icon")));
        QString actions = fetch<QString>("actions");
        for (int i = 0; i < actions.size(); ++i)
            actions[i] = actions[i] == QLatin1Char('-') ? visibleBefore[i] : actions[i];
        QCOMPARE(JobFixture::visibility(job), actions);
    }

    void rateTicks_data()
    {
        QTest::addColumn<bool>("up");
        QTest::addColumn<QStringList>("before"); // flags, or "zip" for an archive being written
        QTest::addColumn<qint64>("bytes");       // of 1000, in the second before the tick
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("reported"); // progress sent to the farm; -1: none
        const auto row = [](const char* tag, bool up, const char* before, qint64 bytes, const char* text, int reported) {
            QTest::newRow(tag) << up << words(before) << bytes << QString::fromLatin1(text) << reported;
        };
        row("upload 50%", true, "", 500, " UPLOADING 50% (4 Kb/s)", 50);
        row("upload 103% shown as 100", true, "", 1030, " UPLOADING 100% (8 Kb/s)", 100);
        row("upload 110% shown as 110", true, "", 1100, " UPLOADING 110% (9 Kb/s)", 110);
        row("upload waiting", true, "waitsForOtherUpload", 0, " UPLOAD WAITING (0%)", -1);
        row("upload preparing", true, "zip", 0, " PREPARING UPLOAD 0%", -1);
        row("download, rendered", false, "renderComplete", 400, " DOWNLOADING 40% (3 Kb/s)", 40);
        row("download, still rendering", false, "", 400, " DOWNLOADING (3 Kb/s)", 40);
        row("update job", false, "renderComplete isUpdateJob", 400, " DOWNLOADING 40% (3 Kb/s)", -1);
    }

    void rateTicks()
    {
        QFETCH(bool, up);
        QFETCH(QStringList, before);
        QFETCH(int, reported);
        KiteProject* job = f.makeJob("job");
        job->uploadBytesTotal = job->downloadBytesTotal = 1000;
        if (before.removeAll("zip"))
            job->writeZipBeginSlot();
        QVERIFY(JobFixture::setFlags(job, before));
        up ? job->setUploadStarted() : job->setDownloadStarted();
        QTimer* timer = up ? job->uploadRateTimer : job->downloadSpeedTimer;
        QVERIFY(timer->isActive() && timer->interval() == (up ? 5000 : 2000));
        QSignalSpy forwarded(job, up ? &KiteProject::uploadRateSignal : &KiteProject::downloadRateSignal);
        QSignalSpy progress(job, &KiteProject::downloadProgressSignal);
        QSignalSpy sent(f.settings.get(), &KiteSettings::makeRequest);
        // The tick follows at once: it counts as one second.
        const qint64 bytes = fetch<qint64>("bytes");
        up ? job->uploadRateSlot(1, 1000, bytes) : job->downloadRateSlot(1, 1000, bytes);
        up ? job->uploadRateTimerSlot() : job->downloadRateTimerSlot();
        QCOMPARE(job->jobAction->text(), "job" + fetch<QString>("text"));
        for (const auto& [rate, text] : QList<QPair<double, QString>>{{100, "800 b/s"}, {200000, "1.53 Mb/s"}, {131071, "1024 Kb/s"}})
            QCOMPARE(KiteProject::rateString(rate), text);
        QCOMPARE(forwarded.count(), job->isUpdateJob ? 0 : 1);
        QCOMPARE(progress.count(), job->isUpdateJob ? 1 : 0); // the update job only tells the host
        QCOMPARE(JobFixture::visibility(job).mid(2, 3), up ? QStringLiteral("100") : QStringLiteral("011"));
        QCOMPARE(up ? job->bytesSentSinceTick : job->bytesReceivedSinceTick, qint64(0));
        QCOMPARE(sent.count(), reported < 0 ? 0 : 1);
        if (reported >= 0) {
            QCOMPARE(sent.first().at(0).toString(), up ? QStringLiteral("setUploadProgress") : "setDownloadProgress");
            QCOMPARE(sent.first().at(1).toJsonObject(), (QJsonObject{{"scene", "job"}, {"progress", reported}}));
        }
        QCOMPARE(timer->isActive(), reported < 100); // an upload is done at 100%
        // A second tick with nothing new reports nothing.
        up ? job->uploadRateTimerSlot() : job->downloadRateTimerSlot();
        QCOMPARE(sent.count(), reported < 0 ? 0 : 1);
        if (up) { // an uploaded job stops its tick
            job->isUploaded = true;
            job->uploadRateTimerSlot();
            QVERIFY(!timer->isActive());
        } else { // a new start shows the last rate
            job->isDownloading = false;
            job->setDownloadStarted();
            QCOMPARE(job->jobAction->text(), QStringLiteral("job DOWNLOADING 0 b/s"));
        }
    }

    void errorEntriesAndDialogs()
    {
        KiteProject* job = f.makeJob("job");
        const int entries = job->subMenu()->actions().size();
        job->setErrorRendering();
        job->setErrorRendering();
        QCOMPARE(job->errorAction->text(), QStringLiteral("ee!"));
        job->setErrorUpload(false);
        job->setDownloadError();
        job->setErrorUpload(false);
        // One section, one entry, however often; it follows the latest error.
        const QList<QAction*> actions = job->subMenu()->actions();
        QCOMPARE(actions.size(), entries + 2);
        QVERIFY(actions.at(entries)->isSeparator() && actions.at(entries)->text() == QStringLiteral("Error"));
        QVERIFY(actions.last() == job->errorAction && job->errorAction->text() == QStringLiteral("Read me!"));
        job->uploadErrorText = QStringLiteral("disk full");
        job->errorAction->trigger();
        QList<ErrorMessageDialog*> dialogs = JobFixture::openWindows<ErrorMessageDialog>();
        QVERIFY(dialogs.size() == 1 && dialogs.first()->ticketUrl.startsWith("https://portal.example/ticket?subPreset="
                                                                              "ERROR_UPL: job&"));
        QVERIFY(dialogs.first()->ticketUrl.contains(QStringLiteral("The error message is: disk full\n")));
        // A second upload error replaces the dialog; its retry restarts the upload.
        QSignalSpy folderRequests(f.settings.get(), &KiteSettings::getProjectFolderContentsSignal);
        job->uploadErrorText = QStringLiteral("timeout");
        job->setErrorUpload(true);
        job->setErrorUpload(true);
        dialogs = JobFixture::openWindows<ErrorMessageDialog>();
        ErrorMessageDialog* dialog = dialogs.first();
        QVERIFY(dialogs.size() == 1 && dialog == job->errorDialog.data() && dialog->windowTitle() == "Upload Error");
        QVERIFY(dialog->hasRetryButton && dialog->ticketUrl.contains(QStringLiteral("The error message is: timeout\n")));
        emit dialog->RetrySignal();
        QVERIFY(!job->hasUploadError && job->uploadRestartPending && folderRequests.count() == 1);
        // The download error retries after a minute, once; a restart ends a pending retry too.
        job->setDownloadError();
        QTimer* retry = job->downloadErrorRetryTimer;
        QVERIFY(retry->isActive() && retry->interval() == 60000);
        QVERIFY(QMetaObject::invokeMethod(retry, "timeout"));
        QVERIFY(!job->hasDownloadError && !job->isDownloadPaused && job->checkForFilesToDownload && !retry->isActive());
        job->setDownloadError();
        job->restartDownloadSlotMenuClick();
        QVERIFY(!retry->isActive());
    }

    void setDownloadFinishedReportsOnce()
    {
        // A job, one in admin mode, and a test job.
        for (const auto& [name, adminMode, testJob] : {std::make_tuple("job", false, false),
                                                       std::make_tuple("admin", true, false),
                                                       std::make_tuple("test", false, true)}) {
            f.settings->adminMode = adminMode;
            const bool reports = !testJob && !adminMode;
            KiteProject* job = f.makeJob(name);
            job->isDownloadTest = testJob;
            job->serverNumber = 2;
            QSignalSpy sent(f.settings.get(), &KiteSettings::makeRequest);
            QSignalSpy tests(job, &KiteProject::testFinishedSignal);
            QSignalSpy activity(f.settings.get(), &KiteSettings::setIconActivitySignal);
            job->setDownloadStarted();
            job->setDownloadFinished();
            job->setDownloadFinished();
            QCOMPARE(sent.count(), reports ? 2 : 0);
            QCOMPARE(tests.count(), testJob ? 1 : 0);
            QVERIFY(!job->downloadSpeedTimer->isActive() && !activity.last().at(0).toBool());
            const QJsonObject data{{"scene", name}, {"progress", 100}, {"server_download", 2}};
            for (int i = 0; i < sent.count(); ++i)
                QCOMPARE(sent.at(i).mid(0, 2), (QVariantList{i ? "setDownloadComplete" : "setDownloadProgress", data}));
            QCOMPARE(f.cfgText(name).count("downloadFinishedSent=true"), reports ? 1 : 0);
            QCOMPARE(f.cfgText(name).count("restartDownload=false"), 1);
        }
        // Clicking the entry now opens the output folder.
        f.jobs.first()->localDownloadDir = f.dir->path();
        f.jobs.first()->jobAction->trigger();
        QCOMPARE(f.catcher->urls, QList<QUrl>{QUrl::fromLocalFile(f.dir->path())});
    }

    void restartsPausesAndPriorities()
    {
        KiteProject* job = f.makeJob("job");
        job->subMenu();
        QSignalSpy folderRequests(f.settings.get(), &KiteSettings::getProjectFolderContentsSignal);
        QSignalSpy uploadPauses(job, &KiteProject::pauseUploadSignal), downloadPauses(job, &KiteProject::pauseDownloadSignal);
        const QStringList upload{"!hasUploadError", "!isUploadPaused", "!isReadyForUpload", "!isMarkedForUpload",
                                 "!isUploading", "!isUploaded", "!waitingForCheckFiles", "isLocal", "uploadRestartPending"};
        const QStringList download{"!isDownloadPaused", "!isDownloaded", "!downloadedMark", "!isDownloading",
                                   "!hasDownloadError", "checkForFilesToDownload"};
        const auto invert = [](QStringList names) {
            for (QString& name : names)
                name = name.startsWith('!') ? name.mid(1) : "!" + name;
            return names;
        };
        QVERIFY(JobFixture::setFlags(job, invert(upload) + invert(download)));
        job->uploadList << UploadFile();
        job->bytesSentTotal = job->uploadPriority = job->downloadPriority = job->bytesReceivedTotal = 100;
        job->serverNumberUpload = 2;
        job->overwriteAll = true;
        job->overwriteYesList << QStringLiteral("a.exr");
        job->lastReportedDownloadPercent = job->downloadJobErrorCount = job->downloadJobErrorRestartCount = 3;
        job->downloadList << DownloadFile();
        // The upload starts again from the server's listing of the upload server.
        job->retryUploadSlot(4);
        QCOMPARE(JobFixture::flagsNot(job, upload), QStringList());
        QCOMPARE((QList<qint64>{job->bytesSentTotal, job->uploadPriority, job->errorCount, job->uploadList.size()}),
                 (QList<qint64>{0, 0, 4, 0}));
        QVERIFY(folderRequests.count() == 1 && folderRequests.first().at(0).toInt() == 2);
        // Keeping the overwrite answers and the error counts when asked to.
        job->restartDownloadSlot(false, false);
        QVERIFY(job->overwriteAll && job->hasDownloadError && job->downloadJobErrorCount == 3);
        job->restartDownloadSlot();
        QCOMPARE(JobFixture::flagsNot(job, download), QStringList());
        QVERIFY(!job->overwriteAll && job->overwriteYesList.isEmpty() && job->downloadList.isEmpty());
        QCOMPARE((QList<qint64>{job->downloadPriority, job->bytesReceivedTotal, job->lastReportedDownloadPercent,
                                job->downloadJobErrorCount, job->downloadJobErrorRestartCount}),
                 (QList<qint64>{0, 0, 0, 0, 0}));
        job->restartDownloadAction->trigger();
        QCOMPARE(f.cfgText("job"), "renderer=vray\r\n[files]\r\n" + QByteArray("\r\ndownloaded=false\r\n").repeated(2)
                                       + "\r\nrestartDownload=true\r\n\r\ndownloaded=false\r\n");
        // The pause entries pause, and resume through a fresh start.
        for (int i = 0; i < 2; ++i) {
            job->pauseUploadAction->trigger();
            job->pauseDownloadAction->trigger();
            QVERIFY(job->isUploadPaused == !i && job->pauseUploadAction->isChecked() == !i && uploadPauses.count() == 1);
            QVERIFY(job->isDownloadPaused == !i && job->pauseDownloadAction->isChecked() == !i);
        }
        QVERIFY(folderRequests.count() == 2 && downloadPauses.count() == 1);
        // Priorities and autostart toggle with their entries; autostart is kept in the cfg.
        const auto state = [job] {
            return QList<int>{job->downloadPriority, job->highDownloadPriorityAction->isChecked(), job->uploadPriority,
                              job->highUploadPriorityAction->isChecked(), job->autostart,
                              job->autostartAction->isChecked()};
        };
        job->highDownloadPriorityAction->trigger();
        job->highUploadPriorityAction->trigger();
        job->autostartAction->trigger();
        QCOMPARE(state(), (QList<int>{100, 1, 100, 1, 1, 1}));
        job->highDownloadPriorityAction->trigger();
        job->setUploadPriorityUp(true);
        job->setAutostartSlot(false);
        QCOMPARE(state(), (QList<int>{0, 0, 100, 1, 0, 0}));
        QVERIFY(f.cfgText("job").endsWith("\r\ndownloaded=false\r\n\r\nautostart=1\r\n")); // toggling back writes nothing
    }
};

QTEST_MAIN(TestJobs)
#include "tst_jobs.moc"
