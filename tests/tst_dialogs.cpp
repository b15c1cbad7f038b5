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
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

// The lines that record a call of the dialog into its job.
QStringList jobCalls(const MessageCapture& capture)
{
    QStringList calls;
    for (const QString& message : capture.messages) {
        if (message.contains(QLatin1String(": folder dialog: ")))
            calls << message;
    }
    return calls;
}

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

template<typename T>
T* child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QLatin1String(name));
}

void processDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KiteSettings> m_settings;
    std::unique_ptr<KiteProject> m_job;

    // A dialog as the job opens it; it deletes itself.
    QPointer<DirSelectDialog> openDirDialog(bool retryMode, bool restartAfterSelect = true)
    {
        return new DirSelectDialog(m_settings.get(), m_job.get(), restartAfterSelect, nullptr, retryMode);
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("kite.dialogs.debug=true"));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_settings = std::make_unique<KiteSettings>();
        m_settings->setApplicationDirectory(m_dir->path());
        m_settings->localProjectsFolder = m_dir->path();
        m_settings->username = QStringLiteral("tester");
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("tester")));
        m_job = std::make_unique<KiteProject>(m_settings.get(), QStringLiteral("shot_010"), QStringLiteral("42"));
    }

    void cleanup()
    {
        const auto widgets = QApplication::topLevelWidgets();
        for (QWidget* widget : widgets) {
            if (qobject_cast<DirSelectDialog*>(widget) || qobject_cast<QMessageBox*>(widget))
                widget->deleteLater();
        }
        processDeferredDeletes();
        TranslationLoader::install(qApp, QString());
        m_job.reset();
        m_settings.reset();
        LogWriter::instance().close();
        m_dir.reset();
    }

    // --- ErrorMessageDialog ------------------------------------------------

    void errorDialog_form()
    {
        ErrorMessageDialog dialog(QStringLiteral("Upload Error"), QStringLiteral("Upload of job a failed:\nTry again?"),
                                  QStringLiteral("https://support.example/ticket"), true);
        QCOMPARE(dialog.objectName(), QStringLiteral("ErrorMessageDialog"));
        QCOMPARE(dialog.size(), QSize(648, 232));
        QVERIFY(dialog.isSizeGripEnabled());
        QVERIFY(!dialog.isModal());
        QCOMPARE(dialog.sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(dialog.sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Upload Error"));
        QCOMPARE(child<QLabel>(&dialog, "labelTitle")->text(), QStringLiteral("Upload Error"));
        QCOMPARE(child<QTextBrowser>(&dialog, "textMessage")->toPlainText(),
                 QStringLiteral("Upload of job a failed:\nTry again?"));
        QCOMPARE(dialog.ticketUrl, QStringLiteral("https://support.example/ticket"));
        QVERIFY(dialog.hasRetryButton);

        const QList<QPair<const char*, QString>> buttons = {
            {"pushButtonRetry", QStringLiteral("Retry")},
            {"pushButtonClose", QStringLiteral("Close")},
            {"pushButtonNetwork", QStringLiteral("Network Settings")},
            {"pushButtonLogFiles", QStringLiteral("Upload Log Files")},
            {"pushButtonTicket", QStringLiteral("Support Ticket")},
        };
        auto* row = dialog.findChild<QHBoxLayout*>(QStringLiteral("horizontalLayout"));
        QVERIFY(row);
        for (int i = 0; i < buttons.size(); ++i) {
            auto* button = child<QPushButton>(&dialog, buttons.at(i).first);
            QVERIFY2(button, buttons.at(i).first);
            QCOMPARE(button->text(), buttons.at(i).second);
            QCOMPARE(row->indexOf(button), i);
        }
        auto* checkBox = child<QCheckBox>(&dialog, "checkboxLogFiles");
        QCOMPARE(checkBox->text(), QStringLiteral("Upload Log Files"));
        QCOMPARE(row->indexOf(checkBox), 5);
        QVERIFY(checkBox->isChecked());
        QVERIFY(!checkBox->isHidden());
        QVERIFY(child<QPushButton>(&dialog, "pushButtonLogFiles")->isHidden());
        QVERIFY(child<QPushButton>(&dialog, "pushButtonLogFiles")->isEnabled());
        QVERIFY(!child<QPushButton>(&dialog, "pushButtonRetry")->isHidden());
    }

    void errorDialog_richMessage()
    {
        ErrorMessageDialog dialog(QStringLiteral("t"), QStringLiteral("<b>bold</b> and <a href=\"https://x.example\">a link</a>"),
                                  QString(), false);
        auto* text = child<QTextBrowser>(&dialog, "textMessage");
        QCOMPARE(text->toPlainText(), QStringLiteral("bold and a link"));
        QVERIFY(text->openExternalLinks());
    }

    void errorDialog_options_data()
    {
        QTest::addColumn<bool>("retryButton");
        QTest::addColumn<bool>("hideLogCheckbox");

        QTest::newRow("retry, log check box") << true << false;
        QTest::newRow("retry, log files sent") << true << true;
        QTest::newRow("no retry, log check box") << false << false;
        QTest::newRow("no retry, log files sent") << false << true;
    }

    void errorDialog_options()
    {
        QFETCH(bool, retryButton);
        QFETCH(bool, hideLogCheckbox);

        ErrorMessageDialog dialog(QStringLiteral("t"), QStringLiteral("m"), QString(), retryButton, nullptr, hideLogCheckbox);
        dialog.show();
        QCOMPARE(child<QPushButton>(&dialog, "pushButtonRetry")->isVisible(), retryButton);
        QCOMPARE(child<QCheckBox>(&dialog, "checkboxLogFiles")->isVisible(), !hideLogCheckbox);
        QCOMPARE(child<QCheckBox>(&dialog, "checkboxLogFiles")->isChecked(), !hideLogCheckbox);
        QVERIFY(!child<QPushButton>(&dialog, "pushButtonLogFiles")->isVisible());
        QVERIFY(child<QPushButton>(&dialog, "pushButtonClose")->isVisible());
        QVERIFY(child<QPushButton>(&dialog, "pushButtonNetwork")->isVisible());
        QVERIFY(child<QPushButton>(&dialog, "pushButtonTicket")->isVisible());
    }

    void errorDialog_buttons_data()
    {
        QTest::addColumn<bool>("retryButton");
        QTest::addColumn<bool>("hideLogCheckbox");
        QTest::addColumn<bool>("userUnchecksLog");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("expectedSignals");
        QTest::addColumn<bool>("staysOpen");

        const QString ticketSignal = QStringLiteral("openLinkWithTokenSignal");
        const QString logSignal = QStringLiteral("uploadLogFilesSignal");
        QTest::newRow("close, with retry") << true << false << false << "pushButtonClose"
                                           << QStringList{"notRetryUploadSignal"} << false;
        QTest::newRow("close, without retry") << false << false << false << "pushButtonClose"
                                              << QStringList{"notRetryDownloadSignal"} << false;
        QTest::newRow("retry") << true << false << false << "pushButtonRetry" << QStringList{"RetrySignal"} << false;
        QTest::newRow("network settings") << false << false << false << "pushButtonNetwork"
                                          << QStringList{"OpenNetworkSettingsSignal"} << true;
        QTest::newRow("ticket with log files") << true << false << false << "pushButtonTicket"
                                               << QStringList{ticketSignal, logSignal} << true;
        QTest::newRow("ticket, log files already sent") << false << true << false << "pushButtonTicket"
                                                        << QStringList{ticketSignal} << true;
        QTest::newRow("ticket, log check box cleared") << false << false << true << "pushButtonTicket"
                                                       << QStringList{ticketSignal} << true;
        QTest::newRow("log files button") << false << false << false << "pushButtonLogFiles"
                                          << QStringList{logSignal} << true;
    }

    void errorDialog_buttons()
    {
        QFETCH(bool, retryButton);
        QFETCH(bool, hideLogCheckbox);
        QFETCH(bool, userUnchecksLog);
        QFETCH(QString, button);
        QFETCH(QStringList, expectedSignals);
        QFETCH(bool, staysOpen);

        const QString ticketUrl = QStringLiteral("https://support.example/ticket?subPreset=ERROR_UPL: shot_010");
        ErrorMessageDialog dialog(QStringLiteral("Upload Error"), QStringLiteral("m"), ticketUrl, retryButton, nullptr,
                                  hideLogCheckbox);
        dialog.show();
        if (userUnchecksLog)
            child<QCheckBox>(&dialog, "checkboxLogFiles")->setChecked(false);

        QSignalSpy network(&dialog, &ErrorMessageDialog::OpenNetworkSettingsSignal);
        QSignalSpy retry(&dialog, &ErrorMessageDialog::RetrySignal);
        QSignalSpy ticket(&dialog, &ErrorMessageDialog::openLinkWithTokenSignal);
        QSignalSpy notRetryUpload(&dialog, &ErrorMessageDialog::notRetryUploadSignal);
        QSignalSpy notRetryDownload(&dialog, &ErrorMessageDialog::notRetryDownloadSignal);
        QSignalSpy logFiles(&dialog, &ErrorMessageDialog::uploadLogFilesSignal);
        const QList<QPair<QString, QSignalSpy*>> spies{
            {QStringLiteral("OpenNetworkSettingsSignal"), &network},
            {QStringLiteral("RetrySignal"), &retry},
            {QStringLiteral("openLinkWithTokenSignal"), &ticket},
            {QStringLiteral("notRetryUploadSignal"), &notRetryUpload},
            {QStringLiteral("notRetryDownloadSignal"), &notRetryDownload},
            {QStringLiteral("uploadLogFilesSignal"), &logFiles},
        };

        child<QPushButton>(&dialog, button.toLatin1().constData())->click();

        for (const auto& [name, spy] : spies)
            QVERIFY2(spy->count() == (expectedSignals.contains(name) ? 1 : 0), qPrintable(name));
        if (!ticket.isEmpty())
            QCOMPARE(ticket.at(0).at(0).toString(), ticketUrl);
        QCOMPARE(dialog.isVisible(), staysOpen);
    }

    void errorDialog_ticketLinkBeforeLogFiles()
    {
        ErrorMessageDialog dialog(QStringLiteral("t"), QStringLiteral("m"), QStringLiteral("u"), false);
        QStringList order;
        connect(&dialog, &ErrorMessageDialog::openLinkWithTokenSignal, this, [&order] { order << QStringLiteral("link"); });
        connect(&dialog, &ErrorMessageDialog::uploadLogFilesSignal, this, [&order] { order << QStringLiteral("logs"); });
        child<QPushButton>(&dialog, "pushButtonTicket")->click();
        QCOMPARE(order, (QStringList{QStringLiteral("link"), QStringLiteral("logs")}));
    }

    void errorDialog_logFilesButtonOnce()
    {
        ErrorMessageDialog dialog(QStringLiteral("t"), QStringLiteral("m"), QString(), false);
        QSignalSpy logs(&dialog, &ErrorMessageDialog::uploadLogFilesSignal);
        auto* button = child<QPushButton>(&dialog, "pushButtonLogFiles");
        button->click();
        QCOMPARE(logs.count(), 1);
        QVERIFY(!button->isEnabled());
        QCOMPARE(button->text(), QStringLiteral("Log Files Sent"));
        button->click(); // disabled: no second upload
        QCOMPARE(logs.count(), 1);
    }

    void errorDialog_windowCloseSendsNothing_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("close button") << false;
        QTest::newRow("escape") << true;
    }

    void errorDialog_windowCloseSendsNothing()
    {
        QFETCH(bool, escape);
        ErrorMessageDialog dialog(QStringLiteral("t"), QStringLiteral("m"), QString(), true);
        dialog.show();
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        spies.push_back(std::make_unique<QSignalSpy>(&dialog, &ErrorMessageDialog::RetrySignal));
        spies.push_back(std::make_unique<QSignalSpy>(&dialog, &ErrorMessageDialog::notRetryUploadSignal));
        spies.push_back(std::make_unique<QSignalSpy>(&dialog, &ErrorMessageDialog::notRetryDownloadSignal));
        spies.push_back(std::make_unique<QSignalSpy>(&dialog, &ErrorMessageDialog::uploadLogFilesSignal));
        if (escape)
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            QVERIFY(dialog.close());
        QVERIFY(!dialog.isVisible());
        for (const auto& spy : spies)
            QCOMPARE(spy->count(), 0);
    }

    // --- DirSelectDialog ---------------------------------------------------

    void dirDialog_form_data()
    {
        QTest::addColumn<bool>("retryMode");
        QTest::newRow("default mode") << false;
        QTest::newRow("retry mode") << true;
    }

    void dirDialog_form()
    {
        QFETCH(bool, retryMode);
        QPointer<DirSelectDialog> dialog = openDirDialog(retryMode);
        QVERIFY(dialog && dialog->ui);
        QCOMPARE(dialog->objectName(), QStringLiteral("DirSelectDialog"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Select Directory"));
        // The form's 646 x 125; the layout may make it taller for its texts.
        QCOMPARE(dialog->width(), 646);
        QVERIFY(dialog->height() >= 125);
        QVERIFY(dialog->isVisible());
        QVERIFY(!(dialog->windowFlags() & Qt::WindowContextHelpButtonHint));
        QVERIFY(m_job->dirSelectOpen);
        QCOMPARE(dialog->countdown, 120);
        QCOMPARE(dialog->retryMode, retryMode);
        QVERIFY(dialog->restartAfterSelect);
        QCOMPARE(dialog->kiteSettings, m_settings.get());
        QVERIFY(dialog->timer && dialog->timer->isActive());
        QCOMPARE(dialog->timer->interval(), 1000);
        QVERIFY(!dialog->timer->isSingleShot());

        QCOMPARE(child<QLabel>(dialog, "labelJobname")->text(), QStringLiteral("shot_010"));
        QCOMPARE(child<QLabel>(dialog, "label")->text(), QStringLiteral("After 120 Seconds a default directory will be selected."));
        const QString message = retryMode ? QStringLiteral("Download of output files failed several times. \n"
                                                           "Make sure you have write permissions in target directory")
                                          : QStringLiteral("Output directory of scene not found,  please select a directory.");
        QCOMPARE(child<QLabel>(dialog, "labelMessage")->text(), message);

        auto* retry = child<QPushButton>(dialog, "pushButtonRetry");
        auto* defaultDir = child<QPushButton>(dialog, "pushButtonDefault");
        auto* select = child<QPushButton>(dialog, "pushButtonSelect");
        auto* cancel = child<QPushButton>(dialog, "pushButtonCancel");
        QCOMPARE(retry->text(), QStringLiteral("Retry"));
        QCOMPARE(defaultDir->text(), QStringLiteral("Default Dir"));
        QCOMPARE(select->text(), QStringLiteral("Select..."));
        QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
        QCOMPARE(retry->isVisible(), retryMode);
        QVERIFY(defaultDir->isVisible() && select->isVisible() && cancel->isVisible());

        // Tab order: Default Dir comes before Cancel.
        QList<QWidget*> chain;
        for (QWidget* w = retry->nextInFocusChain(); w != retry && chain.size() < 50; w = w->nextInFocusChain())
            chain << w;
        QVERIFY(chain.indexOf(defaultDir) >= 0);
        QVERIFY(chain.indexOf(defaultDir) < chain.indexOf(cancel));
    }

    void dirDialog_countdown_data()
    {
        QTest::addColumn<bool>("retryMode");
        QTest::addColumn<QString>("waitingButton");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("automaticCall");

        QTest::newRow("retry mode") << true << "pushButtonRetry" << "Retry"
                                    << "shot_010: folder dialog: restartDownloadSlot(true, true)";
        QTest::newRow("default mode") << false << "pushButtonDefault" << "Default Dir"
                                      << "shot_010: folder dialog: createLocalDownloadDir(true)";
    }

    void dirDialog_countdown()
    {
        QFETCH(bool, retryMode);
        QFETCH(QString, waitingButton);
        QFETCH(QString, caption);
        QFETCH(QString, automaticCall);

        MessageCapture capture("kite.dialogs", true);
        QPointer<DirSelectDialog> dialog = openDirDialog(retryMode);
        auto* button = child<QPushButton>(dialog, waitingButton.toLatin1().constData());
        auto* other = child<QPushButton>(dialog, retryMode ? "pushButtonDefault" : "pushButtonRetry");
        const QString otherText = other->text();

        dialog->refreshTextSlot();
        QCOMPARE(button->text(), caption + QStringLiteral(" (119)"));
        for (int tick = 2; tick <= 118; ++tick) {
            dialog->refreshTextSlot();
            QCOMPARE(button->text(), caption + QStringLiteral(" (%1)").arg(120 - tick));
        }
        QCOMPARE(button->text(), caption + QStringLiteral(" (2)"));
        QCOMPARE(other->text(), otherText);
        QVERIFY(jobCalls(capture).isEmpty());
        QVERIFY(m_job->dirSelectOpen);
        QVERIFY(dialog->isVisible());

        // Tick 119: the dialog acts by itself.
        dialog->refreshTextSlot();
        QCOMPARE(jobCalls(capture), QStringList{automaticCall});
        QVERIFY(!m_job->dirSelectOpen);
        QVERIFY(!dialog->isVisible());
        QVERIFY(!dialog->timer->isActive());
        processDeferredDeletes();
        QVERIFY(dialog.isNull());
    }

    void dirDialog_timerDrivesCountdown()
    {
        QPointer<DirSelectDialog> dialog = openDirDialog(true);
        QMetaObject::invokeMethod(dialog->timer, "timeout", Qt::DirectConnection);
        QCOMPARE(dialog->countdown, 119);
        // The connection is unique: one tick per timeout.
        QMetaObject::invokeMethod(dialog->timer, "timeout", Qt::DirectConnection);
        QCOMPARE(dialog->countdown, 118);
    }

    void dirDialog_buttons_data()
    {
        QTest::addColumn<bool>("retryMode");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("expectedCalls");

        const QStringList none;
        const QStringList restart{QStringLiteral("shot_010: folder dialog: restartDownloadSlot(true, true)")};
        const QStringList createDefault{QStringLiteral("shot_010: folder dialog: createLocalDownloadDir(true)")};
        QTest::newRow("retry") << true << "pushButtonRetry" << restart;
        QTest::newRow("default dir, retry mode") << true << "pushButtonDefault" << createDefault;
        QTest::newRow("default dir") << false << "pushButtonDefault" << createDefault;
        QTest::newRow("cancel") << false << "pushButtonCancel" << none;
        QTest::newRow("escape") << true << "escape" << none;
        QTest::newRow("window close button") << true << "close" << none;
    }

    void dirDialog_buttons()
    {
        QFETCH(bool, retryMode);
        QFETCH(QString, action);
        QFETCH(QStringList, expectedCalls);

        MessageCapture capture("kite.dialogs", true);
        QPointer<DirSelectDialog> dialog = openDirDialog(retryMode);
        dialog->refreshTextSlot();
        QSignalSpy finished(dialog.data(), &QDialog::finished);

        if (action == QLatin1String("escape"))
            QTest::keyClick(dialog.data(), Qt::Key_Escape);
        else if (action == QLatin1String("close"))
            dialog->close();
        else
            child<QPushButton>(dialog, action.toLatin1().constData())->click();

        QCOMPARE(jobCalls(capture), expectedCalls);
        QVERIFY(!m_job->dirSelectOpen);
        QVERIFY(!dialog->isVisible());
        QVERIFY(!dialog->timer->isActive());
        QCOMPARE(finished.count(), 1);
        processDeferredDeletes();
        QVERIFY(dialog.isNull());
    }

    void dirDialog_select_data()
    {
        QTest::addColumn<bool>("restartAfterSelect");
        QTest::addColumn<bool>("isDownloading");
        QTest::addColumn<QString>("expectedCall");

        QTest::newRow("restart requested") << true << false << "shot_010: folder dialog: dirSelectSlot(true)";
        QTest::newRow("no restart") << false << false << "shot_010: folder dialog: dirSelectSlot(false)";
        QTest::newRow("download running") << false << true << "shot_010: folder dialog: dirSelectSlot(true)";
    }

    void dirDialog_select()
    {
        QFETCH(bool, restartAfterSelect);
        QFETCH(bool, isDownloading);
        QFETCH(QString, expectedCall);

        m_job->isDownloading = isDownloading;
        MessageCapture capture("kite.dialogs", true);
        QPointer<DirSelectDialog> dialog = openDirDialog(false, restartAfterSelect);
        ModalCloser closer;

        child<QPushButton>(dialog, "pushButtonSelect")->click();

        QCOMPARE(jobCalls(capture), QStringList{expectedCall});
        QVERIFY(dialog);
        QCOMPARE(dialog->restartAfterSelect, restartAfterSelect || isDownloading);
        QVERIFY(!dialog->timer->isActive());
        QVERIFY(!dialog->isVisible());
        QVERIFY(!m_job->dirSelectOpen);
        processDeferredDeletes();
        QVERIFY(dialog.isNull());
    }

    void dirDialog_oneDialogPerJob()
    {
        QPointer<DirSelectDialog> first = openDirDialog(true);
        QVERIFY(m_job->dirSelectOpen);

        QPointer<DirSelectDialog> second = openDirDialog(true);
        QVERIFY(second);
        QVERIFY(!second->ui);
        QVERIFY(!second->timer);
        QVERIFY(!second->isVisible());
        QVERIFY(second->findChildren<QPushButton*>().isEmpty());
        // Slots of the empty dialog do nothing.
        second->refreshTextSlot();
        QCOMPARE(second->countdown, 120);
        processDeferredDeletes();
        QVERIFY(second.isNull());

        // The first one is untouched and still owns the job's flag.
        QVERIFY(first);
        QVERIFY(first->isVisible());
        QVERIFY(m_job->dirSelectOpen);
        first->refreshTextSlot();
        QCOMPARE(child<QPushButton>(first, "pushButtonRetry")->text(), QStringLiteral("Retry (119)"));

        // Another job gets its own dialog.
        KiteProject otherJob(m_settings.get(), QStringLiteral("shot_020"), QString());
        QPointer<DirSelectDialog> other = new DirSelectDialog(m_settings.get(), &otherJob, true, nullptr, true);
        QVERIFY(other->ui);
        QVERIFY(otherJob.dirSelectOpen);

        // Once the first has ended, the job can have a new one.
        child<QPushButton>(first, "pushButtonCancel")->click();
        QVERIFY(!m_job->dirSelectOpen);
        QPointer<DirSelectDialog> third = openDirDialog(true);
        QVERIFY(third->ui);
        QVERIFY(third->isVisible());

        child<QPushButton>(other, "pushButtonCancel")->click();
        child<QPushButton>(third, "pushButtonCancel")->click();
        processDeferredDeletes();
        QVERIFY(first.isNull() && other.isNull() && third.isNull());
    }

    void dirDialog_jobDeleted_data()
    {
        QTest::addColumn<bool>("retryMode");
        QTest::addColumn<QString>("action");

        QTest::newRow("next tick, retry mode") << true << "tick";
        QTest::newRow("next tick, default mode") << false << "tick";
        QTest::newRow("last tick") << true << "last tick";
        QTest::newRow("select") << false << "pushButtonSelect";
        QTest::newRow("default dir") << false << "pushButtonDefault";
        QTest::newRow("retry") << true << "pushButtonRetry";
        QTest::newRow("directory chosen") << true << "dirSelected";
    }

    void dirDialog_jobDeleted()
    {
        QFETCH(bool, retryMode);
        QFETCH(QString, action);

        MessageCapture capture("kite.dialogs", true);
        QPointer<DirSelectDialog> dialog = openDirDialog(retryMode);
        if (action == QLatin1String("last tick")) {
            for (int tick = 1; tick <= 118; ++tick)
                dialog->refreshTextSlot();
        }
        // What a call into the job would change.
        m_job->isDeleted = true;
        m_job->hasDownloadError = true;
        m_job->checkForFilesToDownload = false;
        m_job->downloadJobErrorCount = 7;
        ModalCloser closer;

        if (action == QLatin1String("tick") || action == QLatin1String("last tick"))
            dialog->refreshTextSlot();
        else if (action == QLatin1String("dirSelected"))
            dialog->dirSelectedSlot(QStringLiteral("/ignored"));
        else
            child<QPushButton>(dialog, action.toLatin1().constData())->click();

        QVERIFY(jobCalls(capture).isEmpty());
        QCOMPARE(closer.closed, 0);
        QVERIFY(m_job->hasDownloadError);
        QVERIFY(!m_job->checkForFilesToDownload);
        QCOMPARE(m_job->downloadJobErrorCount, 7);
        QVERIFY(m_job->localDownloadDirCustom.isEmpty());
        QVERIFY(!dialog->isVisible());
        QVERIFY(!dialog->timer->isActive());
        processDeferredDeletes();
        QVERIFY(dialog.isNull());
    }

    void dirDialog_directoryChosenForLiveJob()
    {
        QPointer<DirSelectDialog> dialog = openDirDialog(true);
        dialog->dirSelectedSlot(QStringLiteral("/some/where"));
        QVERIFY(dialog->isVisible());
        QVERIFY(dialog->timer->isActive());
        QVERIFY(m_job->dirSelectOpen);
    }

    void dirDialog_jobObjectDestroyed()
    {
        MessageCapture capture("kite.dialogs", true);
        QPointer<DirSelectDialog> dialog = openDirDialog(true);
        m_job.reset();
        dialog->refreshTextSlot();
        QVERIFY(jobCalls(capture).isEmpty());
        QVERIFY(!dialog->isVisible());
        processDeferredDeletes();
        QVERIFY(dialog.isNull());
    }

    // --- ErrorMessage (overwrite question) ----------------------------------

    void overwrite_box()
    {
        MessageCapture capture("kite.dialogs", true);
        ErrorMessage question(QStringLiteral("Overwrite File? (Job: shot_010)"),
                              QStringLiteral("A file with the same filename but a different filesize is already in the "
                                             "target folder. Overwrite?\nframe_0001.exr"),
                              m_job.get());
        QSignalSpy shown(&question, &ErrorMessage::showMessage);
        QVERIFY(!question.messageBox);

        question.showMessageBox();

        QCOMPARE(shown.count(), 1);
        QVERIFY(capture.messages.contains(QStringLiteral("28 showMessage();")));
        QVERIFY(question.messageBox);
        QVERIFY(!question.messageBox->parent());
        QVERIFY(question.messageBox->isVisible());
        QVERIFY(!question.messageBox->isModal());
        QCOMPARE(question.messageBox->windowTitle(), question.title);
        QCOMPARE(question.messageBox->text(), question.text);
        const QList<QPushButton*> buttons{question.buttonOverwriteOne, question.buttonOverwriteAll, question.buttonSkipOne,
                                          question.buttonSkipAll};
        const QStringList captions{QStringLiteral("Overwrite One"), QStringLiteral("Overwrite All"),
                                   QStringLiteral("Skip One"), QStringLiteral("Skip All")};
        QCOMPARE(question.messageBox->buttons().size(), 4);
        for (int i = 0; i < buttons.size(); ++i) {
            QVERIFY(buttons.at(i));
            QCOMPARE(buttons.at(i)->text(), captions.at(i));
            QCOMPARE(question.messageBox->buttonRole(buttons.at(i)), QMessageBox::ActionRole);
        }
    }

    void overwrite_answers_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("overwrite");
        QTest::addColumn<bool>("all");
        QTest::addColumn<bool>("ignore");
        QTest::addColumn<QString>("caption");

        QTest::newRow("overwrite one") << 0 << true << false << false << "Overwrite One";
        QTest::newRow("overwrite all") << 1 << true << true << false << "Overwrite All";
        QTest::newRow("skip one") << 2 << false << false << false << "Skip One";
        QTest::newRow("skip all") << 3 << false << true << false << "Skip All";
    }

    void overwrite_answers()
    {
        QFETCH(int, button);
        QFETCH(bool, overwrite);
        QFETCH(bool, all);
        QFETCH(bool, ignore);
        QFETCH(QString, caption);

        MessageCapture capture("kite.dialogs", true);
        QPointer<ErrorMessage> question = new ErrorMessage(QStringLiteral("t"), QStringLiteral("x"), m_job.get());
        QSignalSpy answers(question.data(), &ErrorMessage::confirmOverwriteSignal);
        QSignalSpy retries(question.data(), &ErrorMessage::retry);
        question->showMessageBox();
        QPointer<QMessageBox> box = question->messageBox;
        const QList<QPushButton*> buttons{question->buttonOverwriteOne, question->buttonOverwriteAll,
                                          question->buttonSkipOne, question->buttonSkipAll};

        QTest::mouseClick(buttons.at(button), Qt::LeftButton);

        QCOMPARE(answers.count(), 1);
        QCOMPARE(answers.at(0).at(0).toBool(), overwrite);
        QCOMPARE(answers.at(0).at(1).toBool(), all);
        QCOMPARE(answers.at(0).at(2).toBool(), ignore);
        QCOMPARE(retries.count(), 0);
        QVERIFY(capture.messages.contains(QStringLiteral("button pushed: ") + caption));
        QVERIFY(!box->isVisible());
        processDeferredDeletes();
        QVERIFY(box.isNull());
        QVERIFY(!question->messageBox);
        // The object itself stays with its parent.
        QVERIFY(question);
        QCOMPARE(question->parent(), m_job.get());
        delete question.data();
    }

    void overwrite_windowCloseSendsNothing_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("close button") << false;
        QTest::newRow("escape") << true;
    }

    void overwrite_windowCloseSendsNothing()
    {
        QFETCH(bool, escape);
        ErrorMessage question(QStringLiteral("t"), QStringLiteral("x"));
        QSignalSpy answers(&question, &ErrorMessage::confirmOverwriteSignal);
        question.showMessageBox();
        QPointer<QMessageBox> box = question.messageBox;

        if (escape)
            QTest::keyClick(box.data(), Qt::Key_Escape);
        else
            box->close();
        processDeferredDeletes();

        QCOMPARE(answers.count(), 0);
        // The question stays until it is answered.
        QVERIFY(box);
        QVERIFY(box->isVisible());
        QTest::mouseClick(question.buttonSkipOne, Qt::LeftButton);
        QCOMPARE(answers.count(), 1);
    }

    void overwrite_foreignButtonSendsNothing()
    {
        ErrorMessage question(QStringLiteral("t"), QStringLiteral("x"));
        QSignalSpy answers(&question, &ErrorMessage::confirmOverwriteSignal);
        question.showMessageBox();
        QPushButton foreign(QStringLiteral("Overwrite One"));
        question.buttonClickedSlot(&foreign);
        QCOMPARE(answers.count(), 0);
    }

    void overwrite_unansweredBoxGoesWithObject()
    {
        auto* question = new ErrorMessage(QStringLiteral("t"), QStringLiteral("x"), m_job.get());
        question->showMessageBox();
        QPointer<QMessageBox> box = question->messageBox;
        delete question;
        QVERIFY(!box->isVisible());
        processDeferredDeletes();
        QVERIFY(box.isNull());
    }

    void overwrite_askedAgainReplacesBox()
    {
        ErrorMessage question(QStringLiteral("t"), QStringLiteral("x"));
        QSignalSpy answers(&question, &ErrorMessage::confirmOverwriteSignal);
        question.showMessageBox();
        QPointer<QMessageBox> first = question.messageBox;
        QPointer<QPushButton> firstSkip = question.buttonSkipAll;
        question.showMessageBox();
        processDeferredDeletes();
        QVERIFY(first.isNull());
        QVERIFY(firstSkip.isNull());
        QVERIFY(question.messageBox);
        QTest::mouseClick(question.buttonOverwriteAll, Qt::LeftButton);
        QCOMPARE(answers.count(), 1);
    }

    // --- Translations -------------------------------------------------------

    void translation_german()
    {
        QVERIFY(TranslationLoader::install(qApp, QStringLiteral("de")));
        {
            ErrorMessageDialog dialog(QStringLiteral("t"), QStringLiteral("m"), QString(), true);
            QCOMPARE(child<QPushButton>(&dialog, "pushButtonClose")->text(), QStringLiteral("Schließen"));
            QCOMPARE(child<QPushButton>(&dialog, "pushButtonRetry")->text(), QStringLiteral("Wiederholen"));
        }
        {
            QPointer<DirSelectDialog> dialog = openDirDialog(false);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Verzeichnis auswählen"));
            dialog->refreshTextSlot();
            QCOMPARE(child<QPushButton>(dialog, "pushButtonDefault")->text(), QStringLiteral("Standardverzeichnis (119)"));
            child<QPushButton>(dialog, "pushButtonCancel")->click();
        }
        {
            // Translated captions give the same answers.
            ErrorMessage question(QStringLiteral("t"), QStringLiteral("x"));
            QSignalSpy answers(&question, &ErrorMessage::confirmOverwriteSignal);
            question.showMessageBox();
            QCOMPARE(question.buttonOverwriteAll->text(), QStringLiteral("Alle überschreiben"));
            QTest::mouseClick(question.buttonOverwriteAll, Qt::LeftButton);
            QCOMPARE(answers.count(), 1);
            QCOMPARE(answers.at(0).at(0).toBool(), true);
            QCOMPARE(answers.at(0).at(1).toBool(), true);
        }

        // A region falls back to its language; only one translation at a time.
        QVERIFY(TranslationLoader::install(qApp, QStringLiteral("de_AT")));
        QCOMPARE(qApp->findChildren<QTranslator*>().size(), 1);

        // An unknown language leaves the source texts.
        QVERIFY(!TranslationLoader::install(qApp, QStringLiteral("xx")));
        QVERIFY(qApp->findChildren<QTranslator*>().isEmpty());
        ErrorMessageDialog dialog(QStringLiteral("t"), QStringLiteral("m"), QString(), true);
        QCOMPARE(child<QPushButton>(&dialog, "pushButtonClose")->text(), QStringLiteral("Close"));
        QVERIFY(!TranslationLoader::install(nullptr, QStringLiteral("de")));
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
