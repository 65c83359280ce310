#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

namespace testsupport {

// A site for real browsers: its page sets a lasting cookie (vp=1) and then asks for /probe every
// 300 ms; the site records whether each probe carried the cookie. Runs on the creating thread's
// event loop, so the test must spin it while a browser talks to it.
class CookieSite : public QObject
{
public:
    CookieSite();
    // Listens on address (a port the system chooses).
    bool listen(const QString& address);
    // "http://<address>:<port>/", the page.
    QString url() const;
    // Probes received so far.
    int probes() const { return int(m_probes.size()); }
    // Whether the last probe carried the cookie.
    bool lastHadCookie() const { return !m_probes.isEmpty() && m_probes.last(); }

private:
    void answer(QTcpSocket* socket);

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_heads;
    QList<bool> m_probes;
};

} // namespace testsupport
