#include "tunnel/licensetunnel.h"

#include "net/jsonread.h"
#include "pluginnetconnection/pluginnetconnection.h"
#include "settings/kitesettings.h"
#include "tunnel/reversetunnelprocess.h"
#include "tunnel/tunnellogging.h"

#include <QAbstractButton>
#include <QFile>
#include <QJsonDocument>
#include <QMessageBox>
#include <QTimer>

LicenseTunnel::LicenseTunnel(PluginNetConnection* plugin, KiteSettings* kiteSettings)
    : QObject(plugin)
    , m_plugin(plugin)
    , m_settings(kiteSettings)
{
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &LicenseTunnel::sendSshInfo);
}

LicenseTunnel::~LicenseTunnel()
{
    // The box has no parent widget; it goes with the plug-in.
    delete licenseErrorBox.data();
}

QString LicenseTunnel::licenseFilePath() const
{
    return m_settings->localProjectsFolder + QLatin1Char('/') + QStringLiteral("license_arnold")
        + QStringLiteral(".txt");
}

void LicenseTunnel::sendSshInfo()
{
    if (m_settings->licenseLimitArnold == -1)
        m_settings->licenseLimitArnold = m_settings->licenseCountArnold;

    const QJsonObject data{
        {QStringLiteral("localPort1"), m_settings->licensePort1local},
        {QStringLiteral("localPort2"), m_settings->licensePort2local},
        {QStringLiteral("localPort3"), m_settings->licensePort3local},
        {QStringLiteral("serverHost"), m_settings->licenseServerArnold},
        {QStringLiteral("licenseCount"), m_settings->licenseCountArnold},
        {QStringLiteral("licenseLimit"), m_settings->licenseLimitArnold},
    };
    m_plugin->makeRequest(QStringLiteral("sshInfo"), data);
    writeLicenseFile();
}

void LicenseTunnel::writeLicenseFile()
{
    QFile file(licenseFilePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_settings->writeToLog(QStringLiteral("1389 Could not open file..."), 0);
        return;
    }
    file.write(QByteArray::number(m_settings->licenseCountArnold) + "\r\n");
    file.write(QByteArray::number(m_settings->licenseLimitArnold) + "\r\n");
    file.close();
}

void LicenseTunnel::sshInfoAnswer(const QJsonObject& message)
{
    qCDebug(lcTunnel).noquote() << "2878 sshInfo message: "
                                << QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    const QJsonObject data = message.value(QStringLiteral("data")).toObject();

    if (data.value(QStringLiteral("Error")).toBool()) {
        ++sshErrorCounter;
        qCDebug(lcTunnel) << "2888 sshErrorCounter" << sshErrorCounter;
        if (sshErrorCounter <= maxAutomaticRetries) {
            // The waits grow: 1 s, 2 s, ... 10 s.
            retryTimer->start(sshErrorCounter * retryStepMs);
            return;
        }
        qCDebug(lcTunnel) << "2896 retry limit reached, show error dialog with retry button";
        showErrorBox();
        return;
    }

    m_settings->licensePort1 = JsonRead::integer(data.value(QStringLiteral("port1")));
    m_settings->licensePort2 = JsonRead::integer(data.value(QStringLiteral("port2")));
    m_settings->licensePort3 = JsonRead::integer(data.value(QStringLiteral("port3")));
    m_settings->saveToIni();
    m_plugin->connectLicenseTunnel();
}

void LicenseTunnel::showErrorBox()
{
    if (!licenseErrorBox) {
        licenseErrorBox = new QMessageBox;
        licenseErrorBox->setIcon(QMessageBox::Warning);
        licenseErrorBox->setText(tr("Could not connect license server."));
        licenseErrorBox->setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
        connect(licenseErrorBox.data(), &QMessageBox::buttonClicked, this, &LicenseTunnel::licenseRetry);
    }
    licenseErrorBox->show();
    licenseErrorBox->raise();
}

void LicenseTunnel::licenseRetry(QAbstractButton* button)
{
    qCDebug(lcTunnel) << "3393 licenseRetrySlot";
    if (!button)
        return;
    qCDebug(lcTunnel) << "3393 licenseRetrySlot button->text()" << button->text();
    // The button is told by its role, not by its (translated) text.
    const bool retry = licenseErrorBox && licenseErrorBox->standardButton(button) == QMessageBox::Retry;
    if (!retry)
        return;
    sshErrorCounter = 0;
    sendSshInfo();
}

void LicenseTunnel::connectLicenseTunnel()
{
    if (!m_plugin->reverseTunnelProcess) {
        qCDebug(lcTunnel) << "75 start reverse tunnel";
        auto* tunnel = new ReverseTunnelProcess(m_settings);
        m_plugin->reverseTunnelProcess = tunnel;
        connect(m_plugin, &PluginNetConnection::disconnectLicenseTunnelSignal, tunnel,
                &ReverseTunnelProcess::disconnectLicenseTunnelSlot);
        connect(tunnel, &ReverseTunnelProcess::tunnelConnectedSignal, m_plugin,
                &PluginNetConnection::tunnelConnectedSignal);
        qCDebug(lcTunnel) << "78 start reverse tunnel";
    }
    if (!m_plugin->reverseTunnelProcess->isStarted())
        m_plugin->reverseTunnelProcess->connectTunnel();
}

void LicenseTunnel::disconnectLicenseTunnel()
{
    qCDebug(lcTunnel) << "disconnectLicenseTunnelSlot...";
    emit m_plugin->disconnectLicenseTunnelSignal();
}
