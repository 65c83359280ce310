#pragma once

#include <QHostAddress>
#include <QSslConfiguration>
#include <QString>

/// Builds the server side TLS configuration from a PEM certificate (chain) and a PEM private key
/// (RSA, EC or DSA, unencrypted); false with a readable error when either cannot be used.
bool LoadTlsCredentials(const QString& certFile, const QString& keyFile, QSslConfiguration& out, QString& error);

/// Completes one TLS handshake with the service's own TLS port (a loopback address when it listens
/// on every address); false with the reason when it fails, for instance a key of another certificate.
bool SelfTestTls(const QHostAddress& listenAddress, quint16 port, QString& error);
