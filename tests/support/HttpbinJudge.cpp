#include "support/HttpbinJudge.h"

#include "support/EndsWithParent.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace testsupport {

namespace {

// Starting the interpreter and Flask takes seconds on a busy machine.
constexpr int kStartTimeoutMs = 30000;
constexpr int kPortAttempts = 3;

bool answersHttp(const QHostAddress& host, int port)
{
    QTcpSocket socket;
    socket.connectToHost(host, quint16(port));
    if (!socket.waitForConnected(200))
        return false;
    socket.write("GET /get HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    return socket.waitForReadyRead(2000) && socket.readAll().startsWith("HTTP/1.");
}

} // namespace

HttpbinJudge::~HttpbinJudge()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

bool HttpbinJudge::start(const QHostAddress& host)
{
    m_host = host;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        {
            QTcpServer probe;
            m_port = probe.listen(host, 0) ? probe.serverPort() : 0;
        }
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        EndsWithParent(*m_process);
        m_process->start(QStringLiteral("/usr/bin/python3"),
                         {QStringLiteral("-m"), QStringLiteral("httpbin.core"), QStringLiteral("--host"),
                          host.toString(), QStringLiteral("--port"), QString::number(m_port)});
        if (!m_process->waitForStarted(kStartTimeoutMs)) {
            m_error = QStringLiteral("/usr/bin/python3 did not start: ") + m_process->errorString();
            return false;
        }
        const QDeadlineTimer deadline(kStartTimeoutMs);
        while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
            if (answersHttp(m_host, m_port))
                return true;
            m_process->waitForFinished(100);
        }
        const QByteArray output = m_process->readAll();
        m_process->kill();
        m_process->waitForFinished(2000);
        m_error = QStringLiteral("httpbin on port %1 did not come up (python3-httpbin installed?): %2")
                      .arg(m_port)
                      .arg(QString::fromLocal8Bit(output.right(2000)));
    }
    return false;
}

QString HttpbinJudge::url(const QString& path) const
{
    return QStringLiteral("http://%1:%2").arg(m_host.toString()).arg(m_port) + path;
}

} // namespace testsupport
