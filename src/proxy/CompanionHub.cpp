#include "proxy/CompanionHub.h"

#include "proxy/CompanionSession.h"
#include "proxy/TBrowserRoutines.h"

#include <QTimer>

CompanionHub::CompanionHub(QObject* parent) : QObject(parent) {}

CompanionHub::~CompanionHub()
{
    closeAll();
}

void CompanionHub::adopt(int fd, const QByteArray& greeting)
{
    auto* session = new CompanionSession(fd, greeting, this);
    m_sessions.append(session);
    connect(session, &CompanionSession::received, this,
            [this, session](const QJsonObject& answer) { onAnswer(session, answer); });
    connect(session, &CompanionSession::closed, this, [this, session] { onClosed(session); });
    qCInfo(lcBrowsers) << "companion session opened for" << session->browser();
    if (!m_proxy.isEmpty())
        session->send(proxyCommand());
    emit companionsChanged();
}

QJsonObject CompanionHub::proxyCommand() const
{
    const qint64 id = 0; // proxy commands are not waited for; answers only go to the trace
    const qsizetype colon = m_proxy.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const int port = colon < 0 ? 0 : m_proxy.mid(colon + 1).toInt(&portOk);
    if (m_proxy.isEmpty() || colon <= 0 || !portOk)
        return {{QStringLiteral("cmd"), QStringLiteral("clearProxy")}, {QStringLiteral("id"), id}};
    return {{QStringLiteral("cmd"), QStringLiteral("setProxy")},
            {QStringLiteral("id"), id},
            {QStringLiteral("host"), m_proxy.left(colon)},
            {QStringLiteral("port"), port}};
}

void CompanionHub::setProxy(const QString& proxy)
{
    m_proxy = proxy;
    const QJsonObject command = proxyCommand();
    if (!proxy.isEmpty() && command.value(QStringLiteral("cmd")).toString() != QStringLiteral("setProxy"))
        qCWarning(lcBrowsers) << "not a proxy the companions can use:" << proxy;
    // A copy: a session that fails while being written to leaves the list.
    const auto sessions = m_sessions;
    for (const QPointer<CompanionSession>& session : sessions) {
        if (session)
            session->send(command);
    }
}

void CompanionHub::clearBrowsingData(std::function<void(const CompanionClearOutcome&)> done)
{
    const qint64 clearingId = m_nextId++;
    Clearing& clearing = m_clearings[clearingId];
    clearing.done = std::move(done);
    const auto sessions = m_sessions;
    for (const QPointer<CompanionSession>& session : sessions) {
        if (!session || !session->isOpen())
            continue;
        const qint64 commandId = m_nextId++;
        clearing.waiting[commandId] = session;
        m_commandClearing[commandId] = clearingId;
        session->send({{QStringLiteral("cmd"), QStringLiteral("clearData")}, {QStringLiteral("id"), commandId}});
    }
    // The sends above may already have found sessions gone; the rest are waited for with a bound.
    QTimer::singleShot(0, this, [this, clearingId] { finishIfDone(clearingId); });
    QTimer::singleShot(m_answerTimeoutMs, this, [this, clearingId] {
        auto it = m_clearings.find(clearingId);
        if (it == m_clearings.end())
            return;
        const auto waiting = it->second.waiting;
        for (const auto& [commandId, session] : waiting)
            settle(clearingId, commandId, session ? session->browser() : QStringLiteral("browser"), false,
                   QStringLiteral("no answer"));
    });
}

void CompanionHub::onAnswer(CompanionSession* session, const QJsonObject& answer)
{
    if (answer.value(QStringLiteral("type")).toString() != QStringLiteral("result"))
        return;
    const QString command = answer.value(QStringLiteral("cmd")).toString();
    const bool ok = answer.value(QStringLiteral("ok")).toBool();
    const QString detail = answer.value(ok ? QStringLiteral("via") : QStringLiteral("error")).toString().left(200);
    if (command == QStringLiteral("setProxy") || command == QStringLiteral("clearProxy")) {
        if (!ok)
            qCWarning(lcBrowsers) << "the" << session->browser() << "companion could not" << command << ":" << detail;
        else
            qCInfo(lcBrowsers) << "the" << session->browser() << "companion did" << command << detail;
        emit proxyAnswered(session->browser(), ok, command == QStringLiteral("setProxy") ? detail : QString());
        return;
    }
    const qint64 commandId = answer.value(QStringLiteral("id")).toInteger();
    auto owner = m_commandClearing.find(commandId);
    if (command != QStringLiteral("clearData") || owner == m_commandClearing.end())
        return;
    // Only the session the command went to may answer it.
    auto clearing = m_clearings.find(owner->second);
    if (clearing == m_clearings.end())
        return;
    auto waiting = clearing->second.waiting.find(commandId);
    if (waiting == clearing->second.waiting.end() || waiting->second != session)
        return;
    settle(owner->second, commandId, session->browser(), ok, detail);
}

void CompanionHub::onClosed(CompanionSession* session)
{
    qCInfo(lcBrowsers) << "companion session closed for" << session->browser();
    m_sessions.removeAll(session);
    std::vector<std::pair<qint64, qint64>> orphaned;
    for (const auto& [clearingId, clearing] : m_clearings) {
        for (const auto& [commandId, waitingOn] : clearing.waiting) {
            if (waitingOn == session)
                orphaned.emplace_back(clearingId, commandId);
        }
    }
    for (const auto& [clearingId, commandId] : orphaned)
        settle(clearingId, commandId, session->browser(), false, QStringLiteral("disconnected"));
    session->deleteLater();
    emit companionsChanged();
}

void CompanionHub::settle(qint64 clearingId, qint64 commandId, const QString& browser, bool ok, const QString& reason)
{
    m_commandClearing.erase(commandId);
    auto it = m_clearings.find(clearingId);
    if (it == m_clearings.end() || it->second.waiting.erase(commandId) == 0)
        return;
    if (ok)
        it->second.outcome.cleared << browser;
    else
        it->second.outcome.failed << browser + QStringLiteral(": ") +
                                         (reason.isEmpty() ? QStringLiteral("failed") : reason);
    finishIfDone(clearingId);
}

void CompanionHub::finishIfDone(qint64 clearingId)
{
    auto it = m_clearings.find(clearingId);
    if (it == m_clearings.end() || !it->second.waiting.empty())
        return;
    Clearing finished = std::move(it->second);
    m_clearings.erase(it);
    if (finished.done)
        finished.done(finished.outcome);
}

QStringList CompanionHub::connectedBrowsers() const
{
    QStringList browsers;
    for (const QPointer<CompanionSession>& session : m_sessions) {
        if (session && session->isOpen())
            browsers << session->browser();
    }
    return browsers;
}

void CompanionHub::closeAll()
{
    const auto sessions = m_sessions;
    for (const QPointer<CompanionSession>& session : sessions) {
        if (session)
            session->close();
    }
}
