#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

class QTcpServer;
class QTcpSocket;

namespace testsupport {

// A stand-in for tor's control port on 127.0.0.1 that answers each command line with scripted bytes, for
// peers that misbehave (garbage, replies nobody asked for, lines without end, closing mid-reply) and for
// answers a tor without network access cannot give (a consensus). Serves one client at a time on the
// thread that makes it; commands without a scripted answer get none.
//
//     FakeTorControlPort fake;
//     fake.answer("AUTHENTICATE", "250 OK\r\n");
//     fake.answer("GETINFO ns/all", "250+ns/all=\r\n...\r\n.\r\n250 OK\r\n");
//     fake.answer("GETINFO", "garbage", FakeTorControlPort::ThenClose);
class FakeTorControlPort : public QObject
{
    Q_OBJECT

public:
    enum After
    {
        StayOpen,
        ThenClose
    };

    FakeTorControlPort();
    ~FakeTorControlPort() override;

    quint16 port() const;
    // Bytes written as soon as a client connects (before any command).
    void greet(const QByteArray& bytes, After after = StayOpen);
    // The answer to a command line that starts with prefix; the first matching answer added wins.
    void answer(const QByteArray& prefix, const QByteArray& reply, After after = StayOpen);
    // The command lines received so far, without their line ends.
    QList<QByteArray> commands() const { return m_commands; }

private:
    struct Answer
    {
        QByteArray prefix;
        QByteArray reply;
        After after;
    };
    void play(const QByteArray& bytes, After after);
    void readCommands();

    QTcpServer* m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_partial;
    QByteArray m_greeting;
    After m_greetingAfter = StayOpen;
    QList<Answer> m_answers;
    QList<QByteArray> m_commands;
};

} // namespace testsupport
