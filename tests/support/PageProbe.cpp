#include "support/PageProbe.h"

#include "support/Wait.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

namespace testsupport {

QStringList PageInspector::launchArgs(BrowserLaunch::Browser browser)
{
    // Port 0: the browser picks a free one and prints where it listens (on loopback only).
    if (browser == BrowserLaunch::Browser::Chromium)
        return {QStringLiteral("--remote-debugging-address=127.0.0.1"), QStringLiteral("--remote-debugging-port=0")};
    return {QStringLiteral("--remote-debugging-port"), QStringLiteral("0")};
}

bool PageInspector::attach(BrowserLaunch::Browser browser, const BrowserRunner& runner, int timeoutMs)
{
    m_browser = browser;
    m_error.clear();
    const QDeadlineTimer deadline(timeoutMs);
    const bool chromium = browser == BrowserLaunch::Browser::Chromium;
    static const QRegularExpression chromiumLine(QStringLiteral("DevTools listening on (ws://127\\.0\\.0\\.1:\\S+)"));
    static const QRegularExpression firefoxLine(
        QStringLiteral("WebDriver BiDi listening on (ws://127\\.0\\.0\\.1:\\S+)"));
    QString address;
    waitUntil(
        [&] {
            address = (chromium ? chromiumLine : firefoxLine).match(QString::fromUtf8(runner.output())).captured(1);
            return !address.isEmpty() || !runner.running();
        },
        timeoutMs, 50);
    if (address.isEmpty()) {
        m_error = QStringLiteral("the browser never offered its remote protocol:\n") +
                  QString::fromUtf8(runner.output().right(4000));
        return false;
    }
    if (!chromium)
        address += QStringLiteral("/session");
    m_socket.open(QUrl(address));
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket, [this](const QString& message) {
        m_received.append(QJsonDocument::fromJson(message.toUtf8()).object());
    });
    if (!waitUntil([&] { return m_socket.state() == QAbstractSocket::ConnectedState; }, timeoutMs)) {
        m_error = QStringLiteral("cannot connect to ") + address + QStringLiteral(": ") + m_socket.errorString();
        return false;
    }

    const int rest = int(qMax<qint64>(1, deadline.remainingTime()));
    if (chromium) {
        // The page the browser was started on, reached through a session of its own.
        const auto targets = command(QStringLiteral("Target.getTargets"), {}, rest);
        if (!targets)
            return false;
        QString target;
        for (const QJsonValue each : targets->value(QStringLiteral("targetInfos")).toArray()) {
            if (each[QStringLiteral("type")].toString() == QLatin1String("page"))
                target = each[QStringLiteral("targetId")].toString();
        }
        if (target.isEmpty()) {
            m_error = QStringLiteral("the browser shows no page");
            return false;
        }
        const auto attached = command(QStringLiteral("Target.attachToTarget"),
                                      {{QStringLiteral("targetId"), target}, {QStringLiteral("flatten"), true}}, rest);
        if (!attached)
            return false;
        m_session = attached->value(QStringLiteral("sessionId")).toString();
        return true;
    }
    if (!command(QStringLiteral("session.new"), {{QStringLiteral("capabilities"), QJsonObject()}}, rest))
        return false;
    const auto tree = command(QStringLiteral("browsingContext.getTree"), {}, rest);
    if (!tree)
        return false;
    m_context = tree->value(QStringLiteral("contexts")).toArray().first()[QStringLiteral("context")].toString();
    if (m_context.isEmpty()) {
        m_error = QStringLiteral("the browser shows no page");
        return false;
    }
    return true;
}

std::optional<QString> PageInspector::evaluate(const QString& expression, int timeoutMs)
{
    std::optional<QJsonObject> answer;
    if (m_browser == BrowserLaunch::Browser::Chromium) {
        answer =
            command(QStringLiteral("Runtime.evaluate"),
                    {{QStringLiteral("expression"), expression}, {QStringLiteral("returnByValue"), true}}, timeoutMs);
        if (answer && answer->contains(QStringLiteral("exceptionDetails"))) {
            m_error = QString::fromUtf8(QJsonDocument(*answer).toJson(QJsonDocument::Compact));
            return std::nullopt;
        }
    } else {
        answer = command(QStringLiteral("script.evaluate"),
                         {{QStringLiteral("expression"), expression},
                          {QStringLiteral("target"), QJsonObject{{QStringLiteral("context"), m_context}}},
                          {QStringLiteral("awaitPromise"), false}},
                         timeoutMs);
        if (answer && answer->value(QStringLiteral("type")).toString() != QLatin1String("success")) {
            m_error = QString::fromUtf8(QJsonDocument(*answer).toJson(QJsonDocument::Compact));
            return std::nullopt;
        }
    }
    if (!answer)
        return std::nullopt;
    const QJsonValue value = answer->value(QStringLiteral("result"))[QStringLiteral("value")];
    if (!value.isString()) {
        m_error = QStringLiteral("the expression gave no text: ") +
                  QString::fromUtf8(QJsonDocument(*answer).toJson(QJsonDocument::Compact));
        return std::nullopt;
    }
    return value.toString();
}

std::optional<QJsonObject> PageInspector::command(const QString& method, const QJsonObject& params, int timeoutMs)
{
    const int id = m_nextId++;
    QJsonObject message{
        {QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    if (!m_session.isEmpty())
        message.insert(QStringLiteral("sessionId"), m_session);
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    std::optional<QJsonObject> answer;
    waitUntil(
        [&] {
            for (const QJsonObject& each : std::as_const(m_received)) {
                if (each.value(QStringLiteral("id")).toInt(-1) == id)
                    answer = each;
            }
            m_received.clear();
            return answer.has_value() || m_socket.state() != QAbstractSocket::ConnectedState;
        },
        timeoutMs);
    if (!answer) {
        m_error = method + QStringLiteral(": no answer from the browser");
        return std::nullopt;
    }
    if (answer->contains(QStringLiteral("error"))) {
        m_error =
            method + QStringLiteral(": ") + QString::fromUtf8(QJsonDocument(*answer).toJson(QJsonDocument::Compact));
        return std::nullopt;
    }
    return answer->value(QStringLiteral("result")).toObject();
}

} // namespace testsupport
