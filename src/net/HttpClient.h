#pragma once

#include "net/Transfer.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// The result of one request of HttpClient.
struct HttpResponse
{
    bool ok = false; // a 2xx status arrived with a complete body
    long status = 0; // HTTP status, 0 when none arrived
    QByteArray body; // body as received (possibly cut at the keep limit)
    QString error;   // why the request failed; empty on success
};

// A blocking HTTP/1.1 GET client on libcurl, for worker threads: the list download and proxy tests.
// It sends Accept "text/html, */*" and User-Agent "Mozilla/3.0 (compatible; Indy Library)",
// follows no redirects, has no time-out of its own and counts only a 2xx status as success.
class HttpClient
{
public:
    // Bodies larger than this fail the request instead of growing without bound.
    static constexpr qint64 kDefaultMaxBodySize = 64ll * 1024 * 1024;

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends the requests through an HTTP proxy; an empty host means a direct connection.
    void setProxy(const QString& host, int port);
    // A body over this many bytes makes the request fail (<= 0: no limit).
    void setMaxBodySize(qint64 bytes);
    // Keeps only the first bytes of the body, reading and dropping the rest (<= 0: keep all).
    void setKeepBodySize(qint64 bytes);
    // The request is cut as soon as the flag turns true (checked at least about once a second).
    void setAbortFlag(std::shared_ptr<const std::atomic_bool> flag);

    // Performs a GET and blocks until it ends, fails or is aborted.
    HttpResponse get(const QString& url);

    // Where a transfer's body goes, with its limits, and the transfer that fills it.
    struct Body
    {
        QByteArray data;
        qint64 keep = 0; // bytes kept at most (<= 0: all)
        qint64 max = 0;  // bytes allowed at most (<= 0: no limit)
        Transfer transfer;
    };

    // Gives an easy handle this client's options for a GET of url into body (for multi-handle callers).
    // The body must stay in place until the result is read back with finishTransfer.
    // socks5: the proxy speaks SOCKS5 rather than HTTP.
    static void prepareTransfer(CURL* easy, const QString& url, const QString& proxyHost, int proxyPort, Body* body,
                                bool socks5 = false);
    // Turns a finished transfer's curl code into a response (2xx rule applied).
    static HttpResponse finishTransfer(CURL* easy, int curlCode, Body& body);

private:
    static HttpResponse toResponse(Body& body);

    QString m_proxyHost;
    int m_proxyPort = 0;
    qint64 m_maxBody = kDefaultMaxBodySize;
    qint64 m_keepBody = 0;
    std::shared_ptr<const std::atomic_bool> m_abort;
};
