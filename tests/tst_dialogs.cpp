#include "dialogs/dirselectdialog.h"
#include "dialogs/errormessage.h"
#include "dialogs/errormessagedialog.h"
#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"
#include "settings/logwriter.h"
#include "settings/translationloader.h"
#include "support/messagecapture.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

namespace {
template<typename T = QPushButton>
T* child(QObject* parent, const QString& name) { return parent->findChild<T*>(name); }

// Rejects every modal dialog that comes up while it lives: the job's folder
// chooser runs its own event loop, and this ends it as a user's Cancel would.
class ModalCloser : public QObject
{
public:
    ModalCloser()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ++closed;
                dialog->reject();
            }
        });
        m_timer.start(0);
    }
    int closed = 0;

private:
    QTimer m_timer;
};

void processDeferredDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

// Clicks a button by object name, or closes the window: "escape", "close".
void act(QWidget* window, const QString& action)
{
    if (action == QLatin1String("escape"))
        QTest::keyClick(window, Qt::Key_Escape);
    else if (action == QLatin1String("close"))
        window->close();
    else
        child(window, action)->click();
}

// logsSent: the log check box is hidden; the signals in the order sent.
struct ErrorCase { bool retryButton, logsSent, userUnchecksLog; QString action; QStringList signalsSent; bool staysOpen; };
// action: a button, "escape", "close", "countdown", "tick", "dirSelected", "destroyed";
// call: what the job is asked to do, after "shot_010: folder dialog: ".
struct DirCase { bool retryMode, restartAfterSelect, downloading, jobDeleted; QString action, call; };
} // namespace
Q_DECLARE_METATYPE(ErrorCase)
Q_DECLARE_METATYPE(DirCase)

// The error, folder and overwrite dialogs as the user works them: what they
// show, and what each answer tells the job (the calls into the job are
// recorded from the dialogs' debug output).
class TestDialogs : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KiteSettings> m_settings;
    std::unique_ptr<KiteProject> m_job;
    std::unique_ptr<MessageCapture> m_capture;
    QStringList* m_seen = nullptr; // where recordSignal() writes

    QPointer<DirSelectDialog> openDirDialog(bool retryMode, bool restartAfterSelect = true)
    {
        return new DirSelectDialog(m_settings.get(), m_job.get(), restartAfterSelect, nullptr, retryMode);
    }
    QStringList jobCalls() const { return m_capture->messages.filter(QStringLiteral(": folder dialog: ")); }

