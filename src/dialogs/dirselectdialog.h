#pragma once

#include "kiteshared_export.h"

#include <QDialog>
#include <QPointer>
#include <QString>

#include <memory>

class KiteProject;
class KiteSettings;
class QTimer;

namespace Ui {
class DirSelectDialog;
}

// Asks for a download folder after a job's output folder turned out not to be
// writable; acts by itself when its countdown runs out. One per job at a time:
// while the job's dirSelectOpen is set, a further dialog for it shows nothing,
// has no form and deletes itself. Create it with new; every way it ends
// (a button, Escape, the window's close button, the countdown, the job's
// deletion) closes it and schedules it for deletion.
class KITESHARED_EXPORT DirSelectDialog : public QDialog
{
    Q_OBJECT
public:
    static constexpr int countdownStart = 120;

    DirSelectDialog(KiteSettings* kiteSettings, KiteProject* job, bool restartAfterSelect,
                    QWidget* parent = nullptr, bool retryMode = false);
    ~DirSelectDialog() override;

    std::unique_ptr<Ui::DirSelectDialog> ui;
    KiteSettings* kiteSettings = nullptr;
    QPointer<KiteProject> job;
    QTimer* timer = nullptr;
    int countdown = countdownStart;
    bool restartAfterSelect = false;
    bool retryMode = false;

public slots:
    void dirSelectedSlot(QString dirName);
    void refreshTextSlot();

private slots:
    void on_pushButtonSelect_clicked();
    void on_pushButtonCancel_clicked();
    void on_pushButtonDefault_clicked();
    void on_pushButtonRetry_clicked();

private:
    // The job is gone or deleted: the dialog no longer calls it.
    bool jobDeleted() const;
    // Stops the countdown, clears the job's dirSelectOpen, closes the dialog
    // with result and schedules it for deletion. Runs once.
    void finish(int result);

    bool finished = false;
};
