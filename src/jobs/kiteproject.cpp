#include "jobs/kiteproject.h"

#include "settings/kitesettings.h"

// Placeholder bodies; the job model replaces them.
KiteProject::KiteProject(KiteSettings* settings, QString jobName, QString id, QObject* parent)
    : QObject(parent), kiteSettings(settings), name(std::move(jobName)), jobId(std::move(id)) {}
KiteProject::~KiteProject() = default;
bool KiteProject::appendToConfig(QString) { return false; }
QString KiteProject::createJobLocalId() { return QString(); }
void KiteProject::setRestartDownloadCount(int) {}
void KiteProject::setDirsCreated(bool) {}
void KiteProject::createLocalDownloadDir(bool) {}
QString KiteProject::rateString(double) { return QString(); }
QString KiteProject::cfgPath() const { return QString(); }
void KiteProject::assignState(QString) {}
void KiteProject::createSupportTicketSlot() {}
void KiteProject::confirmOverwriteSlot(bool, bool, bool) {}
void KiteProject::confirmOverwriteClickedSlot(bool, bool, bool) {}
void KiteProject::deleteClickedSlot() {}
void KiteProject::dirSelectSlot(bool) {}
void KiteProject::downloadPausedSwitchSlot(bool) {}
void KiteProject::downloadRateSlot(int, unsigned long, qint64) {}
void KiteProject::downloadRateTimerSlot() {}
void KiteProject::messageClickedSlot(QString) {}
void KiteProject::openJobDir() {}
void KiteProject::restartDownloadSlot(bool, bool) {}
void KiteProject::restartDownloadSlotMenuClick() {}
void KiteProject::retryUploadSlot(int) {}
void KiteProject::resetStateAfterReconnect() {}
void KiteProject::setAutostartSlot(bool) {}
void KiteProject::setDownloadStarted() {}
void KiteProject::setDownloadFinished() {}
void KiteProject::setDownloadPaused(bool) {}
void KiteProject::setPaused() {}
void KiteProject::setQueued() {}
void KiteProject::setRendering() {}
void KiteProject::setRendered(bool) {}
void KiteProject::setUploadIdle() {}
void KiteProject::setUploadWaiting() {}
void KiteProject::setUploadStarted() {}
void KiteProject::setUploadPaused(bool) {}
void KiteProject::setUploading() {}
void KiteProject::setUploadingOnOtherMachine() {}
void KiteProject::setUploaded() {}
void KiteProject::setErrorResume() {}
void KiteProject::setErrorUpload(bool) {}
void KiteProject::setErrorRendering() {}
void KiteProject::setDeleted() {}
void KiteProject::setDownloadError() {}
void KiteProject::showDownloadErrorMessageSlot() {}
void KiteProject::showErrorText(QString, QString, QString, bool) {}
void KiteProject::showErrorReadme() {}
void KiteProject::setDownloadPriorityUp(bool) {}
void KiteProject::setUploadPriorityUp(bool) {}
void KiteProject::setOutOfRenderPoints() {}
void KiteProject::uploadRateTimerSlot() {}
void KiteProject::uploadPausedSwitchSlot() {}
void KiteProject::uploadRateSlot(int, unsigned long, qint64) {}
void KiteProject::writeZipBeginSlot() {}
void KiteProject::writeZipEndSlot() {}
