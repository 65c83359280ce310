#include "TlsTcpServer.h"

#include <QSslSocket>

TlsTcpServer::TlsTcpServer(QSslConfiguration configuration, QObject* parent)
    : QTcpServer(parent), m_configuration(std::move(configuration))
{
}

void TlsTcpServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(m_configuration);
    // Nobody asks a client for a certificate: anyone may fetch the list.
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->startServerEncryption();
    // A configuration the TLS library refuses (a key that does not fit the certificate) fails right
    // here, and such a socket would otherwise sit open until the idle time-out.
    if (socket->error() != QAbstractSocket::UnknownSocketError) {
        delete socket;
        return;
    }
    addPendingConnection(socket);
}
