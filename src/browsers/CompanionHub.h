#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>

class CompanionSession;

// What the companions did with one clearing request.
struct CompanionClearOutcome
{
    QStringList cleared; // browsers whose companion reported its data cleared
    QStringList failed;  // "browser: reason" for the others
};

// Which companions follow an applied proxy, and for which pages.
struct CompanionProxyChoice
{
    bool https = true;          // secure pages go through the proxy too; otherwise they go direct
    bool firefox = true;        // Firefox's companions take the proxy
    bool chromiumFamily = true; // the Chromium family's companions take the proxy
};

// The browser companions connected to the running program. Commands go to every connected
// companion and return at once; answers arrive later on the user-interface thread.
class CompanionHub : public QObject
{
    Q_OBJECT
public:
    // Time a companion has to answer a command before it counts as failed.
    static constexpr int DefaultAnswerTimeoutMs = 15000;

    explicit CompanionHub(QObject* parent = nullptr);
    ~CompanionHub() override;

    // Takes over a session socket opened by a companion's host (greeting: the host's JSON).
    void adopt(int fd, const QByteArray& greeting);
    // Points the browser of every companion that choice names at proxy (host:port, or socks5://host:port with
    // names resolved by the proxy), and gives the others, or all of them when proxy is empty, their users' own
    // setting back. Remembered: a companion that connects later gets it at once.
    void setProxy(const QString& proxy, const CompanionProxyChoice& choice = {});
    QString proxy() const { return m_proxy; }
    // Has every companion clear cookies, cache and history; done runs from the event loop once all have
    // answered, failed, gone away or timed out (at the next pass when none is connected).
    void clearBrowsingData(std::function<void(const CompanionClearOutcome&)> done);
    // The browsers of the connected companions.
    QStringList connectedBrowsers() const;
    // "browser: reason" for each connected companion that could not keep its browser's WebRTC to the proxied
    // path when last asked (no privacy permission, a policy holding the setting, a companion too old).
    QStringList webRtcUnprotected() const;
    // Ends every session (the program is ending); each companion gives its browser back.
    void closeAll();
    void setAnswerTimeoutMs(int ms) { m_answerTimeoutMs = ms; }

signals:
    // A companion connected or went away.
    void companionsChanged();
    // A companion answered a proxy command (for the trace and tests). Behind a SOCKS5 proxy ok also means
    // that the browser sends site names through it.
    void proxyAnswered(const QString& browser, bool ok, const QString& detail);
    // A companion answered a WebRTC command (protect: whether it was asked to protect).
    void webRtcAnswered(const QString& browser, bool protect, bool ok, const QString& detail);

private:
    struct Clearing
    {
        std::function<void(const CompanionClearOutcome&)> done;
        CompanionClearOutcome outcome;
        std::map<qint64, QPointer<CompanionSession>> waiting; // command id -> session
    };

    QJsonObject proxyCommand(const CompanionSession& session) const;
    QJsonObject webRtcCommand() const;
    void onAnswer(CompanionSession* session, const QJsonObject& answer);
    void onClosed(CompanionSession* session);
    void settle(qint64 clearingId, qint64 commandId, const QString& browser, bool ok, const QString& reason);
    void finishIfDone(qint64 clearingId);

    QList<QPointer<CompanionSession>> m_sessions;
    QString m_proxy;
    CompanionProxyChoice m_choice;
    qint64 m_nextId = 1;
    int m_answerTimeoutMs = DefaultAnswerTimeoutMs;
    std::map<qint64, Clearing> m_clearings;     // clearing id -> its state
    std::map<qint64, qint64> m_commandClearing; // command id -> clearing id
    // Why a session's WebRTC is not protected, for the sessions that could not protect it.
    std::map<const CompanionSession*, QString> m_webRtcRefusals;
};
