#include "net/requestenvelope.h"

#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QDateTime>

QJsonObject RequestEnvelope::build(const QString& action, QJsonObject jsonData, KiteProject* job,
                                   const QString& custom, const QString& customAction, KiteSettings* settings)
{
    if (action == QLatin1String("autoupdate"))
        settings->autoupdateRequested = true;
    if (job && action == QLatin1String("getTexFolderContents"))
        job->texFolderRequestRunning = true;
    if (job && action == QLatin1String("checkFiles"))
        job->waitingForCheckFiles = true;

    QJsonObject envelope;
    if (action == QLatin1String("sendResult")) {
        envelope.insert(QStringLiteral("id"), QStringLiteral("orvel"));
        envelope.insert(QStringLiteral("requestId"), QStringLiteral("orvel"));
    }

    // Routing: a later rule replaces what an earlier one set.
    if (job && custom != QLatin1String("appTexRequest")) {
        QJsonObject routing{{QStringLiteral("scene"), job->name}};
        if (!customAction.isEmpty())
            routing.insert(QStringLiteral("action"), customAction);
        envelope.insert(QStringLiteral("custom"), routing);
        jsonData.insert(QStringLiteral("scene"), job->name);
    }
    if (custom == QLatin1String("appTexRequest")) {
        if (job && job->name == liveUploadJobName()) {
            jsonData.insert(QStringLiteral("scene"), liveUploadJobName());
        } else if (job) {
            job->deleteLater(); // a carrier: it only brought the request here
        }
        envelope.insert(QStringLiteral("custom"), QJsonObject{{QStringLiteral("appTexRequest"), true}});
    }
    if (custom == QLatin1String("kiteId"))
        envelope.insert(QStringLiteral("custom"), QJsonObject{{QStringLiteral("kiteId"), settings->kiteId}});
    if (custom.startsWith(QLatin1String("http"))) {
        if (job)
            job->deleteLater(); // a carrier: it only brought the link here
        envelope.insert(QStringLiteral("custom"), QJsonObject{{QStringLiteral("linkUrl"), custom}});
    }

    if (action == QLatin1String("getPluginConfig")) {
        const QString program = jsonData.value(QStringLiteral("program")).toString();
        if (program == QLatin1String("max"))
            settings->lastPluginConfigRequestMax = QDateTime::currentDateTime();
        else if (program == QLatin1String("c4d"))
            settings->lastPluginConfigRequestC4d = QDateTime::currentDateTime();
    }
    if (action == QLatin1String("getProjectStates"))
        jsonData.insert(QStringLiteral("client_type"), QStringLiteral("kite"));

    envelope.insert(QStringLiteral("action"), action);
    envelope.insert(QStringLiteral("data"), jsonData);
    return envelope;
}
