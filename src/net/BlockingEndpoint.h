#pragma once

#include "net/BlockingLimits.h"

#include <QString>

#include <memory>

class QThread;
struct BlockingShared;

// A stand-in proxy on 127.0.0.1 that lets nothing through: pointed at it, browsers show a short page of the
// caller's text for every plain page (status 503, see BlockedPageResponse) and fail every secure one (each
// CONNECT is refused). It serves on a thread of its own, so that however many connections arrive the user
// interface never waits for it, and within BlockingLimits, so that none of them grows its memory for long.
//
//     BlockingEndpoint blocker;
//     blocker.setPage(LangText(title), LangText(sentence));
//     if (blocker.start())
//         … apply blocker.proxyAddress() like any proxy …
//
// Used from one thread (the user-interface thread); the counts may be read from any.
class BlockingEndpoint
{
public:
    BlockingEndpoint();
    explicit BlockingEndpoint(const BlockingLimits& limits);
    // Stops serving.
    ~BlockingEndpoint();
    BlockingEndpoint(const BlockingEndpoint&) = delete;
    BlockingEndpoint& operator=(const BlockingEndpoint&) = delete;

    // The page's title and sentence, in the user's language (plain text; a line break stays one). Takes effect
    // for the next request, also while serving.
    void setPage(const QString& title, const QString& sentence);

    // Starts serving on 127.0.0.1:port, or on a port the system chooses when port is 0. True when serving (at
    // once also when already serving); false, with the reason in errorString(), when the port cannot be had.
    bool start(quint16 port = 0);
    // Stops serving and closes every connection; returns once they are closed.
    void stop();
    bool isRunning() const { return m_port != 0; }
    // The port served on, 0 while stopped.
    quint16 port() const { return m_port; }
    // "127.0.0.1:port", the form in which a proxy is applied; empty while stopped.
    QString proxyAddress() const;
    // Why the last start() failed.
    QString errorString() const { return m_error; }

    // Plain requests answered with the page (HEAD included).
    quint64 requestsAnswered() const;
    // CONNECT requests refused.
    quint64 connectsRefused() const;
    // Connections the endpoint closed before answering them: over its limits of count, size or time.
    quint64 connectionsDropped() const;
    // Connections open now, and the most that were ever open at once.
    int openConnections() const;
    int peakConnections() const;

private:
    const BlockingLimits m_limits;
    const std::shared_ptr<BlockingShared> m_shared;
    std::unique_ptr<QThread> m_thread;
    quint16 m_port = 0;
    QString m_error;
};
