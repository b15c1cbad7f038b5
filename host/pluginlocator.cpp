#include "pluginlocator.h"

#include "pluginnetconnectioninterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>
#include <QPluginLoader>

bool PluginLocator::locate(const QString& folder, Found& found, QString& error)
{
    const QDir dir(folder);
    if (!dir.exists()) {
        error = QCoreApplication::translate("PluginLocator", "plug-in folder %1 does not exist").arg(folder);
        return false;
    }
    const QFileInfoList entries = dir.entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (!QLibrary::isLibrary(entry.fileName()))
            continue;
        QPluginLoader loader(entry.absoluteFilePath());
        const QJsonObject meta = loader.metaData();
        if (meta.value(QStringLiteral("IID")).toString() != QLatin1String(PluginNetConnectionInterface_iid))
            continue;
        found.file = entry.absoluteFilePath();
        found.iid = meta.value(QStringLiteral("IID")).toString();
        found.className = meta.value(QStringLiteral("className")).toString();
        return true;
    }
    error = QCoreApplication::translate("PluginLocator", "no plug-in with the interface %1 in %2")
                .arg(QLatin1String(PluginNetConnectionInterface_iid), folder);
    return false;
}
