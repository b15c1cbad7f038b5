#include "net/accounthandlers.h"

#include "jobs/kiteproject.h"
#include "net/kitewebsocketconnection.h"
#include "net/linefilewriter.h"
#include "net/netlogging.h"
#include "net/pendinganswers.h"
#include "net/requestqueue.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace {
QString boolDigit(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}
} // namespace

AccountHandlers::AccountHandlers(PluginNetConnection* plugin, KiteSettings* kiteSettings)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
{
}

void AccountHandlers::log(const QString& message, int level)
{
    m_settings->writeToLog(message, level);
}

void AccountHandlers::loginAnswer(const QJsonObject& message)
{
    const QJsonObject data = message.value(QStringLiteral("data")).toObject();
    if (!data.value(QStringLiteral("is_logged_in")).toBool()) {
        qCDebug(lcNet) << "is not logged in :-(";
        // A blocked account is not told "refused": it only loses the socket.
        if (!data.value(QStringLiteral("isBlocked")).toBool())
            emit m_plugin->loginSuccessSignal(1);
        emit m_plugin->disconnectWebSocketSignal();
        return;
    }

    applyAccountOptions(data, message);

    m_settings->websocketLoggedIn = true;
    m_settings->renderPointsUnknown = true;
    // The one message the connection kept while it was down goes out now.
    KiteWebSocketConnection* connection = m_plugin->webSocketConnection;
    const QString held = connection ? connection->messageAfterLoginBuffer : QString();
    if (!m_settings->transfersOnHold)
        emit m_plugin->websocketLoginStatusSignal(true);

    for (KiteProject* job : qAsConst(m_settings->jobList)) {
        if (!job->isDeleted && !job->isDeletedLocal)
            job->resetStateAfterReconnect();
    }
    // Requests that waited over the lost connection go out, and answers lost
    // with it are asked for again; a login answer repeated on the same
    // connection changes nothing.
    if (connection && connection->openedConnections != m_loginConnection) {
        m_loginConnection = connection->openedConnections;
        m_plugin->requestQueue->loggedInAgain(held);
        m_plugin->pendingAnswers->loggedInAgain(held);
    }

    log(QStringLiteral("is logged in :-)"), 3);
    log(QStringLiteral("1094 firstRunDone: ") + boolDigit(m_settings->firstRunDone), 3);

    const QString customFtpPass = data.value(QStringLiteral("customFtpPass")).toString();
    if (!customFtpPass.isEmpty())
        m_settings->customFtpPass = customFtpPass;
    else
        qCDebug(lcNet) << "error 1053";

    if (m_settings->firstRunDone) {
        m_settings->syncActive = false;
        emit m_plugin->setSyncStateSignal();
        if (!m_plugin->updateTimerRunning && !m_plugin->updateTimerStartedOnce) {
            m_plugin->updateTimerRunning = true;
            m_plugin->updateTimerStartedOnce = true;
            m_plugin->updateTimer.setSingleShot(true);
            m_plugin->updateTimer.start(firstUpdateCheckDelayMs);
        }
    } else if (!m_settings->updateDownloadStarted) {
        log(QStringLiteral("1109 kiteSettings->syncActive = false"), 3);
        m_settings->syncActive = false;
    }
    emit m_plugin->loginSuccessSignal(0);
}

void AccountHandlers::applyAccountOptions(const QJsonObject& data, const QJsonObject& message)
{
    const QJsonValue programs = data.value(QStringLiteral("uploadToDc2Programs"));
    if (programs.isString() && !programs.toString().isEmpty())
        m_settings->setUploadToDc2Programs(programs.toString());

    const QJsonValue enableTeams = data.value(QStringLiteral("enableTeams"));
    const QString betaFile = m_settings->localProjectsFolder + QStringLiteral("/beta.txt");
    if (enableTeams.isBool()) {
        log(QStringLiteral("1749 enableTeams"), 0);
        if (enableTeams.toBool()) {
            m_settings->teamsEnabled = true;
            m_settings->v40Enabled = true;
            qCDebug(lcNet) << "1776 enableV40";
            LineFileWriter::write({QStringLiteral("1")}, betaFile, m_settings);
        } else {
            QFile::remove(betaFile);
        }
    } else {
        log(QStringLiteral("1749 not enableTeams"), 0);
    }

    const QJsonValue teams = data.value(QStringLiteral("teams"));
    if (teams.isArray() && !teams.toArray().isEmpty())
        teamList(message);

    const QJsonValue renderers = data.value(QStringLiteral("uploadToDc2Renderers"));
    if (renderers.isString() && !renderers.toString().isEmpty())
        m_settings->setUploadToDc2Renderers(renderers.toString());

    const QJsonValue uploadAll = data.value(QStringLiteral("uploadAllToDc2"));
    if (uploadAll.isBool())
        m_settings->uploadAllToDc2 = uploadAll.toBool();

    const QJsonValue textureCache = data.value(QStringLiteral("textureCacheEnabled"));
    if (textureCache.isBool()) {
        m_settings->textureCacheEnabled = textureCache.toBool();
        qCDebug(lcNet) << "1717 textureCacheEnabled: " << m_settings->textureCacheEnabled;
    }

    const QJsonValue maxDownloads = data.value(QStringLiteral("maxRunningDownloads"));
    if (maxDownloads.isDouble()) {
        m_settings->setMaxRunningDownloads(maxDownloads.toInt());
        qCDebug(lcNet) << "1717 maxRunningDownloads value: " << maxDownloads.toInt();
    }
    const QJsonValue maxUploads = data.value(QStringLiteral("maxRunningUploads"));
    if (maxUploads.isDouble()) {
        m_settings->setMaxRunningUploads(maxUploads.toInt());
        qCDebug(lcNet) << "1722 maxRunningUploads value: " << maxUploads.toInt();
    }

    const QJsonValue subdomain = data.value(QStringLiteral("subdomainWss"));
    if (subdomain.isString()) {
        if (subdomain.toString() != m_settings->subdomainWss) {
            m_settings->subdomainWss = subdomain.toString();
            m_settings->updateServerWss();
            m_settings->saveToIni();
            qCDebug(lcNet) << "1720 reconnect subdomainWss: " << m_settings->subdomainWss;
            emit m_plugin->reconnectWebSocketSignal();
        }
    } else {
        // The answer carries the transfer password; it stays out of the output.
        QJsonObject shown = data;
        shown.remove(QStringLiteral("customFtpPass"));
        qCDebug(lcNet).noquote() << "1724" << QJsonDocument(shown).toJson(QJsonDocument::Compact);
    }
}

