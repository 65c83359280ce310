#include "TlsCredentials.h"

#include <QEventLoop>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

namespace {

constexpr qint64 kMaxPemBytes = 1024 * 1024;
constexpr int kSelfTestTimeoutMs = 10000;

bool readPem(const QString& fileName, const char* what, QByteArray& out, QString& error)
{
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1 %2: %3").arg(QLatin1String(what), fileName, f.errorString());
        return false;
    }
    out = f.read(kMaxPemBytes + 1);
    if (out.size() > kMaxPemBytes) {
        error = QStringLiteral("%1 %2 is too large for a PEM file").arg(QLatin1String(what), fileName);
        return false;
    }
    return true;
}

} // namespace

bool LoadTlsCredentials(const QString& certFile, const QString& keyFile, QSslConfiguration& out, QString& error)
{
    if (!QSslSocket::supportsSsl()) {
        error = QStringLiteral("TLS is not available (Qt found no TLS backend with OpenSSL)");
        return false;
    }
    QByteArray certPem;
    QByteArray keyPem;
    if (!readPem(certFile, "certificate", certPem, error) || !readPem(keyFile, "key", keyPem, error))
        return false;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        error = QStringLiteral("no PEM certificate in %1").arg(certFile);
        return false;
    }
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        error = QStringLiteral("no unencrypted PEM private key (RSA, EC or DSA) in %1").arg(keyFile);
        return false;
    }
    out = QSslConfiguration::defaultConfiguration();
    out.setLocalCertificateChain(chain);
    out.setPrivateKey(key);
    out.setPeerVerifyMode(QSslSocket::VerifyNone);
    return true;
}

bool SelfTestTls(const QHostAddress& listenAddress, quint16 port, QString& error)
{
    QHostAddress target = listenAddress;
    if (target == QHostAddress(QHostAddress::AnyIPv4) || target == QHostAddress(QHostAddress::Any))
        target = QHostAddress(QHostAddress::LocalHost);
    else if (target == QHostAddress(QHostAddress::AnyIPv6))
        target = QHostAddress(QHostAddress::LocalHostIPv6);

    // The server side runs in this thread, so the client must wait in an event loop, not block.
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
    client.connectToHostEncrypted(target.toString(), port);
    timeout.start(kSelfTestTimeoutMs);
    loop.exec();
    if (client.isEncrypted()) {
        client.abort();
        return true;
    }
    error = QStringLiteral("TLS handshake with the service's own port %1 failed (does the key belong to the "
                           "certificate?): %2")
                .arg(port)
                .arg(timeout.isActive() ? client.errorString() : QStringLiteral("timed out"));
    client.abort();
    return false;
}
