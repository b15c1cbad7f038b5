#include "jobs/kiteproject.h"

#include "dialogs/errormessagedialog.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QMenu>
#include <QTimer>

// Render, upload and download errors of a job: the status line, the "Error"
// section of the job's menu and the error dialog.

void KiteProject::ensureErrorAction(const QString& text, ErrorEntry entry)
{
    // The section and its entry are added once; a later error only changes
    // what the entry says and opens.
    m_errorEntry = entry;
    m_errorText = text;
    if (errorAction) {
        errorAction->setText(text);
        return;
    }
    if (jobMenu)
        addErrorSection();
}

void KiteProject::addErrorSection()
{
    m_errorSection = jobMenu->addSection(tr("Error"));
    errorAction = new QAction(m_errorText, jobAction);
    jobMenu->addAction(errorAction);
    connect(errorAction, &QAction::triggered, this, &KiteProject::errorActionTriggered);
}

void KiteProject::errorActionTriggered()
{
    switch (m_errorEntry) {
    case ErrorEntry::RenderError:
        showRenderErrorText();
        break;
    case ErrorEntry::UploadError:
        showErrorReadme();
        break;
    case ErrorEntry::DownloadError:
        showDownloadErrorMessageSlot();
        break;
    }
}

void KiteProject::setErrorRendering()
{
    log(QStringLiteral(": setErrorRendering"));
    showEntry(MenuEntry::RestartUpload, true);
    setStatusIcon(QStringLiteral("waitingred"));
    if (!renderErrorShown && !isUnknown)
        notify(tr("Render Error"), tr("Render job has error, please check ControlCenter"), QStringLiteral("RenderError"));
    renderErrorShown = true;
    renderComplete = true;
    isRendering = false;
    isPaused = false;
    isUnknown = false;
    ensureErrorAction(tr("ee!"), ErrorEntry::RenderError);
    log(QStringLiteral(": data == ERROR_REND: "));
    setStatusText(tr(" ERROR README"));
}

void KiteProject::setErrorUpload(bool showMessage)
{
    log(QStringLiteral(": setErrorUpload"));
    if (uploadRateTimer)
        uploadRateTimer->stop();
    setStatusIcon(QStringLiteral("waitingred"));
    if (showMessage) {
        notify(tr("Upload Error"), tr("Upload of job files failed several times"), QStringLiteral("UploadError"));
        showErrorText(tr("Upload Error"), tr("Upload of job ") + name + tr(" failed:\nTry again?\n\n") + uploadErrorText,
                      uploadTicketLink(), true);
    }
    ensureErrorAction(tr("Read me!"), ErrorEntry::UploadError);
    hasUploadError = true;
    setStatusText(tr(" ERROR README"));
}

void KiteProject::setErrorResume()
{
    log(QStringLiteral(": setErrorResume"));
    showEntry(MenuEntry::RestartUpload, true);
    setStatusIcon(QStringLiteral("waitingred"));
    showErrorText(tr("Upload Error"), tr("Upload of job ") + name + tr(" failed:\nTry again?\n") + uploadErrorText,
                  uploadTicketLink(), true);
}

void KiteProject::openErrorDialog(const QString& title, const QString& message, const QString& ticketUrl,
                                  bool retryButton, bool hideLogCheckbox)
{
    if (errorDialog) {
        errorDialog->close();
        errorDialog->deleteLater();
    }
    auto* dialog = new ErrorMessageDialog(title, message, ticketUrl, retryButton, nullptr, hideLogCheckbox);
    errorDialog = dialog;
    if (kiteSettings) {
        connect(dialog, &ErrorMessageDialog::OpenNetworkSettingsSignal, kiteSettings,
                &KiteSettings::openNetworkSettingsSlot);
        connect(dialog, &ErrorMessageDialog::openLinkWithTokenSignal, kiteSettings,
                &KiteSettings::openLinkWithTokenSlot);
        connect(dialog, &ErrorMessageDialog::uploadLogFilesSignal, kiteSettings, &KiteSettings::uploadLogFilesSignal);
    }
    connect(dialog, &ErrorMessageDialog::RetrySignal, this, [this] { retryUploadSlot(0); });
    dialog->show();
    dialog->raise();
}

void KiteProject::showErrorText(QString title, QString message, QString ticketUrl, bool retryButton)
{
    log(QStringLiteral(": showErrorText"));
    openErrorDialog(title, message, ticketUrl, retryButton, kiteSettings && kiteSettings->logFilesSent);
}

void KiteProject::showErrorReadme()
{
    log(QStringLiteral(": showErrorReadme "));
    if (!kiteSettings)
        return;
    openErrorDialog(tr("Upload Error"), tr("Upload of job ") + name + tr(" failed:\nTry again?\n\n") + uploadErrorText,
                    uploadTicketLink(), true, false);
}

// The entry of a render error opens the error text with a support link.
void KiteProject::showRenderErrorText()
{
    log(QStringLiteral(": showRenderErrorText"));
    if (!kiteSettings)
        return;
    showErrorText(tr("Render Error"), tr("Render job has error, please check ControlCenter"), supportTicketLink(), false);
}

void KiteProject::showDownloadErrorMessageSlot()
{
    log(QStringLiteral(": showDownloadErrorMessageSlot"));
    if (downloadErrorRetryTimer)
        downloadErrorRetryTimer->stop();
    openRetryDirDialog();
}
