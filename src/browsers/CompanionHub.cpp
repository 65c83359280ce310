#include "browsers/CompanionHub.h"

#include "browsers/CompanionSession.h"
#include "browsers/TBrowserRoutines.h"
#include "platform/ProxyAddress.h"

#include <QTimer>

#include <vector>

CompanionHub::CompanionHub(QObject* parent) : QObject(parent) {}

CompanionHub::~CompanionHub()
{
    closeAll();
}

namespace {

// Host, port and kind of a proxy text the companions can use; false for anything else.
bool splitProxy(const QString& proxy, QString* host, int* port, bool* socks5 = nullptr)
{
    const platform::ProxyAddress address = platform::ProxyAddress::parse(proxy);
    *host = address.host;
    *port = address.port;
    if (socks5)
        *socks5 = address.socks5;
    return address.isValid();
}

} // namespace

void CompanionHub::adopt(int fd, const QByteArray& greeting)
{
    auto* session = new CompanionSession(fd, greeting, this);
    m_sessions.append(session);
    connect(session, &CompanionSession::received, this,
            [this, session](const QJsonObject& answer) { onAnswer(session, answer); });
    connect(session, &CompanionSession::closed, this, [this, session] { onClosed(session); });
    qCInfo(lcBrowsers) << "companion session opened for" << session->browser();
    // A new companion has already given its browser back to the user's own setting.
    const QJsonObject command = proxyCommand(*session);
    if (command.value(QStringLiteral("cmd")).toString() == QStringLiteral("setProxy"))
        session->send(command);
    if (!m_proxy.isEmpty())
        session->send(webRtcCommand());
    emit companionsChanged();
}

QJsonObject CompanionHub::proxyCommand(const CompanionSession& session) const
{
    const qint64 id = 0; // proxy commands are not waited for; answers only go to the trace
    // Firefox keeps a proxy of its own; the Chromium family follows the desktop's settings by itself, so its
    // companions go with the desktop's choice.
    const bool follows = session.isFirefox() ? m_choice.firefox : m_choice.chromiumFamily;
    QString host;
    int port = 0;
    bool socks5 = false;
    if (!follows || m_proxy.isEmpty() || !splitProxy(m_proxy, &host, &port, &socks5))
        return {{QStringLiteral("cmd"), QStringLiteral("clearProxy")}, {QStringLiteral("id"), id}};
    QJsonObject command{{QStringLiteral("cmd"), QStringLiteral("setProxy")},
                        {QStringLiteral("id"), id},
                        {QStringLiteral("host"), host},
                        {QStringLiteral("port"), port},
                        {QStringLiteral("https"), m_choice.https}};
    // A SOCKS5 proxy must be asked for the site's name too: a browser that looks names up itself tells its
    // resolver every site it visits.
    if (socks5) {
        command.insert(QStringLiteral("scheme"), QStringLiteral("socks5"));
        command.insert(QStringLiteral("proxyDNS"), true);
    }
    return command;
}

// WebRTC follows hiding, not the choice of browsers: one left out of the proxy gains nothing from its UDP going
// out beside the desktop's proxy. A companion too old to know the command answers with an error, which counts as
// not protected.
QJsonObject CompanionHub::webRtcCommand() const
{
    return {{QStringLiteral("cmd"), QStringLiteral("setWebRtc")},
            {QStringLiteral("id"), 0},
            {QStringLiteral("protect"), !m_proxy.isEmpty()}};
}

void CompanionHub::setProxy(const QString& proxy, const CompanionProxyChoice& choice)
{
    m_proxy = proxy;
    m_choice = choice;
    QString host;
    int port = 0;
    if (!proxy.isEmpty() && !splitProxy(proxy, &host, &port))
        qCWarning(lcBrowsers) << "not a proxy the companions can use:" << proxy;
    // A copy: a session that fails while being written to leaves the list.
    const auto sessions = m_sessions;
    for (const QPointer<CompanionSession>& session : sessions) {
        if (session)
            session->send(proxyCommand(*session));
        if (session)
            session->send(webRtcCommand());
    }
}

