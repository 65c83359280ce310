#include "support/FakeTorControlPort.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace testsupport {

FakeTorControlPort::FakeTorControlPort() : m_server(new QTcpServer(this))
{
    m_server->listen(QHostAddress::LocalHost, 0);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            if (m_client)
                m_client->abort();
            m_client = socket;
            m_partial.clear();
            connect(socket, &QTcpSocket::readyRead, this, &FakeTorControlPort::readCommands);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            if (!m_greeting.isEmpty() || m_greetingAfter == ThenClose)
                play(m_greeting, m_greetingAfter);
        }
    });
}

FakeTorControlPort::~FakeTorControlPort()
{
    if (m_client)
        m_client->abort();
}

quint16 FakeTorControlPort::port() const
{
    return m_server->serverPort();
}

void FakeTorControlPort::greet(const QByteArray& bytes, After after)
{
    m_greeting = bytes;
    m_greetingAfter = after;
}

void FakeTorControlPort::answer(const QByteArray& prefix, const QByteArray& reply, After after)
{
    m_answers.append({prefix, reply, after});
}

void FakeTorControlPort::play(const QByteArray& bytes, After after)
{
    if (!m_client)
        return;
    m_client->write(bytes);
    if (after == ThenClose) {
        m_client->flush();
        m_client->disconnectFromHost();
    }
}

void FakeTorControlPort::readCommands()
{
    if (!m_client)
        return;
    m_partial += m_client->readAll();
    qsizetype end;
    while (m_client && (end = m_partial.indexOf("\r\n")) >= 0) {
        const QByteArray command = m_partial.left(end);
        m_partial.remove(0, end + 2);
        m_commands << command;
        for (const Answer& answer : std::as_const(m_answers)) {
            if (command.startsWith(answer.prefix)) {
                play(answer.reply, answer.after);
                break;
            }
        }
    }
}

} // namespace testsupport