void AccountHandlers::userInfoAnswer(const QJsonObject& message)
{
    const bool trial = message.value(QStringLiteral("data")).toObject().value(QStringLiteral("isTrial")).toBool();
    if (m_settings->isTrial && !trial) {
        // The account has left its trial: downloads start over, without the
        // trial's overlays.
        for (KiteProject* job : qAsConst(m_settings->jobList)) {
            if (!job->isDeleted && !job->isDeletedLocal)
                job->restartDownloadSlot(true, true);
        }
    }
    qCDebug(lcNet) << "isTrial: " << trial;
    m_settings->isTrial = trial;
}

void AccountHandlers::renderPointsAnswer(const QJsonObject& message)
{
    const double points = message.value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toDouble();
    log(QStringLiteral("rp: ") + QString::number(points), 3);
    m_settings->renderPoints = points;
    m_settings->renderPointsUnknown = false;

    if (points < 0) {
        log(QStringLiteral("1166: isPaid = false"), 3);
        m_settings->isPaid = false;
        for (KiteProject* job : qAsConst(m_settings->jobList)) {
            if (!job->isDownloaded)
                job->setOutOfRenderPoints();
        }
    } else {
        m_settings->isPaid = true;
        if (m_settings->resumeOutOfPointsJobs && points > 0) {
            for (KiteProject* job : qAsConst(m_settings->jobList)) {
                if (!job->isDeleted && !job->isDeletedLocal && job->outOfRenderPoints)
                    job->restartDownloadSlot(false, true);
            }
        }
    }
    emit m_plugin->updateStatusInfoSignal();
    log(QStringLiteral("getRenderpoints: ") + QString::number(points) + boolDigit(m_settings->isPaid), 3);
}

void AccountHandlers::renderPointsBought()
{
    m_plugin->makeRequest(QStringLiteral("getRenderpoints"), QJsonObject{{QStringLiteral("virtual"), true}});
    if (m_settings->isTrial)
        m_plugin->makeRequest(QStringLiteral("getUserInfo"), QJsonObject());
    const QString text = tr("Render points bought");
    emit m_plugin->showMessageSignal(text, text, QStringLiteral("RenderPointsBought"), nullptr);
}

void AccountHandlers::removeTeamFiles()
{
    const QString folder = m_settings->localProjectsFolder;
    QFile::remove(folder + QLatin1Char('/') + m_settings->username + QStringLiteral("/accounts.txt"));
    QFile::remove(folder + QStringLiteral("/accounts.txt"));
    QFile::remove(folder + QStringLiteral("/team_accounts.txt"));
}

void AccountHandlers::teamList(const QJsonObject& message)
{
    const QJsonObject data = message.value(QStringLiteral("data")).toObject();
    const QJsonArray teams = data.value(QStringLiteral("teams")).toArray();
    if (teams.isEmpty()) {
        removeTeamFiles();
        return;
    }

    QStringList accounts;
    QStringList teamAccounts;
    for (const QJsonValue& value : teams) {
        const QJsonObject team = value.toObject();
        if (!team.value(QStringLiteral("active")).toBool())
            continue;
        const QString name = team.value(QStringLiteral("name")).toString();
        const QString id = team.value(QStringLiteral("id")).toString();
        QString renderPoints = team.value(QStringLiteral("approxrp")).toString();
        if (renderPoints == QLatin1String("0.0"))
            renderPoints = team.value(QStringLiteral("rp_available")).toString();
        const bool trial = team.contains(QStringLiteral("trial")) && team.value(QStringLiteral("trial")).toBool();
        const QString plan = trial ? QStringLiteral("trial") : QStringLiteral("metered");
        qCDebug(lcNet) << "1710 team name: " << name;
        qCDebug(lcNet) << "1710 team id: " << id;
        qCDebug(lcNet) << "1710 team rp: " << renderPoints;
        const QString line = id + QLatin1Char(',') + name + QLatin1Char(',') + renderPoints;
        accounts << line;
        teamAccounts << line + QLatin1Char(',') + plan;
    }
    qCDebug(lcNet) << "1731 teams: " << accounts;

    const QString folder = m_settings->localProjectsFolder;
    const QString userAccounts = folder + QLatin1Char('/') + m_settings->username + QStringLiteral("/accounts.txt");
    log(QStringLiteral("1730 create accounts.txt: ") + userAccounts, 0);
    QDir().mkpath(folder + QLatin1Char('/') + m_settings->username);
    LineFileWriter::write(accounts, userAccounts, m_settings);
    LineFileWriter::write(accounts, folder + QStringLiteral("/accounts.txt"), m_settings);
    LineFileWriter::write(teamAccounts, folder + QStringLiteral("/team_accounts.txt"), m_settings);
    qCDebug(lcNet) << "1709 login: " << data.value(QStringLiteral("teams"));
}
