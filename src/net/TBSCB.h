#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <chrono>
#include <memory>

class TIEDownload;
class Transfer;

// One running request of TIEDownload, in its own detached thread. It carries a copy of the
// request settings and collects the body; the link back to the component (m_owner) is only
// touched on the component's thread.
class TBSCB : public std::enable_shared_from_this<TBSCB>
{
public:
    using Clock = std::chrono::steady_clock;

    struct Params
    {
        QByteArray url;
        QList<QByteArray> headers;
        bool newestVersion = true;
        int timeOutMs = 5000;
        int stallTimeoutMs = 30000;
        int overallTimeoutMs = 60000;
        qint64 maxBodySize = 4 * 1024 * 1024;
    };

    TBSCB(const Params& params, TIEDownload* owner);

    // Starts the thread; the completion is posted to the application's thread.
    void Start();
    // Ends the transfer at its next check, without a completion. Safe from any thread.
    void Stop() { m_stop.store(true); }

    TIEDownload* m_owner = nullptr;

    const QByteArray& Body() const { return m_body; }
    int Result() const { return m_result; }

private:
    void run();
    // Inactivity timer: firings since the last restart up to `now` set the mark unless they
    // came before the HTTP transaction began.
    void advanceTimer(Clock::time_point now);
    // The request is about to be sent: the transaction begins.
    void requestSent();
    // A 4xx reply or one that declares an empty body is refused before its body.
    bool acceptReply(const Transfer& transfer) const;
    bool takeBody(const char* data, qint64 bytes);

    Params m_params;
    std::atomic<bool> m_stop{false};

    Clock::time_point m_lastRestart;
    Clock::time_point m_beganAt;
    bool m_began = false;
    bool m_timeoutMark = false;

    QByteArray m_body;
    int m_result = 0;
};
