#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QImage>
#include <QTcpSocket>

// Raw HTTP over a socket, so tests can send what no well-behaved client would.
struct HttpAnswer
{
    int status = 0; // 0: no status line came back
    QByteArray head;
    QByteArray body;
};

// Sends bytes to 127.0.0.1:port and reads until the server closes (or the deadline passes).
inline HttpAnswer RawExchange(int port, const QByteArray& request, int timeoutMs = 10000)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
    HttpAnswer a;
    if (!s.waitForConnected(timeoutMs))
        return a;
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

inline HttpAnswer Get(int port, const QByteArray& target)
{
    return RawExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                                 "\r\nConnection: close\r\n\r\n");
}

inline QImage PngOf(const HttpAnswer& a)
{
    return QImage::fromData(a.body, "PNG");
}
