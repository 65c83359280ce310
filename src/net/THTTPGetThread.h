#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdio>
#include <memory>

class THTTPGet;
class Transfer;

// One fetch of THTTPGet, running in its own detached thread. It holds a copy of everything it
// needs, so the component may change or even disappear while it runs. The link back to the
// component (m_owner) is only read and written on the component's thread, inside the calls the
// worker posts there; the worker itself never touches the component.
class THTTPGetThread : public std::enable_shared_from_this<THTTPGetThread>
{
public:
    struct Params
    {
        QString url;
        QString fileName;
        QByteArray acceptTypes;
        QByteArray agent;
        QByteArray userName;
        QByteArray password;
        QByteArray postQuery;
        QByteArray referer;
        QByteArray proxy;         // "host:port" or empty for a direct connection
        bool socks5Proxy = false; // the proxy speaks SOCKS5 and resolves the names
        bool binaryData = false;
        bool useCache = false;
        bool reportProgress = false;
        int stallTimeoutMs = 60000;
        qint64 maxFileSize = 0;   // bytes a body may have at most (<= 0: no limit)
        int overallTimeoutMs = 0; // longest the whole fetch may take (<= 0: no limit)
    };

    THTTPGetThread(const Params& params, THTTPGet* owner);
    ~THTTPGetThread();

    // Starts the thread; its progress and completion are posted to the application's thread.
    void Start();
    // Asks the fetch to stop at its next check; it then ends as failed. Safe from any thread.
    void Stop() { m_stop.store(true); }
    bool StopRequested() const { return m_stop.load(); }

    // Link to the component; only touched on the component's thread.
    THTTPGet* m_owner = nullptr;

    // Results, read on the component's thread once the completion has been posted.
    bool Success() const { return m_success; }
    qint64 FileSize() const { return m_length; }
    qint64 Readed() const { return m_readed; }
    // The status code of the last reply (of a redirect chain, the final one); 0 without a reply.
    int HttpStatus() const { return m_status; }
    const QString& FileName() const { return m_params.fileName; }

    // Splits a URL into the address libcurl gets: http:// is assumed when no scheme is given,
    // http and https are kept, anything else (or a URL without a path) gives an empty result.
    static QByteArray NormalizeUrl(const QString& url);

private:
    void run();
    // Decides on the final reply once its header block has ended: its Content-Length must be plain
    // digits, and present when the body is binary data. Only then is the file created.
    bool acceptReply(const Transfer& transfer);
    bool writeBody(const char* data, qint64 bytes);
    void postProgress();
    void postDone();

    Params m_params;
    std::atomic<bool> m_stop{false};

    // Worker-side state.
    bool m_success = false;
    qint64 m_length = 0; // the reply's Content-Length; 0 when it named none
    bool m_replyAccepted = false;
    qint64 m_readed = 0;
    int m_status = 0;
    FILE* m_file = nullptr;
};
