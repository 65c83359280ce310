#include "support/CookieSite.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace testsupport {

CookieSite::CookieSite()
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
                m_heads.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

bool CookieSite::listen(const QString& address)
{
    return m_server.listen(QHostAddress(address));
}

QString CookieSite::url() const
{
    return QStringLiteral("http://%1:%2/").arg(m_server.serverAddress().toString()).arg(m_server.serverPort());
}

void CookieSite::answer(QTcpSocket* socket)
{
    QByteArray& head = m_heads[socket];
    head += socket->readAll();
    if (!head.contains("\r\n\r\n"))
        return;
    const QByteArray request = head;
    m_heads.remove(socket);
    QByteArray reply;
    if (request.startsWith("GET /probe")) {
        m_probes << request.contains("\r\nCookie: vp=1");
        reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nCache-Control: no-store\r\nConnection: close\r\n\r\nok";
    } else if (request.startsWith("GET / ")) {
        const QByteArray page = "<html><body><script>let n = 0; setInterval(() => fetch('/probe?' + n++, "
                                "{cache: 'no-store'}).catch(() => {}), 300);</script></body></html>";
        reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nSet-Cookie: vp=1; Max-Age=3600; Path=/\r\n"
                "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
                QByteArray::number(page.size()) + "\r\n\r\n" + page;
    } else {
        reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    socket->write(reply);
    socket->disconnectFromHost();
}

} // namespace testsupport
