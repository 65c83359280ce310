#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QRegularExpression>
#include <QString>
#include <QTcpSocket>

// The sum of the samples of a list service's /metrics whose line starts with name (any labels after it, or the
// labels written into name); -1 when the service does not answer.
inline double metric(int port, const QString& name)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!s.waitForConnected(5000))
        return -1;
    s.write("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (s.waitForReadyRead(5000))
        answer += s.readAll();
    double sum = 0;
    const QRegularExpression re(QStringLiteral("^") + QRegularExpression::escape(name) +
                                    QStringLiteral("(\\{[^}]*\\})? ([0-9.e+]+)\\r?$"),
                                QRegularExpression::MultilineOption);
    for (auto it = re.globalMatch(QString::fromUtf8(answer)); it.hasNext();)
        sum += it.next().captured(2).toDouble();
    return sum;
}
