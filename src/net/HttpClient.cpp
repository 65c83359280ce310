#include "net/HttpClient.h"

#include "net/CurlGlobal.h"
#include "net/WireUrl.h"

#include <curl/curl.h>

#include <cstring>

namespace {

size_t writeBody(char* data, size_t size, size_t count, void* user)
{
    auto* body = static_cast<HttpClient::Body*>(user);
    const qint64 bytes = qint64(size * count);
    const qint64 received = body->data.size() + bytes;
    if (body->max > 0 && received > body->max) {
        body->tooLarge = true;
        return 0; // makes curl fail the transfer with a write error
    }
    if (body->keep <= 0) {
        body->data.append(data, bytes);
    } else if (body->data.size() < body->keep) {
        body->data.append(data, qMin(bytes, body->keep - body->data.size()));
    }
    return size * count;
}

// Watches for the blank line that ends a reply's header block: a peer that closes the connection
// inside the headers has sent no complete reply, whatever its status line said.
size_t readHeader(char* data, size_t size, size_t count, void* user)
{
    auto* body = static_cast<HttpClient::Body*>(user);
    const size_t bytes = size * count;
    if (bytes >= 5 && std::memcmp(data, "HTTP/", 5) == 0)
        body->headComplete = false; // an interim or redirect reply came first; this one starts afresh
    else if ((bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n'))
        body->headComplete = true;
    return bytes;
}

int checkAbort(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* flag = static_cast<const std::atomic_bool*>(user);
    return flag->load() ? 1 : 0;
}

// The request headers every request carries; built once, never freed.
curl_slist* defaultHeaders()
{
    static curl_slist* headers = [] {
        curl_slist* list = curl_slist_append(nullptr, "Accept: text/html, */*");
        return curl_slist_append(list, "User-Agent: Mozilla/3.0 (compatible; Indy Library)");
    }();
    return headers;
}

} // namespace

HttpClient::HttpClient()
{
    EnsureCurlGlobalInit();
}

HttpClient::~HttpClient() = default;

void HttpClient::setProxy(const QString& host, int port)
{
    m_proxyHost = host;
    m_proxyPort = port;
}

void HttpClient::setMaxBodySize(qint64 bytes)
{
    m_maxBody = bytes;
}

void HttpClient::setKeepBodySize(qint64 bytes)
{
    m_keepBody = bytes;
}

void HttpClient::setAbortFlag(std::shared_ptr<const std::atomic_bool> flag)
{
    m_abort = std::move(flag);
}

void HttpClient::prepareTransfer(CURL* easy, const QString& url, const QString& proxyHost, int proxyPort, Body* body)
{
    EnsureCurlGlobalInit();
    // The list address carries the query string with its values unescaped (a release name with
    // blanks), which curl refuses as it stands.
    const QByteArray urlBytes = WireUrl(url);
    curl_easy_setopt(easy, CURLOPT_URL, urlBytes.constData()); // curl copies option strings
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, defaultHeaders());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Requests come from many threads at once; a shared DNS cache or connection pool would need locks.
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    // Waiting is bounded only by the operating system, as the caller decides when to give up (abort).
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 0L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 0L);
    // Thousands of proxy tests may run at once: a small receive buffer keeps each one cheap.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 4096L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, readHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, body);
    // A declared length over the limit fails before a byte of the body is read.
    if (body && body->max > 0)
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(body->max));
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (proxyHost.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXY, ""); // ignores http_proxy and friends: a direct request
    } else {
        const QByteArray proxy = QStringLiteral("http://%1:%2").arg(proxyHost).arg(proxyPort).toUtf8();
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYTYPE, long(CURLPROXY_HTTP));
        curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, 0L);
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    }
}

HttpResponse HttpClient::finishTransfer(CURL* easy, int curlCode, Body& body)
{
    HttpResponse response;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    response.status = status;
    response.body = std::move(body.data);
    if (body.tooLarge || curlCode == CURLE_FILESIZE_EXCEEDED) {
        response.error = QStringLiteral("response body too large");
    } else if (curlCode != CURLE_OK) {
        response.error = QString::fromUtf8(curl_easy_strerror(CURLcode(curlCode)));
    } else if (!body.headComplete) {
        response.error = QStringLiteral("connection closed inside the reply's headers");
    } else if (status < 200 || status > 299) {
        response.error = QStringLiteral("HTTP status %1").arg(status);
    } else {
        response.ok = true;
    }
    return response;
}

HttpResponse HttpClient::get(const QString& url)
{
    std::unique_ptr<CURL, void (*)(CURL*)> easy(curl_easy_init(), curl_easy_cleanup);
    if (!easy) {
        HttpResponse failed;
        failed.error = QStringLiteral("cannot create a request");
        return failed;
    }
    Body body;
    body.keep = m_keepBody;
    body.max = m_maxBody;
    prepareTransfer(easy.get(), url, m_proxyHost, m_proxyPort, &body);
    if (m_abort) {
        curl_easy_setopt(easy.get(), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy.get(), CURLOPT_XFERINFOFUNCTION, checkAbort);
        curl_easy_setopt(easy.get(), CURLOPT_XFERINFODATA, m_abort.get());
    }
    const CURLcode code = curl_easy_perform(easy.get());
    return finishTransfer(easy.get(), code, body);
}
