#include "net/TBSCB.h"

#include "net/TIEDownload.h"
#include "net/Transfer.h"
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

void TBSCB::requestSent()
{
    // An earlier mark is forgotten: only pauses inside the transaction count.
    const Clock::time_point now = Clock::now();
    advanceTimer(now);
    m_began = true;
    m_beganAt = now;
    m_timeoutMark = false;
}

bool TBSCB::acceptReply(const Transfer& transfer) const
{
    const long status = transfer.status();
    if (status >= 400 && status <= 499)
        return false;
    return !(transfer.header("Content-Length") && transfer.announcedLength() == 0);
}

bool TBSCB::takeBody(const char* data, qint64 bytes)
{
    const Clock::time_point now = Clock::now();
    advanceTimer(now);
    m_lastRestart = now;
    m_body.append(data, qsizetype(bytes));
    return true;
}

void TBSCB::run()
{
    if (!Transfer::usableUrl(m_params.url)) {
        m_result = TIEDownload::ResultSyntax;
        return;
    }
    TransferOptions options;
    options.url = m_params.url;
    options.headers = m_params.headers;
    if (m_params.newestVersion)
        options.headers << "Pragma: no-cache"
                        << "Cache-Control: no-cache";
    // Always direct, whatever proxy the program applied or the environment names: the answer can
    // open a page, so no proxy on the way may be able to write it.
    options.maxRedirects = 10;
    options.stallTimeoutMs = m_params.stallTimeoutMs;
    options.overallTimeoutMs = m_params.overallTimeoutMs;
    options.maxBodySize = m_params.maxBodySize;

    Transfer transfer(std::move(options));
    transfer.setStopFlag(&m_stop);
    transfer.onRequest = [this] { requestSent(); };
    transfer.onHeaders = [this, &transfer] { return acceptReply(transfer); };
    transfer.onBody = [this](const char* data, qint64 bytes) { return takeBody(data, bytes); };
    transfer.run();

    switch (transfer.curlCode()) {
    case CURLE_OK:
        // libcurl's success is not enough: the headers must have ended and the body be whole.
        m_result = transfer.complete() ? TIEDownload::ResultOk : TIEDownload::ResultFailed;
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
        m_result = transfer.refused() ? TIEDownload::ResultAborted : TIEDownload::ResultFailed;
        break;
    }
    advanceTimer(Clock::now());
    if (m_timeoutMark)
        m_result = TIEDownload::ResultTimeout;
}
