#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QImage>
#include <QNetworkProxy>
#include <QProcess>
#include <QSslSocket>
#include <QTcpSocket>

// Raw HTTP over a socket, so tests can send what no well-behaved client would.
struct HttpAnswer
{
    int status = 0; // 0: no status line came back
    QByteArray head;
    QByteArray body;
};

// Writes the request and reads until the server closes (or the deadline passes).
inline HttpAnswer ExchangeOn(QTcpSocket& s, const QByteArray& request, int timeoutMs)
{
    HttpAnswer a;
    s.write(request);
    QByteArray all;
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && s.state() == QAbstractSocket::ConnectedState) {
        if (s.waitForReadyRead(100))
            all += s.readAll();
    }
    all += s.readAll();
    const int end = all.indexOf("\r\n\r\n");
    a.head = end < 0 ? all : all.left(end);
    a.body = end < 0 ? QByteArray() : all.mid(end + 4);
    if (a.head.startsWith("HTTP/1.1 "))
        a.status = a.head.mid(9, 3).toInt();
    return a;
}

// Sends bytes to 127.0.0.1:port (from the given loopback address, when one is given) and reads until
// the server closes (or the deadline passes).
inline HttpAnswer RawExchange(int port, const QByteArray& request, int timeoutMs = 10000,
                              const QHostAddress& from = QHostAddress())
{
    QTcpSocket s;
    if (!from.isNull() && !s.bind(from))
        return {};
    s.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
    if (!s.waitForConnected(timeoutMs))
        return {};
    return ExchangeOn(s, request, timeoutMs);
}

// The same over TLS to 127.0.0.1:port, directly or through a CONNECT tunnel of an HTTP proxy on
// 127.0.0.1:proxyPort. The certificate is not checked: the tests' certificate is self-signed.
inline HttpAnswer TlsExchange(int port, const QByteArray& request, int proxyPort = 0, int timeoutMs = 10000)
{
    QSslSocket s;
    s.setPeerVerifyMode(QSslSocket::VerifyNone);
    s.setProxy(proxyPort == 0 ? QNetworkProxy(QNetworkProxy::NoProxy)
                              : QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"),
                                              static_cast<quint16>(proxyPort)));
    s.connectToHostEncrypted(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
    if (!s.waitForEncrypted(timeoutMs))
        return {};
    return ExchangeOn(s, request, timeoutMs);
}

inline HttpAnswer Get(int port, const QByteArray& target)
{
    return RawExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                                 "\r\nConnection: close\r\n\r\n");
}

inline QImage PngOf(const HttpAnswer& a)
{
    return QImage::fromData(a.body, "PNG");
}

// A started process's standard output up to the first time it holds marker (or the process ends, or the time
// is up).
inline QByteArray OutputUntil(QProcess& process, const QByteArray& marker, int timeoutMs = 10000)
{
    QByteArray out;
    const QDeadlineTimer deadline(timeoutMs);
    while (!out.contains(marker) && !deadline.hasExpired() && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
    }
    return out;
}
