#pragma once

// Shared by the transfer tests: one client with the connection cut off
// (requests recorded, server messages fed in), its jobs and listings.

#include "dialogs/errormessagedialog.h"
#include "jobs/jobnames.h"
#include "jobs/kiteproject.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "support/offlineclient.h"
#include "support/testfiles.h"
#include "transfers/downloadlistupdater.h"

#include <QtTest>

#include <algorithm>
#include <memory>

namespace Transfers {

// A message from the server, tied to the job `scene` by its "custom" object.
inline QJsonObject message(const QString& action, const QString& scene, const QJsonObject& data)
{
    QJsonObject object{{"action", action}, {"data", data}};
    if (!scene.isNull())
        object.insert("custom", QJsonObject{{"scene", scene}});
    return object;
}

inline QJsonObject dataOf(const QJsonObject& envelope) { return envelope.value(QStringLiteral("data")).toObject(); }

inline QStringList sortedDirs(const QJsonObject& envelope)
{
    QStringList dirs;
    for (const QJsonValue& dir : dataOf(envelope).value(QStringLiteral("dirs")).toArray())
        dirs << dir.toString();
    dirs.sort();
    return dirs;
}
inline QJsonObject entry(const QString& path, qint64 size) { return {{"file", path}, {"size", double(size)}}; }
inline QJsonObject folder(const QString& path) { return {{"file", path}}; }

inline QStringList paths(const QList<DownloadFile>& list)
{
    QStringList result;
    std::transform(list.cbegin(), list.cend(), std::back_inserter(result), [](const DownloadFile& f) { return f.path; });
    return result;
}

// The spied notifications (showMessageSignal) of one type.
inline QList<QVariantList> ofType(const QSignalSpy& spy, const QString& type)
{
    QList<QVariantList> result;
    std::copy_if(spy.cbegin(), spy.cend(), std::back_inserter(result), [&](const QVariantList& call) {
        return call.at(2).toString() == type;
    });
    return result;
}

// A file of a job to upload: its path on the server ("tex/..." for textures), its size.
struct LocalFile { QString path; qint64 size; };

class Client
{
public:
    // A fresh client for each test; the account has paid render points.
    void start()
    {
        client = std::make_unique<OfflineClient>();
        std::tie(client->settings->isPaid, client->settings->useHttpsUp) = std::make_pair(true, false);
    }
    void stop()
    {
        for (KiteProject* job : qAsConst(client->settings->jobList))
            delete job->errorDialog.data(); // top-level windows
        client.reset();
    }
    OfflineClient* operator->() const { return client.get(); }

    // A job whose cfg lists the files (local copies of those sizes are made).
    KiteProject* uploadJob(const QString& name, const QList<LocalFile>& files,
                           const QStringList& header = {QStringLiteral("renderer=vray"), QStringLiteral("program=max")})
    {
        QStringList lines = header;
        lines << QStringLiteral("[files]") << QStringLiteral("paths=%1").arg(files.size());
        for (int i = 0; i < files.size(); ++i) {
            const QString local = client->userFolder() + QStringLiteral("/local/") + files.at(i).path;
            TestFiles::writeFile(local, QByteArray(int(files.at(i).size), 'x'));
            lines << QStringLiteral("path%1=%2").arg(i).arg(files.at(i).path)
                  << QStringLiteral("pathlocal%1=%2").arg(i).arg(local)
                  << QStringLiteral("pathsize%1=%2").arg(i).arg(files.at(i).size);
        }
        if (JobNames::isUsableAsFileName(name))
            client->writeJob(name, lines);
        return client->addJob(name);
    }

    // A job of the user's own account that renders (or has rendered), with
    // its cfg and an output folder of its own.
    KiteProject* renderedJob(const QString& name, bool rendering = false)
    {
        client->writeJob(name, {QStringLiteral("uploadfinished=true")}, false);
        KiteProject* job = client->addJob(name, QStringLiteral("id-") + name);
        std::tie(job->isUnknown, job->isUploaded, job->cfgRead) = std::make_tuple(false, true, true);
        (rendering ? job->isRendering : job->renderComplete) = true;
        job->localDownloadDirCustom = client->appDir() + QStringLiteral("/out/") + name;
        QDir().mkpath(job->localDownloadDirCustom);
        return job;
    }

    static bool writeLocal(KiteProject* job, const QString& relativePath, qint64 size)
    {
        return TestFiles::writeFile(job->localDownloadDirCustom + QLatin1Char('/') + relativePath,
                                    QByteArray(int(size), 'x'));
    }
    // The output listing as the updater gets it.
    void list(KiteProject* job, const QJsonArray& files, const QJsonArray& folders = {}) const
    { client->plugin->downloadListUpdater->fileListUpdateSlot(files, folders, job); }
    static QJsonObject outputReply(KiteProject* job, const QJsonArray& files, const QJsonArray& folders = {})
    {
        return message(QStringLiteral("getOutputDir"), job->name, {{"folders", folders}, {"files", files}});
    }
    QString cfgText(const QString& name) const
    {
        return QString::fromUtf8(TestFiles::readFile(client->userFolder() + QLatin1Char('/') + name + ".cfg"));
    }

    std::unique_ptr<OfflineClient> client;
};

} // namespace Transfers