public slots:
    void recordSignal() { *m_seen << QString::fromLatin1(sender()->metaObject()->method(senderSignalIndex()).name()); }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("kite.dialogs.debug=true")); }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_settings = std::make_unique<KiteSettings>();
        m_settings->setApplicationDirectory(m_dir->path());
        m_settings->localProjectsFolder = m_dir->path();
        m_settings->username = QStringLiteral("tester");
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("tester")));
        m_job = std::make_unique<KiteProject>(m_settings.get(), QStringLiteral("shot_010"), QStringLiteral("42"));
        m_capture = std::make_unique<MessageCapture>("kite.dialogs", true);
    }

    void cleanup()
    {
        m_capture.reset();
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<DirSelectDialog*>(widget) || qobject_cast<QMessageBox*>(widget))
                widget->deleteLater();
        processDeferredDeletes();
        TranslationLoader::install(qApp, QString());
        m_job.reset();
        m_settings.reset();
        LogWriter::instance().close();
        m_dir.reset();
    }

    void errorDialog_answers_data()
    {
        QTest::addColumn<ErrorCase>("c");
        const QStringList ticket{"openLinkWithTokenSignal"}, ticketAndLogs{"openLinkWithTokenSignal", "uploadLogFilesSignal"};
        QTest::newRow("close, with retry") << ErrorCase{true, false, false, "pushButtonClose", {"notRetryUploadSignal"}, false};
        QTest::newRow("close, without retry") << ErrorCase{false, false, false, "pushButtonClose", {"notRetryDownloadSignal"}, false};
        QTest::newRow("retry") << ErrorCase{true, false, false, "pushButtonRetry", {"RetrySignal"}, false};
        QTest::newRow("network settings") << ErrorCase{false, false, false, "pushButtonNetwork", {"OpenNetworkSettingsSignal"}, true};
        QTest::newRow("ticket with log files") << ErrorCase{true, false, false, "pushButtonTicket", ticketAndLogs, true};
        QTest::newRow("ticket, log files already sent") << ErrorCase{false, true, false, "pushButtonTicket", ticket, true};
        QTest::newRow("ticket, log check box cleared") << ErrorCase{false, false, true, "pushButtonTicket", ticket, true};
        QTest::newRow("log files button, once") << ErrorCase{false, false, false, "pushButtonLogFiles", {"uploadLogFilesSignal"}, true};
        QTest::newRow("window close button") << ErrorCase{true, false, false, "close", {}, false};
        QTest::newRow("escape") << ErrorCase{true, true, false, "escape", {}, false};
    }
    void errorDialog_answers()
    {
        QFETCH(ErrorCase, c);
        const QString ticketUrl = QStringLiteral("https://support.example/ticket?subPreset=ERROR_UPL: shot_010");
        ErrorMessageDialog dialog("Upload Error", "<b>bold</b> and <a href=\"https://x.example\">a link</a>", ticketUrl, c.retryButton,
                                  nullptr, c.logsSent);
        QVERIFY(dialog.size() == QSize(648, 232) && !dialog.isModal() && !(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
        dialog.show();
        QCOMPARE(dialog.windowTitle() + child<QLabel>(&dialog, "labelTitle")->text(), QStringLiteral("Upload ErrorUpload Error"));
        QCOMPARE(child<QTextBrowser>(&dialog, "textMessage")->toPlainText(), QStringLiteral("bold and a link"));
        auto* logs = child<QCheckBox>(&dialog, "checkboxLogFiles");
        QCOMPARE(child(&dialog, "pushButtonRetry")->isVisible(), c.retryButton);
        QVERIFY(logs->isVisible() == !c.logsSent && logs->isChecked() == !c.logsSent);
        QVERIFY(!child(&dialog, "pushButtonLogFiles")->isVisible() && child(&dialog, "pushButtonClose")->isVisible()
                && child(&dialog, "pushButtonNetwork")->isVisible() && child(&dialog, "pushButtonTicket")->isVisible());
        logs->setChecked(logs->isChecked() && !c.userUnchecksLog);

        QStringList seen;
        QString link;
        for (int i = dialog.metaObject()->methodOffset(); i < dialog.metaObject()->methodCount(); ++i) {
            const QMetaMethod method = dialog.metaObject()->method(i);
            if (method.methodType() == QMetaMethod::Signal)
                connect(&dialog, method, this, metaObject()->method(metaObject()->indexOfSlot("recordSignal()")));
        }
        m_seen = &seen;
        connect(&dialog, &ErrorMessageDialog::openLinkWithTokenSignal, this, [&](const QString& url) { link = url; });
        act(&dialog, c.action);
        if (c.action == QLatin1String("pushButtonLogFiles")) {
            QVERIFY(!child(&dialog, c.action)->isEnabled());
            QCOMPARE(child(&dialog, c.action)->text(), QStringLiteral("Log Files Sent"));
            child(&dialog, c.action)->click(); // disabled: no second upload
        }
        QCOMPARE(seen, c.signalsSent);
        QCOMPARE(link, seen.contains("openLinkWithTokenSignal") ? ticketUrl : QString());
        QCOMPARE(dialog.isVisible(), c.staysOpen);
    }

    void dirDialog_outcomes_data()
    {
        QTest::addColumn<DirCase>("c");
        const QString restart = "restartDownloadSlot(true, true)", createDefault = "createLocalDownloadDir(true)";
        QTest::newRow("countdown, retry mode") << DirCase{true, true, false, false, "countdown", restart};
        QTest::newRow("countdown, default mode") << DirCase{false, true, false, false, "countdown", createDefault};
        QTest::newRow("retry") << DirCase{true, true, false, false, "pushButtonRetry", restart};
        QTest::newRow("default dir") << DirCase{false, true, false, false, "pushButtonDefault", createDefault};
        QTest::newRow("cancel") << DirCase{false, true, false, false, "pushButtonCancel", QString()};
        QTest::newRow("escape") << DirCase{true, true, false, false, "escape", QString()};
        QTest::newRow("window close button") << DirCase{true, true, false, false, "close", QString()};
        QTest::newRow("select, restart requested") << DirCase{false, true, false, false, "pushButtonSelect", "dirSelectSlot(true)"};
        QTest::newRow("select, no restart") << DirCase{false, false, false, false, "pushButtonSelect", "dirSelectSlot(false)"};
        QTest::newRow("select, download running") << DirCase{false, false, true, false, "pushButtonSelect", "dirSelectSlot(true)"};
        QTest::newRow("directory chosen, job alive: stays") << DirCase{true, true, false, false, "dirSelected", QString()};
        // A deleted job is never called, and the dialog goes.
        QTest::newRow("deleted: next tick, retry mode") << DirCase{true, true, false, true, "tick", QString()};
        QTest::newRow("deleted: last tick") << DirCase{true, true, false, true, "countdown", QString()};
        QTest::newRow("deleted: select") << DirCase{false, true, false, true, "pushButtonSelect", QString()};
        QTest::newRow("deleted: default dir") << DirCase{false, true, false, true, "pushButtonDefault", QString()};
        QTest::newRow("deleted: retry") << DirCase{true, true, false, true, "pushButtonRetry", QString()};
        QTest::newRow("deleted: directory chosen") << DirCase{true, true, false, true, "dirSelected", QString()};
        QTest::newRow("job object destroyed") << DirCase{true, true, false, true, "destroyed", QString()};
    }
    void dirDialog_outcomes()
    {
        QFETCH(DirCase, c);
        m_job->isDownloading = c.downloading;
        QPointer<DirSelectDialog> dialog = openDirDialog(c.retryMode, c.restartAfterSelect);
        QSignalSpy finished(dialog.data(), &QDialog::finished);
        QVERIFY(dialog->isVisible() && m_job->dirSelectOpen && !(dialog->windowFlags() & Qt::WindowContextHelpButtonHint));
        QVERIFY(dialog->timer->interval() == 1000 && !dialog->timer->isSingleShot());
        QCOMPARE(child<QLabel>(dialog, "labelJobname")->text() + child<QLabel>(dialog, "labelMessage")->text(), QStringLiteral("shot_010")
                 + (c.retryMode ? "Download of output files failed several times. \nMake sure you have write permissions in target directory"
                                : "Output directory of scene not found,  please select a directory."));
        QCOMPARE(child(dialog, "pushButtonRetry")->isVisible(), c.retryMode);
        auto* waiting = child(dialog, c.retryMode ? "pushButtonRetry" : "pushButtonDefault");
        auto* other = child(dialog, c.retryMode ? "pushButtonDefault" : "pushButtonRetry");
        const QString caption = waiting->text(), otherCaption = other->text();
        for (int tick = 1; c.action == QLatin1String("countdown") && tick <= 118; ++tick) {
            if (tick <= 2) // the timer drives it, one tick per timeout
                QMetaObject::invokeMethod(dialog->timer, "timeout", Qt::DirectConnection);
            else
                dialog->refreshTextSlot();
            QCOMPARE(waiting->text(), caption + QStringLiteral(" (%1)").arg(120 - tick));
            QCOMPARE(other->text(), otherCaption);
        }
        QVERIFY(jobCalls().isEmpty() && dialog->isVisible());
        // What a call into the job would change.
        m_job->isDeleted = c.jobDeleted;
        m_job->hasDownloadError = true;
        m_job->downloadJobErrorCount = 7;
        m_job->checkForFilesToDownload = false;
        ModalCloser closer;
        if (c.action == QLatin1String("destroyed"))
            m_job.reset();
        if (c.action == QLatin1String("countdown") || c.action == QLatin1String("tick") || c.action == QLatin1String("destroyed"))
            dialog->refreshTextSlot(); // tick 119: the dialog acts by itself
        else if (c.action == QLatin1String("dirSelected"))
            dialog->dirSelectedSlot(QStringLiteral("/ignored"));
        else
            act(dialog, c.action);

        QCOMPARE(jobCalls(), c.call.isEmpty() ? QStringList() : QStringList{"shot_010: folder dialog: " + c.call});
        QVERIFY(!c.jobDeleted || closer.closed == 0);
        const bool staysOpen = !c.jobDeleted && c.action == QLatin1String("dirSelected");
        QCOMPARE(dialog->isVisible(), staysOpen);
        QCOMPARE(dialog->timer->isActive(), staysOpen);
        QCOMPARE(dialog->restartAfterSelect, c.restartAfterSelect || (c.downloading && !c.jobDeleted));
        if (c.jobDeleted && m_job)
            QVERIFY(m_job->hasDownloadError && m_job->downloadJobErrorCount == 7 && !m_job->checkForFilesToDownload);
        if (m_job && !c.jobDeleted)
            QCOMPARE(m_job->dirSelectOpen, staysOpen);
        if (!staysOpen && !c.jobDeleted && c.action != QLatin1String("pushButtonSelect"))
            QCOMPARE(finished.count(), 1);
        processDeferredDeletes();
        QCOMPARE(dialog.isNull(), !staysOpen);
    }

    void dirDialog_oneDialogPerJob()
    {
        QPointer<DirSelectDialog> first = openDirDialog(true), second = openDirDialog(true);
        QVERIFY(second && !second->ui && !second->timer && !second->isVisible() && second->findChildren<QPushButton*>().isEmpty());
        second->refreshTextSlot(); // slots of the empty dialog do nothing
        QCOMPARE(second->countdown, 120);
        processDeferredDeletes();
        QVERIFY(second.isNull() && first->isVisible() && m_job->dirSelectOpen); // the first keeps the job's flag
        KiteProject otherJob(m_settings.get(), QStringLiteral("shot_020"), QString()); // another job gets its own
        QPointer<DirSelectDialog> other = new DirSelectDialog(m_settings.get(), &otherJob, true, nullptr, true);
        QVERIFY(other->ui && otherJob.dirSelectOpen);
        child(first, "pushButtonCancel")->click(); // once the first has ended, the job can have a new one
        QPointer<DirSelectDialog> third = openDirDialog(true);
        QVERIFY(third->ui && third->isVisible());
        for (QDialog* dialog : {static_cast<QDialog*>(other), static_cast<QDialog*>(third)})
            child(dialog, "pushButtonCancel")->click();
        processDeferredDeletes();
        QVERIFY(first.isNull() && other.isNull() && third.isNull());
    }

    void overwrite_answers_data()
    {
        QTest::addColumn<QString>("action"); // a caption, or how the box is closed
        QTest::addColumn<QVariantList>("answer"); // overwrite, all, ignore; empty: none
        QTest::newRow("overwrite one") << "Overwrite One" << QVariantList{true, false, false};
        QTest::newRow("overwrite all") << "Overwrite All" << QVariantList{true, true, false};
        QTest::newRow("skip one") << "Skip One" << QVariantList{false, false, false};
        QTest::newRow("skip all") << "Skip All" << QVariantList{false, true, false};
        QTest::newRow("window close button") << "close" << QVariantList();
        QTest::newRow("escape") << "escape" << QVariantList();
        QTest::newRow("a button of another box") << "foreign" << QVariantList();
    }
    void overwrite_answers()
    {
        QFETCH(QString, action);
        QFETCH(QVariantList, answer);
        QPointer<ErrorMessage> question = new ErrorMessage("Overwrite File? (Job: shot_010)", "frame_0001.exr\nOverwrite?", m_job.get());
        QSignalSpy answers(question.data(), &ErrorMessage::confirmOverwriteSignal);
        question->showMessageBox();
        QPointer<QMessageBox> box = question->messageBox;
        QVERIFY(box && !box->parent() && box->isVisible() && !box->isModal());
        QCOMPARE(box->windowTitle() + box->text(), question->title + question->text);
        const QList<QPushButton*> buttons{question->buttonOverwriteOne, question->buttonOverwriteAll,
                                          question->buttonSkipOne, question->buttonSkipAll};
        QStringList captions;
        for (QPushButton* button : buttons)
            captions << button->text() + (box->buttonRole(button) == QMessageBox::ActionRole ? "" : " (not an action)");
        QCOMPARE(captions, (QStringList{"Overwrite One", "Overwrite All", "Skip One", "Skip All"}));

        QPushButton foreign("Overwrite One");
        if (action == QLatin1String("foreign"))
            question->buttonClickedSlot(&foreign);
        else if (captions.contains(action))
            QTest::mouseClick(buttons.at(captions.indexOf(action)), Qt::LeftButton);
        else
            act(box, action);
        processDeferredDeletes();
        QCOMPARE(answers.count(), answer.isEmpty() ? 0 : 1);
        if (!answer.isEmpty()) {
            QCOMPARE(answers.first(), answer);
            QVERIFY(box.isNull() && !question->messageBox && question); // the question itself stays with its job
        } else if (action != QLatin1String("foreign")) { // the question stays until it is answered
            QVERIFY(box && box->isVisible());
            QTest::mouseClick(question->buttonSkipOne, Qt::LeftButton);
            QCOMPARE(answers.count(), 1);
        }
        delete question.data();
    }

    void translation_german()
    {
        QVERIFY(TranslationLoader::install(qApp, QStringLiteral("de")));
        QPointer<DirSelectDialog> dialog = openDirDialog(false);
        dialog->refreshTextSlot();
        QCOMPARE(dialog->windowTitle() + child(dialog, "pushButtonDefault")->text(), QStringLiteral("Verzeichnis auswählenStandardverzeichnis (119)"));
        ErrorMessage question("t", "x"); // translated captions give the same answers
        QSignalSpy answers(&question, &ErrorMessage::confirmOverwriteSignal);
        question.showMessageBox();
        QCOMPARE(question.buttonOverwriteAll->text(), QStringLiteral("Alle überschreiben"));
        QTest::mouseClick(question.buttonOverwriteAll, Qt::LeftButton);
        QCOMPARE(answers.value(0), (QVariantList{true, true, false}));
        // A region falls back to its language; only one translation at a time; an unknown language leaves the source texts.
        QVERIFY(TranslationLoader::install(qApp, QStringLiteral("de_AT")) && qApp->findChildren<QTranslator*>().size() == 1);
        QVERIFY(!TranslationLoader::install(qApp, QStringLiteral("xx")) && qApp->findChildren<QTranslator*>().isEmpty());
        QVERIFY(!TranslationLoader::install(nullptr, QStringLiteral("de")));
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
