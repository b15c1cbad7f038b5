#pragma once

#include "kiteshared_export.h"

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class ErrorMessageDialog;
}

// A non-modal dialog showing an error with Retry, Close, Network Settings and
// Support Ticket, and a check box to send the log files with a ticket.
class KITESHARED_EXPORT ErrorMessageDialog : public QDialog
{
    Q_OBJECT
public:
    ErrorMessageDialog(QString title, QString message, QString ticketUrl, bool retryButton,
                       QWidget* parent = nullptr, bool hideLogCheckbox = false);
    ~ErrorMessageDialog() override;

    std::unique_ptr<Ui::ErrorMessageDialog> ui;
    QString ticketUrl;
    bool hasRetryButton = false;

signals:
    void OpenNetworkSettingsSignal();
    void RetrySignal();
    void openLinkWithTokenSignal(QString linkUrl);
    void notRetryUploadSignal();
    void notRetryDownloadSignal();
    void uploadLogFilesSignal();

private slots:
    void on_pushButtonClose_clicked();
    void on_pushButtonNetwork_clicked();
    void on_pushButtonTicket_clicked();
    void on_pushButtonRetry_clicked();
    void on_pushButtonLogFiles_clicked();
};
