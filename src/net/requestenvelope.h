#pragma once

#include <QJsonObject>
#include <QString>

class KiteProject;
class KiteSettings;

// Builds the JSON envelope of one request to the job-queue server: "action",
// "data" and the routing object "custom" that the server echoes back in its
// answer. Building also does the bookkeeping that belongs to sending a
// request (flags on the job and the settings, carrier jobs scheduled for
// deletion).
class RequestEnvelope
{
public:
    static QJsonObject build(const QString& action, QJsonObject jsonData, KiteProject* job,
                             const QString& custom, const QString& customAction, KiteSettings* settings);

    // Name of the job that only carries texture requests of the live upload.
    static QString liveUploadJobName() { return QStringLiteral("liveUploadJob"); }
};
