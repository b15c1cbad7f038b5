#include "farmtls.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace {
bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}
} // namespace

bool loadServerTls(const QString& certificatePemPath, const QString& keyPemPath,
                   QSslConfiguration& configuration, QString* error)
{
    QFile certificateFile(certificatePemPath);
    if (!certificateFile.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1: %2").arg(certificatePemPath, certificateFile.errorString()));
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateFile.readAll(), QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull())
        return fail(error, QStringLiteral("no PEM certificate in %1").arg(certificatePemPath));

    QFile keyFile(keyPemPath);
    if (!keyFile.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1: %2").arg(keyPemPath, keyFile.errorString()));
    const QByteArray keyPem = keyFile.readAll();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull())
        return fail(error, QStringLiteral("no usable unencrypted PEM private key in %1").arg(keyPemPath));

    configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(chain.first());
    if (chain.size() > 1)
        configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return true;
}
