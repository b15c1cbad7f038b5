#pragma once

#include "farmsimulator.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class KiteProject;
class KiteSettings;
class PluginNetConnection;

// One client (settings + plug-in) pointed at an in-process farm simulator on
// loopback, with the host's duties around the login done the way a host does
// them. Everything lives in a temporary folder.
class ClientFixture : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString user = QStringLiteral("anna");
        QString password = QStringLiteral("anna-pass-4711");
        bool firstRunDone = true;
        int logLevel = 5;
        QString subdomain;       // stored "Network/subdomainWss"; empty: none
        bool secure = false;     // the simulator must already use TLS
    };

    ClientFixture();
    ~ClientFixture() override;

    // Starts the simulator (if not listening) and the client with the options.
    bool start(const Options& options);

    QString projectsFolder() const;
    QString appDir() const { return m_dir.path(); }
    QString logText() const;
    // The client's live job of that name (the last, as a deleted record stays); null when none.
    KiteProject* job(const QString& name) const;
    // A new refresh marker in the projects folder, as a scene exporter leaves it.
    bool refresh() const;

    FarmSimulator simulator;
    KiteSettings* settings = nullptr;
    PluginNetConnection* plugin = nullptr;
    Options options;

private:
    QTemporaryDir m_dir;
};
