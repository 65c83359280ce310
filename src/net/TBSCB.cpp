#include "net/TBSCB.h"

#include "net/TIEDownload.h"
#include "util/MainThreadQueue.h"

#include <curl/curl.h>

#include <thread>

TBSCB::TBSCB(const Params& params, TIEDownload* owner) : m_owner(owner), m_params(params)
{
    // The timer runs from the creation of the request, not from the start of its thread.
    m_lastRestart = Clock::now();
}

void TBSCB::Start()
{
    auto self = shared_from_this();
    std::thread([self] {
        self->run();
        // At shutdown there may be nobody left to tell; then nothing is posted.
        PostToMainThread([self] {
            if (self->m_owner)
                self->m_owner->requestDone(self);
        });
    }).detach();
}

void TBSCB::advanceTimer(Clock::time_point now)
{
    if (m_params.timeOutMs <= 0)
        return;
    const auto period = std::chrono::milliseconds(m_params.timeOutMs);
    const auto firings = (now - m_lastRestart) / period;
    if (firings < 1)
        return;
    const Clock::time_point lastFiring = m_lastRestart + firings * period;
    if (!m_began || lastFiring > m_beganAt)
        m_timeoutMark = true;
}

int TBSCB::prereqCallback(void* p, char*, char*, int, int)
{
    // The request is about to be sent: the transaction begins and an earlier mark is forgotten.
    auto* self = static_cast<TBSCB*>(p);
    const Clock::time_point now = Clock::now();
    self->advanceTimer(now);
    self->m_began = true;
    self->m_beganAt = now;
    self->m_timeoutMark = false;
    return CURL_PREREQFUNC_OK;
}

size_t TBSCB::headerCallback(char* data, size_t size, size_t count, void* p)
{
    auto* self = static_cast<TBSCB*>(p);
    const size_t bytes = size * count;
    const QByteArray line = QByteArray(data, qsizetype(bytes)).trimmed();
    if (line.startsWith("HTTP/")) {
        const QList<QByteArray> parts = line.split(' ');
        self->m_status = parts.size() > 1 ? parts.at(1).toInt() : 0;
        self->m_haveLength = false;
        self->m_length = -1;
    } else if (line.toLower().startsWith("content-length:")) {
        bool ok = false;
        const qint64 value = line.mid(15).trimmed().toLongLong(&ok);
        self->m_haveLength = ok;
        self->m_length = ok ? value : -1;
    } else if (line.isEmpty()) {
        // End of one response's headers. Interim and redirect responses are not the reply.
        const int status = self->m_status;
        if (status < 200 || (status >= 300 && status < 400))
            return bytes;
        if ((status >= 400 && status <= 499) || (self->m_haveLength && self->m_length == 0)) {
            self->m_refused = true;
            return 0;
        }
    }
    return bytes;
}

size_t TBSCB::writeCallback(char* data, size_t size, size_t count, void* p)
{
    auto* self = static_cast<TBSCB*>(p);
    const size_t bytes = size * count;
    if (self->m_stop.load())
        return 0;
    const Clock::time_point now = Clock::now();
    self->advanceTimer(now);
    self->m_lastRestart = now;
    if (self->m_body.size() + qint64(bytes) > self->m_params.maxBodySize) {
        self->m_tooLarge = true;
        return 0;
    }
    self->m_body.append(data, qsizetype(bytes));
    return bytes;
}

int TBSCB::progressCallback(void* p, long long, long long, long long, long long)
{
    return static_cast<TBSCB*>(p)->m_stop.load() ? 1 : 0;
}

bool TBSCB::urlUsable(const QByteArray& url)
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

void TBSCB::run()
{
    if (!urlUsable(m_params.url)) {
        m_result = TIEDownload::ResultSyntax;
        return;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        m_result = TIEDownload::ResultFailed;
        return;
    }
    curl_slist* headers = nullptr;
    for (const QByteArray& line : m_params.headers)
        headers = curl_slist_append(headers, line.constData());
    if (m_params.newestVersion) {
        headers = curl_slist_append(headers, "Pragma: no-cache");
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
    }

    curl_easy_setopt(curl, CURLOPT_URL, m_params.url.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    // An empty proxy text means a direct connection, whatever the environment says.
    const QByteArray proxy = m_params.proxy.isEmpty() ? QByteArray() : "http://" + m_params.proxy;
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.constData());
    // A declared length over the limit fails before a byte of the body is read.
    if (m_params.maxBodySize > 0)
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(m_params.maxBodySize));
    if (m_params.overallTimeoutMs > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(m_params.overallTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &TBSCB::prereqCallback);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &TBSCB::headerCallback);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TBSCB::writeCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &TBSCB::progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);

    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);

    switch (code) {
    case CURLE_OK:
        m_result = TIEDownload::ResultOk;
        break;
    case CURLE_URL_MALFORMAT:
        m_result = TIEDownload::ResultSyntax;
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        m_result = TIEDownload::ResultNotFound;
        break;
    case CURLE_COULDNT_CONNECT:
        m_result = TIEDownload::ResultCannotConnect;
        break;
    case CURLE_OPERATION_TIMEDOUT:
        m_result = TIEDownload::ResultTimeout;
        break;
    default:
        m_result = m_refused ? TIEDownload::ResultAborted : TIEDownload::ResultFailed;
        break;
    }
    advanceTimer(Clock::now());
    if (m_timeoutMark)
        m_result = TIEDownload::ResultTimeout;
}
