#pragma once

#include "transfers/downloadfile.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QtPlugin>

class KiteSettings;
class KiteProject;

// The face of the network-connection plug-in towards its host. The order of the
// virtual functions is part of the binary contract with the host: never reorder
// or insert. The "signal" entries are Qt signals of the plug-in object; the
// host connects them on getObject() by their signatures, or calls them.
class PluginNetConnectionInterface
{
public:
    virtual ~PluginNetConnectionInterface() = default;

    virtual QObject* getObject() = 0;                                           // 1
    virtual int getPluginVersion() = 0;                                         // 2
    virtual void setKiteSettings(KiteSettings* settings) = 0;                   // 3
    virtual void exitApplicationSlot() = 0;                                     // 4
    virtual void loginSlot(QString pUsername, QString pPassword) = 0;           // 5
    virtual void checkFilesSlot(KiteProject* jobObject) = 0;                    // 6
    virtual void appRefreshSlot() = 0;                                          // 7
    virtual void downloadJobFinishedSlot(KiteProject* jobObject, int error) = 0; // 8
    virtual void downloadUpdateFiles(QStringList updateFileListe) = 0;          // 9
    virtual void checkforUpdates() = 0;                                         // 10
    virtual void disconnectSlot() = 0;                                          // 11
    virtual void syncSlot() = 0;                                                // 12
    virtual void settingsSavedSlot() = 0;                                       // 13
    virtual void generateOverlayRequestSlot(DownloadFile downloadFile, KiteProject* jobObject) = 0; // 14
    virtual void makeRequest(QString action, QJsonObject jsonData, KiteProject* requestKiteProject = nullptr,
                             QString custom = QString(), QString customAction = QString()) = 0; // 15
    virtual void uploadLogFilesSlot() = 0;                                      // 16
    virtual void connectLicenseTunnel() = 0;                                    // 17
    virtual void reconnectWebsocketSlot() = 0;                                  // 18
    virtual void UploadJobSignal() = 0;                                         // 19
    virtual void updateDataSignal(QJsonObject updateData) = 0;                  // 20
    virtual void loginSuccessSignal(int status) = 0;                            // 21
    virtual void showMessageSignal(QString title, QString message, QString messageType,
                                   KiteProject* jobObject) = 0;                 // 22
    virtual void readyForExitSignal(QString senderName) = 0;                    // 23
    virtual void downloadJobSignal() = 0;                                       // 24
    virtual void exitingSignal() = 0;                                           // 25
    virtual void buildRenderJobSubmenuSignal() = 0;                             // 26
    virtual void updateDownloadFinishedSignal() = 0;                            // 27
    virtual void websocketTimeoutSignal() = 0;                                  // 28
    virtual void setSyncStateSignal() = 0;                                      // 29
    virtual void openLinkWithTokenSlot(QString linkUrl) = 0;                    // 30
    virtual void overlayGeneratedSignal(QString fileName, KiteProject* jobObject) = 0; // 31
    virtual void websocketFailedSignal() = 0;                                   // 32
    virtual void texDbResultSignal(QString onlinePath, QString checksum, QString result) = 0; // 33
    virtual void updateStatusInfoSignal() = 0;                                  // 34
    virtual void tunnelConnectedSignal(bool connected) = 0;                     // 35
    virtual void disconnectLicenseTunnelSignal() = 0;                           // 36
};

#define PluginNetConnectionInterface_iid "org.orvelfarm.Qt.Kite.PluginNetConnectionInterface"

Q_DECLARE_INTERFACE(PluginNetConnectionInterface, PluginNetConnectionInterface_iid)
