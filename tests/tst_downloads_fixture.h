#pragma once

// Shared by the download tests: one client with the connection cut off,
// jobs with an output folder in the client's temporary folder, and listings.

#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/offlineclient.h"
#include "transfers/downloadlistupdater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace DownloadsFixture {

inline QJsonObject entry(const QString& path, qint64 size)
{
    return QJsonObject{{"file", path}, {"size", double(size)}};
}

inline QJsonObject folder(const QString& path)
{
    return QJsonObject{{"file", path}};
}

inline QStringList paths(const QList<DownloadFile>& list)
{
    QStringList result;
    for (const DownloadFile& file : list)
        result << file.path;
    return result;
}

// Notifications of one type among the spied showMessageSignal calls.
inline QList<QList<QVariant>> messagesOfType(const QSignalSpy& spy, const QString& type)
{
    QList<QList<QVariant>> result;
    for (const QList<QVariant>& call : spy) {
        if (call.at(2).toString() == type)
            result << call;
    }
    return result;
}

class Client
{
public:
    // A fresh client for each test; the user's account has paid render points.
    void start()
    {
        client = std::make_unique<OfflineClient>();
        client->settings->isPaid = true;
    }
    void stop() { client.reset(); }

    OfflineClient* operator->() const { return client.get(); }

    QString outDir(const QString& name) const { return client->appDir() + QStringLiteral("/out/") + name; }

    // A job of the user's own account that renders (or has rendered), with its
    // cfg and an output folder of its own.
    KiteProject* makeJob(const QString& name, bool rendering = false)
    {
        client->writeJob(name, {QStringLiteral("uploadfinished=true")}, false);
        KiteProject* job = client->addJob(name, QStringLiteral("id-") + name);
        job->isUnknown = false;
        job->isUploaded = true;
        job->cfgRead = true;
        if (rendering)
            job->isRendering = true;
        else
            job->renderComplete = true;
        job->localDownloadDirCustom = outDir(name);
        QDir().mkpath(job->localDownloadDirCustom);
        return job;
    }

    static bool writeLocal(KiteProject* job, const QString& relativePath, qint64 size)
    {
        const QString path = job->localDownloadDirCustom + QLatin1Char('/') + relativePath;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(QByteArray(int(size), 'x')) == size;
    }

    void list(KiteProject* job, const QJsonArray& files, const QJsonArray& folders = QJsonArray()) const
    {
        client->plugin->downloadListUpdater->fileListUpdateSlot(files, folders, job);
    }

    QString cfgText(const QString& name) const
    {
        QFile file(client->userFolder() + QLatin1Char('/') + name + QStringLiteral(".cfg"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static QJsonObject outputReply(KiteProject* job, const QJsonArray& files, const QJsonArray& folders = QJsonArray())
    {
        return QJsonObject{{"action", "getOutputDir"},
                           {"data", QJsonObject{{"folders", folders}, {"files", files}}},
                           {"custom", QJsonObject{{"scene", job->name}}}};
    }

    std::unique_ptr<OfflineClient> client;
};

} // namespace DownloadsFixture
