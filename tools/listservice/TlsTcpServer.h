#pragma once

#include <QSslConfiguration>
#include <QTcpServer>

// A listener that hands out QSslSockets already in their server handshake. Unlike QSslServer it
// hands them out at once rather than after the handshake, so the HTTP layer counts and times out a
// client that stalls in the handshake or sends garbage exactly like one that stalls in its request.
class TlsTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit TlsTcpServer(QSslConfiguration configuration, QObject* parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_configuration;
};
