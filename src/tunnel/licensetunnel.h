#pragma once

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

class KiteSettings;
class PluginNetConnection;
class QAbstractButton;
class QMessageBox;
class QTimer;

// The plug-in's side of the licence tunnel: tells the server about the user's
// licence server ("sshInfo"), takes the farm ports from its answer, retries
// with growing waits when the server reports an error and finally asks the
// user, and creates and starts the plug-in's ReverseTunnelProcess.
class LicenseTunnel : public QObject
{
    Q_OBJECT
public:
    // Automatic retries after an "Error" answer; the n-th waits n × retryStepMs.
    static constexpr int maxAutomaticRetries = 10;

    LicenseTunnel(PluginNetConnection* plugin, KiteSettings* kiteSettings);
    ~LicenseTunnel() override;

    // Sends "sshInfo" and writes the licence file
    // <localProjectsFolder>/license_arnold.txt.
    void sendSshInfo();
    // The server's "sshInfo" message: farm ports, or "Error".
    void sshInfoAnswer(const QJsonObject& message);
    // The user's answer to the error box; only Retry does something.
    void licenseRetry(QAbstractButton* button);
    // Creates the tunnel object on first use and starts it unless started.
    void connectLicenseTunnel();
    // Asks the tunnel object to drop the connection.
    void disconnectLicenseTunnel();

    // <localProjectsFolder>/license_arnold.txt
    QString licenseFilePath() const;

    int sshErrorCounter = 0;
    QPointer<QMessageBox> licenseErrorBox;
    int retryStepMs = 1000;          // settable for tests
    QTimer* retryTimer = nullptr;    // single-shot, the next sendSshInfo after an error

private:
    void showErrorBox();
    void writeLicenseFile();

    PluginNetConnection* m_plugin;
    KiteSettings* m_settings;
};
