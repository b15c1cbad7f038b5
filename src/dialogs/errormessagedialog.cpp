#include "dialogs/errormessagedialog.h"

#include "dialogs/dialogslogging.h"

#include "ui_errormessagedialog.h"

#include <QFont>

ErrorMessageDialog::ErrorMessageDialog(QString title, QString message, QString ticketUrl,
                                       bool retryButton, QWidget* parent, bool hideLogCheckbox)
    : QDialog(parent)
    , ui(std::make_unique<Ui::ErrorMessageDialog>())
    , ticketUrl(std::move(ticketUrl))
    , hasRetryButton(retryButton)
{
    // setupUi also connects the on_<button>_clicked slots by object name.
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    // The title is plain text in bold, as the form shows it; the message may
    // be rich text, and links in it open in the desktop's browser.
    QFont titleFont = ui->labelTitle->font();
    titleFont.setBold(true);
    ui->labelTitle->setFont(titleFont);
    ui->labelTitle->setTextFormat(Qt::PlainText);
    ui->labelTitle->setText(title);
    setWindowTitle(title);
    ui->textMessage->setOpenExternalLinks(true);
    ui->textMessage->setText(message);

    if (!hasRetryButton)
        ui->pushButtonRetry->hide();
    // Log files go along with a support ticket (the check box); the separate
    // button is kept in the form but not offered.
    ui->pushButtonLogFiles->hide();
    if (hideLogCheckbox) {
        ui->checkboxLogFiles->hide();
        ui->checkboxLogFiles->setChecked(false);
    }

    activateWindow();
    raise();
}

ErrorMessageDialog::~ErrorMessageDialog() = default;

void ErrorMessageDialog::on_pushButtonClose_clicked()
{
    qCDebug(lcDialogs) << "error dialog: Close";
    if (hasRetryButton)
        emit notRetryUploadSignal();
    else
        emit notRetryDownloadSignal();
    hide();
}

void ErrorMessageDialog::on_pushButtonNetwork_clicked()
{
    qCDebug(lcDialogs) << "error dialog: Network Settings";
    emit OpenNetworkSettingsSignal();
}

void ErrorMessageDialog::on_pushButtonTicket_clicked()
{
    qCDebug(lcDialogs) << "error dialog: Support Ticket, log files:" << ui->checkboxLogFiles->isChecked();
    emit openLinkWithTokenSignal(ticketUrl);
    if (ui->checkboxLogFiles->isChecked())
        emit uploadLogFilesSignal();
}

void ErrorMessageDialog::on_pushButtonRetry_clicked()
{
    qCDebug(lcDialogs) << "error dialog: Retry";
    emit RetrySignal();
    hide();
}

void ErrorMessageDialog::on_pushButtonLogFiles_clicked()
{
    qCDebug(lcDialogs) << "error dialog: Upload Log Files";
    ui->pushButtonLogFiles->setEnabled(false);
    ui->pushButtonLogFiles->setText(tr("Log Files Sent"));
    emit uploadLogFilesSignal();
}
