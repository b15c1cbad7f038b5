#pragma once

#include "hostoptions.h"

#include <QObject>
#include <QPluginLoader>
#include <QPointer>

class CommandChannel;
class KiteSettings;
class JobMenuView;
class LoginKeeper;
class OutputFlusher;
class PluginNetConnectionInterface;
class QTextStream;
class StandInDownloader;
class StandInUploader;

// The reference host: loads the network-connection plug-in, hands it the
// shared settings, makes the connections a host makes and prints what the
// plug-in reports.
class KiteHost : public QObject
{
    Q_OBJECT
public:
    KiteHost(const HostOptions& options, QTextStream& out, QTextStream& err, QObject* parent = nullptr);
    ~KiteHost() override;

    // --probe: prints one JSON line about the plug-in. Returns the exit code.
    int probe();

    // Starts the client; returns false (with a message printed) when it cannot.
    bool start();

    // Shuts the client down through the plug-in's exit path, then emits finished().
    void shutDown();

signals:
    void finished(int exitCode);

private:
    bool loadPlugin();
    void connectHostDuties();
    void startStandInUploader();
    void startStandInDownloader();
    void startCommandChannel();

    HostOptions m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    OutputFlusher* m_flusher;
    QPluginLoader m_loader;
    KiteSettings* m_settings = nullptr;
    PluginNetConnectionInterface* m_plugin = nullptr;
    QPointer<QObject> m_pluginObject;
    LoginKeeper* m_loginKeeper = nullptr;
    JobMenuView* m_jobMenu = nullptr;
    StandInUploader* m_uploader = nullptr;
    StandInDownloader* m_downloader = nullptr;
    CommandChannel* m_commands = nullptr;
    bool m_shuttingDown = false;
};
