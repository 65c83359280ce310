#include "net/Transfer.h"

#include "net/CurlGlobal.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

namespace {

bool isBlankLine(const char* data, size_t bytes)
{
    return (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
}

// The replies libcurl follows when redirects are on and the reply names where to go.
bool isFollowedRedirect(long status)
{
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

} // namespace

void Transfer::FreeList::operator()(curl_slist* list) const
{
    curl_slist_free_all(list);
}

Transfer::Transfer(TransferOptions options) : m_options(std::move(options)) {}

Transfer::~Transfer() = default;
Transfer::Transfer(Transfer&&) noexcept = default;
Transfer& Transfer::operator=(Transfer&&) noexcept = default;

bool Transfer::usableUrl(const QByteArray& url)
{
    CURLU* parsed = curl_url();
    bool usable = curl_url_set(parsed, CURLUPART_URL, url.constData(), CURLU_GUESS_SCHEME) == CURLUE_OK;
    char* scheme = nullptr;
    if (usable && curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
        const QByteArray name = QByteArray(scheme).toLower();
        usable = name == "http" || name == "https";
        curl_free(scheme);
    }
    curl_url_cleanup(parsed);
    return usable;
}

std::optional<qint64> Transfer::parseLength(const QByteArray& text)
{
    const QByteArray digits = text.trimmed();
    // Eighteen digits always fit; a longer length is no length a body of ours can have.
    if (digits.isEmpty() || digits.size() > 18)
        return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9')
            return std::nullopt;
    return digits.toLongLong();
}

void Transfer::prepare(CURL* easy)
{
    EnsureCurlGlobalInit();
    m_easy = easy;
    const TransferOptions& o = m_options;
    curl_easy_setopt(easy, CURLOPT_URL, o.url.constData()); // curl copies option strings
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    switch (o.version) {
    case TransferOptions::Version::Http10:
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
        break;
    case TransferOptions::Version::Http11:
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        break;
    case TransferOptions::Version::Default:
        break;
    }
    if (o.postFields.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(o.postFields.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, o.postFields.constData());
    }
    curl_slist* headers = nullptr;
    for (const QByteArray& line : o.headers)
        headers = curl_slist_append(headers, line.constData());
    m_headerList.reset(headers);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    if (!o.userAgent.isEmpty())
        curl_easy_setopt(easy, CURLOPT_USERAGENT, o.userAgent.constData());
    if (!o.referer.isEmpty())
        curl_easy_setopt(easy, CURLOPT_REFERER, o.referer.constData());
    if (!o.userName.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, o.userName.constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, o.password.constData());
    }

    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, o.maxRedirects > 0 ? 1L : 0L);
    if (o.maxRedirects > 0) {
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(o.maxRedirects));
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    }

    if (o.proxy.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXY, ""); // ignores http_proxy and friends: a direct request
    } else if (o.socks5Proxy) {
        // socks5h: the proxy resolves the name, so no lookup of the user's own reveals where they go.
        const QByteArray proxy = "socks5h://" + o.proxy;
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYTYPE, long(CURLPROXY_SOCKS5_HOSTNAME));
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    } else {
        const QByteArray proxy = "http://" + o.proxy;
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYTYPE, long(CURLPROXY_HTTP));
        curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, 0L);
        // The proxy the program chose applies to every address, whatever no_proxy says.
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    }

    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(0, o.connectTimeoutMs)));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(std::max(0, o.overallTimeoutMs)));
    if (o.stallTimeoutMs > 0) {
        // libcurl measures stalls in whole seconds: a limit is never shortened by rounding.
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, long((o.stallTimeoutMs + 999) / 1000));
    }
    // A declared length over the limit fails before a byte of the body is read.
    if (o.maxBodySize > 0)
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(o.maxBodySize));
    if (o.lean) {
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 4096L);
    }

    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::headerCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    if (m_stop) {
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::progressCallback);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    }
    if (onRequest) {
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::prereqCallback);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    }
}

void Transfer::finish(CURL* easy, int curlCode)
{
    m_curlCode = curlCode;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &m_status);
    curl_off_t announced = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    m_announced = announced;
    m_easy = nullptr;

    if (curlCode == CURLE_FILESIZE_EXCEEDED)
        m_tooLarge = true;
    if (m_refused)
        m_error = QStringLiteral("reply refused");
    else if (m_tooLarge)
        m_error = QStringLiteral("response body too large");
    else if (curlCode != CURLE_OK)
        m_error = QString::fromUtf8(curl_easy_strerror(CURLcode(curlCode)));
    else if (!m_headComplete)
        // libcurl takes a peer that closes inside the headers for one that sent a whole reply.
        m_error = QStringLiteral("connection closed inside the reply's headers");
    else if (m_announced >= 0 && m_received < m_announced)
        m_error = QStringLiteral("body shorter than its announced length");
    m_complete = m_error.isEmpty();
}

void Transfer::run()
{
    std::unique_ptr<CURL, void (*)(CURL*)> easy(curl_easy_init(), curl_easy_cleanup);
    if (!easy) {
        m_curlCode = CURLE_FAILED_INIT;
        m_error = QStringLiteral("cannot create a request");
        return;
    }
    prepare(easy.get());
    const CURLcode code = curl_easy_perform(easy.get());
    finish(easy.get(), code);
}

long Transfer::status() const
{
    if (!m_easy)
        return m_status;
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

qint64 Transfer::announcedLength() const
{
    if (!m_easy)
        return m_announced;
    curl_off_t length = -1;
    curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return length;
}

std::optional<QByteArray> Transfer::header(const char* name) const
{
    curl_header* found = nullptr;
    if (!m_easy || curl_easy_header(m_easy, name, 0, CURLH_HEADER, -1, &found) != CURLHE_OK)
        return std::nullopt;
    return QByteArray(found->value);
}

bool Transfer::finalReply() const
{
    const long code = status();
    if (code < 200)
        return false;
    return !(m_options.maxRedirects > 0 && isFollowedRedirect(code) && header("Location"));
}

size_t Transfer::headerCallback(char* data, size_t size, size_t count, void* p)
{
    auto* self = static_cast<Transfer*>(p);
    const size_t bytes = size * count;
    if (bytes >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        self->m_headComplete = false; // an interim or redirect reply came first; this one starts afresh
    } else if (isBlankLine(data, bytes)) {
        self->m_headComplete = true;
        if (self->onHeaders && self->finalReply() && !self->onHeaders()) {
            self->m_refused = true;
            return 0; // makes curl end the transfer with a write error
        }
    }
    return bytes;
}

size_t Transfer::writeCallback(char* data, size_t size, size_t count, void* p)
{
    auto* self = static_cast<Transfer*>(p);
    const qint64 bytes = qint64(size * count);
    if (self->stopped())
        return 0;
    const qint64 max = self->m_options.maxBodySize;
    if (max > 0 && self->m_received + bytes > max) {
        self->m_tooLarge = true;
        return 0;
    }
    if (self->onBody && !self->onBody(data, bytes))
        return 0;
    self->m_received += bytes;
    return size_t(bytes);
}

int Transfer::progressCallback(void* p, long long, long long, long long, long long)
{
    return static_cast<Transfer*>(p)->stopped() ? 1 : 0;
}

int Transfer::prereqCallback(void* p, char*, char*, int, int)
{
    static_cast<Transfer*>(p)->onRequest();
    return CURL_PREREQFUNC_OK;
}
