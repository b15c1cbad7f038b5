#include "jobs/kiteproject.h"

#include "settings/kitesettings.h"

#include <QAction>
#include <QJsonObject>
#include <QTimer>

// Transfer counters of a job and the rate ticks that turn them into the status
// line and into progress reports to the server.

namespace {

// Whole seconds since the last tick, at least one.
qint64 secondsSince(const QElapsedTimer& clock, qint64& lastTick)
{
    const qint64 now = clock.elapsed();
    const qint64 seconds = qMax<qint64>(1, (now - lastTick) / 1000);
    lastTick = now;
    return seconds;
}

} // namespace

QString KiteProject::rateString(double bytesPerSec)
{
    const double bits = bytesPerSec * 8.0;
    if (bits < 1024.0)
        return QString::number(bits, 'f', 0) + tr(" b/s");
    if (bits < 1048576.0)
        return QString::number(bits / 1024.0, 'f', 0) + tr(" Kb/s");
    return QString::number(bits / 1024.0 / 1024.0, 'f', 2) + tr(" Mb/s");
}

QString KiteProject::percentText(double percent)
{
    return QString::number(percent, 'f', 0);
}

double KiteProject::uploadPercent() const
{
    double percent = uploadBytesTotal != 0 ? double(bytesSentTotal) / double(uploadBytesTotal) * 100.0 : 0.0;
    // The last archive may overshoot the listed sizes a little.
    if (percent > 100.0 && percent < 105.0)
        percent = 100.0;
    return percent;
}

double KiteProject::downloadPercent() const
{
    return downloadBytesTotal != 0 ? double(bytesReceivedTotal) / double(downloadBytesTotal) * 100.0 : 0.0;
}

void KiteProject::startRateTimer(QTimer*& timer, int intervalMs, JobSlot target)
{
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, target);
    }
    if (!timer->isActive())
        timer->start(intervalMs);
}

void KiteProject::uploadRateSlot(int currentDownloadNumber, unsigned long BytesPerSec, qint64 ByteCount)
{
    log(QStringLiteral(": uploadRateSlot ") + QString::number(currentDownloadNumber));
    bytesSentSinceTick += ByteCount;
    bytesSentTotal += ByteCount;
    if (ByteCount < 0)
        log(QStringLiteral(": ----------------------344 ByteCount < 0! ") + QString::number(ByteCount), 1);
    if (bytesSentTotal < 0)
        log(QStringLiteral(": ----------------------344 bytesSentTotal < 0! ") + QString::number(bytesSentTotal), 1);
    if (!isUploadTest)
        emit uploadRateSignal(BytesPerSec, ByteCount);
}

void KiteProject::downloadRateSlot(int currentDownloadNumber, unsigned long BytesPerSec, qint64 ByteCount)
{
    log(QStringLiteral(": downloadRateSlot ") + QString::number(currentDownloadNumber));
    bytesReceivedSinceTick += ByteCount;
    bytesReceivedTotal += ByteCount;
    if (ByteCount < 0)
        log(QStringLiteral(": ----------------------344 ByteCount < 0! ") + QString::number(ByteCount), 1);
    if (bytesReceivedTotal < 0)
        log(QStringLiteral(": ----------------------344 bytesReceivedTotal < 0! ") + QString::number(bytesReceivedTotal), 1);
    if (!isUploadTest && !isDownloadTest && !isUpdateJob)
        emit downloadRateSignal(BytesPerSec, ByteCount);
}

void KiteProject::uploadRateTimerSlot()
{
    log(QStringLiteral(": uploadRateTimerSlot"));
    if (!kiteSettings || !kiteSettings->syncActive || isUploaded) {
        log(QStringLiteral(": 282 return syncActive: ")
            + QString::number(kiteSettings && kiteSettings->syncActive)
            + QStringLiteral(" isUploaded: ") + QString::number(isUploaded));
        if (uploadRateTimer)
            uploadRateTimer->stop();
        return;
    }
    if (activeUploads != 0)
        setTrayActivity(true);
    showEntry(MenuEntry::PauseUpload, true);

    const double percent = uploadPercent();
    const double rate = double(bytesSentSinceTick) / double(secondsSince(uploadClock, lastUploadTick));
    bytesSentSinceTick = 0;

    if (waitsForOtherUpload && rate == 0.0) {
        setStatusText(tr(" UPLOAD WAITING (%1%)").arg(percentText(percent)));
    } else if (preparingUpload != 0 && rate == 0.0) {
        setStatusText(tr(" PREPARING UPLOAD %1%").arg(percentText(percent)));
        setStatusIcon(QStringLiteral("uploadingorange"));
    } else {
        setStatusText(tr(" UPLOADING %1% (%2)").arg(percentText(percent), rateString(rate)));
        setStatusIcon(QStringLiteral("uploadingorange"));
    }

    if (percent > lastReportedUploadPercent + 1) {
        lastReportedUploadPercent = int(percent);
        const QJsonObject data{{QStringLiteral("scene"), name},
                               {QStringLiteral("progress"), lastReportedUploadPercent}};
        emit kiteSettings->makeRequest(QStringLiteral("setUploadProgress"), data, this, QString());
    }
    if (percent >= 100.0 && uploadRateTimer)
        uploadRateTimer->stop();
}

void KiteProject::downloadRateTimerSlot()
{
    log(QStringLiteral(": downloadRateTimerSlot"));
    if (!kiteSettings || !kiteSettings->syncActive || isDownloaded)
        return;
    if (runningDownloadsOfJob != 0)
        setTrayActivity(true);
    showEntry(MenuEntry::PauseDownload, true);
    showEntry(MenuEntry::OpenDownloadFolder, true);

    const double percent = downloadPercent();
    const double rate = double(bytesReceivedSinceTick) / double(secondsSince(downloadClock, lastDownloadTick));
    bytesReceivedSinceTick = 0;
    m_lastDownloadRateText = rateString(rate);

    if (renderComplete && downloadBytesTotal != 0)
        setStatusText(tr(" DOWNLOADING %1% (%2)").arg(percentText(percent), m_lastDownloadRateText));
    else
        setStatusText(tr(" DOWNLOADING (%1)").arg(m_lastDownloadRateText));

    if (isUpdateJob) {
        emit downloadProgressSignal(float(percent));
        return;
    }
    if (percent > lastReportedDownloadPercent + 1 && percent <= 100.0) {
        lastReportedDownloadPercent = int(percent);
        const QJsonObject data{{QStringLiteral("scene"), name},
                               {QStringLiteral("progress"), lastReportedDownloadPercent}};
        emit kiteSettings->makeRequest(QStringLiteral("setDownloadProgress"), data, this, QString());
    }
}
