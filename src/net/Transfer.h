#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

typedef void CURL;

// How one HTTP request goes out. Every request the program makes is set up from one of these, so
// the rules for time limits, proxies, redirects and size caps are the same wherever they apply.
struct TransferOptions
{
    enum class Version
    {
        Default, // what libcurl prefers
        Http10,
        Http11
    };

    QByteArray url; // as it goes on the wire (see WireUrl)
    Version version = Version::Default;
    QList<QByteArray> headers; // extra request header lines, sent in this order
    QByteArray userAgent;      // empty: no User-Agent header
    QByteArray referer;        // empty: none
    QByteArray userName;       // empty: no credentials
    QByteArray password;
    QByteArray postFields;    // non-empty: a POST carrying this body
    QByteArray proxy;         // "host:port" of an HTTP proxy; empty: a direct request, whatever the environment says
    bool socks5Proxy = false; // the proxy speaks SOCKS5 (and resolves host names itself) rather than HTTP
    int maxRedirects = 0;     // redirects followed (to http and https only); 0: none
    int connectTimeoutMs = 0; // <= 0: only the operating system's
    int stallTimeoutMs = 0;   // receiving nothing for this long fails the transfer (<= 0: never)
    int overallTimeoutMs = 0; // <= 0: no bound
    qint64 maxBodySize = 0;   // a body over this many bytes fails the transfer (<= 0: no limit)
    // Thousands of these may run at once: a small receive buffer and no connection kept afterwards.
    bool lean = false;
};

// One HTTP transfer on a libcurl easy handle: sets the options, watches the reply's header block,
// enforces the size cap and the stop flag, and reads the outcome with libcurl's own getters. The
// components put their own rules on top through the hooks, which run on the transferring thread.
//
// A transfer counts as complete only when libcurl reports success, the final reply's header block
// ended with its blank line, and the body is as long as the reply announced.
class Transfer
{
public:
    explicit Transfer(TransferOptions options = {});
    ~Transfer();
    Transfer(Transfer&&) noexcept;
    Transfer& operator=(Transfer&&) noexcept;

    // Takes each block of the final reply's body; false ends the transfer as failed.
    std::function<bool(const char* data, qint64 bytes)> onBody;
    // The final reply's header block ended (interim replies and redirects that are followed do not
    // count); false refuses the reply and ends the transfer before its body.
    std::function<bool()> onHeaders;
    // The request is about to be sent (the connection, through a proxy too, stands).
    std::function<void()> onRequest;

    // The transfer ends, as failed, soon after the flag turns true (checked at least once a second).
    // The flag must outlive the transfer.
    void setStopFlag(const std::atomic_bool* flag) { m_stop = flag; }

    // Gives easy the options and this transfer's callbacks, for a caller that drives the handle in
    // its own multi handle. This object must stay in place until finish.
    void prepare(CURL* easy);
    // Reads the outcome of a prepared handle whose transfer ended with curlCode.
    void finish(CURL* easy, int curlCode);
    // Runs the whole transfer on a handle of its own; blocks until it ends, fails or is stopped.
    void run();

    // Whether libcurl can parse url and it names http or https (http when it names no scheme).
    static bool usableUrl(const QByteArray& url);
    // A Content-Length value as a server may write it: plain decimal digits, nothing else.
    static std::optional<qint64> parseLength(const QByteArray& text);

    // Inside the hooks these describe the reply under way; after finish, the final one.
    long status() const;
    // The reply's announced body length; -1 when it announced none.
    qint64 announcedLength() const;
    // The first value of a header of the reply under way (only inside the hooks).
    std::optional<QByteArray> header(const char* name) const;

    // The outcome, once finished.
    bool complete() const { return m_complete; }
    int curlCode() const { return m_curlCode; }
    bool refused() const { return m_refused; } // onHeaders said no
    // Why the transfer is not complete; empty when it is.
    QString error() const { return m_error; }

private:
    static size_t headerCallback(char* data, size_t size, size_t count, void* self);
    static size_t writeCallback(char* data, size_t size, size_t count, void* self);
    static int progressCallback(void* self, long long, long long, long long, long long);
    static int prereqCallback(void* self, char*, char*, int, int);
    bool finalReply() const;
    bool stopped() const { return m_stop && m_stop->load(); }

    TransferOptions m_options;
    const std::atomic_bool* m_stop = nullptr;
    CURL* m_easy = nullptr; // while prepared
    // Built at prepare and kept, as libcurl reads them during the transfer.
    struct FreeList
    {
        void operator()(struct curl_slist* list) const;
    };
    std::unique_ptr<struct curl_slist, FreeList> m_headerList;

    bool m_headComplete = false;
    bool m_refused = false;
    bool m_tooLarge = false; // over maxBodySize, announced or received
    qint64 m_received = 0;
    long m_status = 0;
    qint64 m_announced = -1;
    int m_curlCode = -1;
    bool m_complete = false;
    QString m_error;
};
