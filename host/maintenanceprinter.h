#pragma once

#include <QJsonObject>
#include <QObject>
#include <QStringList>

class PluginNetConnectionInterface;
class QTextStream;

// The reference host's answer to the plug-in's maintenance signals: prints
// the update information the server sent (version, build and the files, never
// anything else it carries) and, when the host was started with
// --accept-updates, hands the listed files to the plug-in's
// downloadUpdateFiles; prints each change of the licence tunnel's state.
class MaintenancePrinter : public QObject
{
    Q_OBJECT
public:
    MaintenancePrinter(PluginNetConnectionInterface* plugin, bool acceptUpdates, QTextStream& out,
                       QObject* parent = nullptr);

    // The "NAME:SIZE" texts of the update's "files" member, in order.
    static QStringList updateFiles(const QJsonObject& content);
    // The lines printed for an update.
    static QStringList describeUpdate(const QJsonObject& content);

public slots:
    void updateDataSlot(QJsonObject content);
    void tunnelConnectedSlot(bool connected);

private:
    void print(const QString& line);

    PluginNetConnectionInterface* m_plugin;
    bool m_acceptUpdates;
    QTextStream& m_out;
    int m_tunnelState = -1; // -1 unknown, 0 not connected, 1 connected
};
