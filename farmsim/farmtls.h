#pragma once

#include <QSslConfiguration>
#include <QString>

// Server-side TLS configuration from PEM files: the certificate file may hold
// a chain (leaf first); the key is an unencrypted RSA or EC private key.
// TLS 1.2 or later, no client certificates.
bool loadServerTls(const QString& certificatePemPath, const QString& keyPemPath,
                   QSslConfiguration& configuration, QString* error = nullptr);
