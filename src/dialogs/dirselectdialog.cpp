#include "dialogs/dirselectdialog.h"

#include "dialogs/dialogslogging.h"
#include "jobs/kiteproject.h"

#include "ui_dirselectdialog.h"

#include <QFont>
#include <QTimer>

DirSelectDialog::DirSelectDialog(KiteSettings* settings, KiteProject* jobObject, bool restart,
                                 QWidget* parent, bool retry)
    : QDialog(parent)
    , kiteSettings(settings)
    , job(jobObject)
    , restartAfterSelect(restart)
    , retryMode(retry)
{
    if (!job || job->dirSelectOpen) {
        // The job's dialog is already on screen (or there is no job): this one
        // stays empty and goes away again.
        qCDebug(lcDialogs).noquote().nospace()
            << (job ? job->name : QStringLiteral("(no job)")) << ": folder dialog already open";
        finished = true;
        deleteLater();
        return;
    }
    job->dirSelectOpen = true;
    countdown = countdownStart;

    ui = std::make_unique<Ui::DirSelectDialog>();
    // setupUi also connects the on_<button>_clicked slots by object name.
    ui->setupUi(this);

    if (!retryMode) {
        ui->pushButtonRetry->hide();
    } else {
        ui->labelMessage->setText(tr("Download of output files failed several times. ") + QLatin1Char('\n')
                                  + tr("Make sure you have write permissions in target directory"));
    }

    QFont nameFont = ui->labelJobname->font();
    nameFont.setBold(true);
    ui->labelJobname->setFont(nameFont);
    ui->labelJobname->setTextFormat(Qt::PlainText);
    ui->labelJobname->setText(job->name);

    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    show();
    activateWindow();
    raise();

    // Escape and the window's close button end the dialog like Cancel.
    connect(this, &QDialog::rejected, this, &DirSelectDialog::on_pushButtonCancel_clicked);

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &DirSelectDialog::refreshTextSlot, Qt::UniqueConnection);
    timer->start(1000);
}

DirSelectDialog::~DirSelectDialog() = default;

bool DirSelectDialog::jobDeleted() const
{
    return !job || job->isDeleted;
}

void DirSelectDialog::finish(int result)
{
    if (finished)
        return;
    finished = true;
    if (timer)
        timer->stop();
    if (job)
        job->dirSelectOpen = false;
    // done() hides the dialog and emits rejected() for Rejected; the Cancel
    // slot it reaches finds the dialog finished.
    if (isVisible())
        done(result);
    deleteLater();
}

void DirSelectDialog::dirSelectedSlot(QString dirName)
{
    Q_UNUSED(dirName)
    if (finished)
        return;
    if (jobDeleted())
        finish(QDialog::Rejected);
}

void DirSelectDialog::refreshTextSlot()
{
    if (finished)
        return;
    if (jobDeleted()) {
        qCDebug(lcDialogs) << "folder dialog: job deleted, closing";
        finish(QDialog::Rejected);
        return;
    }

    countdown -= 1;
    if (countdown > 1) {
        if (retryMode)
            ui->pushButtonRetry->setText(tr("Retry") + QStringLiteral(" (") + QString::number(countdown) + QLatin1Char(')'));
        else
            ui->pushButtonDefault->setText(tr("Default Dir") + QStringLiteral(" (") + QString::number(countdown)
                                           + QLatin1Char(')'));
        return;
    }

    // No answer within the countdown: act as the waiting button would.
    if (retryMode) {
        qCDebug(lcDialogs).noquote().nospace() << job->name << ": folder dialog: restartDownloadSlot(true, true)";
        job->restartDownloadSlot(true, true);
    } else {
        qCDebug(lcDialogs).noquote().nospace() << job->name << ": folder dialog: createLocalDownloadDir(true)";
        job->createLocalDownloadDir(true);
    }
    finish(QDialog::Accepted);
}

void DirSelectDialog::on_pushButtonSelect_clicked()
{
    if (finished)
        return;
    if (timer)
        timer->stop();
    if (jobDeleted()) {
        finish(QDialog::Rejected);
        return;
    }
    // A download that is running restarts in the chosen folder.
    if (job->isDownloading)
        restartAfterSelect = true;
    qCDebug(lcDialogs).noquote().nospace() << job->name
                                 << (restartAfterSelect ? ": folder dialog: dirSelectSlot(true)"
                                                        : ": folder dialog: dirSelectSlot(false)");
    // The job's folder chooser is modal; the job may be deleted meanwhile.
    job->dirSelectSlot(restartAfterSelect);
    finish(QDialog::Accepted);
}

void DirSelectDialog::on_pushButtonCancel_clicked()
{
    if (finished)
        return;
    qCDebug(lcDialogs) << "folder dialog: Cancel";
    finish(QDialog::Rejected);
}

void DirSelectDialog::on_pushButtonDefault_clicked()
{
    if (finished)
        return;
    if (!jobDeleted()) {
        qCDebug(lcDialogs).noquote().nospace() << job->name << ": folder dialog: createLocalDownloadDir(true)";
        job->createLocalDownloadDir(true);
    }
    finish(QDialog::Accepted);
}

void DirSelectDialog::on_pushButtonRetry_clicked()
{
    if (finished)
        return;
    if (!jobDeleted()) {
        qCDebug(lcDialogs).noquote().nospace() << job->name << ": folder dialog: restartDownloadSlot(true, true)";
        job->restartDownloadSlot(true, true);
    }
    finish(QDialog::Accepted);
}
