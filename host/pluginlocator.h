#pragma once

#include <QJsonObject>
#include <QString>

class QPluginLoader;
class QObject;

// Finds the network-connection plug-in in a folder by its interface
// identifier. The metadata is checked before anything is instantiated, so
// other plug-ins in the folder are never loaded.
class PluginLocator
{
public:
    struct Found
    {
        QString file;
        QString iid;
        QString className;
    };

    // Returns true and fills `found` when a library in `folder` declares the
    // plug-in's interface identifier; `error` tells why not otherwise.
    static bool locate(const QString& folder, Found& found, QString& error);
};