void CompanionHub::clearBrowsingData(std::function<void(const CompanionClearOutcome&)> done)
{
    struct Command
    {
        qint64 id;
        QPointer<CompanionSession> session;
        QString browser;
    };
    const qint64 clearingId = m_nextId++;
    std::vector<Command> commands;
    Clearing& clearing = m_clearings[clearingId];
    clearing.done = std::move(done);
    for (const QPointer<CompanionSession>& session : std::as_const(m_sessions)) {
        if (!session || !session->isOpen())
            continue;
        const qint64 commandId = m_nextId++;
        clearing.waiting[commandId] = session;
        m_commandClearing[commandId] = clearingId;
        commands.push_back({commandId, session, session->browser()});
    }
    // Every command is waited for before the first goes out. A send that finds its companion gone ends that
    // session at once, which settles its command and may finish the clearing: nothing of the table is held
    // across a send.
    for (const Command& command : commands) {
        if (m_clearings.find(clearingId) == m_clearings.end())
            break;
        if (command.session && command.session->isOpen())
            command.session->send(
                {{QStringLiteral("cmd"), QStringLiteral("clearData")}, {QStringLiteral("id"), command.id}});
    }
    // Sessions that ended during the loop without their end being settled yet.
    for (const Command& command : commands) {
        if (!command.session || !command.session->isOpen())
            settle(clearingId, command.id, command.browser, false, QStringLiteral("disconnected"));
    }
    finishIfDone(clearingId);
    // The rest are waited for with a bound.
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
        // Behind a SOCKS5 proxy a browser counts as hidden only when its companion says that names go through
        // it too; one that did not take proxyDNS (an older companion) leaks every site's name.
        if (ok && command == QStringLiteral("setProxy") && platform::ProxyAddress::parse(m_proxy).socks5 &&
            answer.value(QStringLiteral("proxyDNS")) != QJsonValue(true)) {
            qCWarning(lcBrowsers) << "the" << session->browser()
                                  << "companion set the SOCKS5 proxy but not names through it: not hidden";
            emit proxyAnswered(session->browser(), false, QStringLiteral("names resolved outside the proxy"));
            return;
        }
        if (!ok)
            qCWarning(lcBrowsers) << "the" << session->browser() << "companion could not" << command << ":" << detail;
        else
            qCInfo(lcBrowsers) << "the" << session->browser() << "companion did" << command << detail;
        emit proxyAnswered(session->browser(), ok, command == QStringLiteral("setProxy") ? detail : QString());
        return;
    }
    if (command == QStringLiteral("setWebRtc")) {
        // Only an answer that says it protected may lift a refusal: an old companion's "unknown command" has no
        // protect field.
        const bool protect = answer.value(QStringLiteral("protect")).toBool();
        if (ok && protect) {
            m_webRtcRefusals.erase(session);
            qCInfo(lcBrowsers) << "the" << session->browser() << "companion keeps WebRTC to the proxy";
        } else if (!ok) {
            const QString reason = detail.isEmpty() ? QStringLiteral("failed") : detail;
            m_webRtcRefusals[session] = reason;
            qCWarning(lcBrowsers) << "the" << session->browser()
                                  << "companion cannot keep WebRTC to the proxy:" << reason;
        }
        emit webRtcAnswered(session->browser(), protect, ok, detail);
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
    m_webRtcRefusals.erase(session);
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
    // Never run from here: this may be inside a session's read or send, and the completion may open a modal
    // window whose loop sees sessions end and be deleted.
    if (finished.done)
        QTimer::singleShot(0, this,
                           [done = std::move(finished.done), outcome = std::move(finished.outcome)] { done(outcome); });
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

QStringList CompanionHub::webRtcUnprotected() const
{
    QStringList unprotected;
    for (const QPointer<CompanionSession>& session : m_sessions) {
        const auto refusal = session ? m_webRtcRefusals.find(session.get()) : m_webRtcRefusals.end();
        if (refusal != m_webRtcRefusals.end() && session->isOpen())
            unprotected << session->browser() + QStringLiteral(": ") + refusal->second;
    }
    return unprotected;
}

void CompanionHub::closeAll()
{
    const auto sessions = m_sessions;
    for (const QPointer<CompanionSession>& session : sessions) {
        if (session)
            session->close();
    }
}
