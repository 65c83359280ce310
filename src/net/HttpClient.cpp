#include "net/HttpClient.h"

#include "net/CurlGlobal.h"
#include "net/WireUrl.h"

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

namespace {

Transfer makeTransfer(const QString& url, const QString& proxyHost, int proxyPort, HttpClient::Body* body,
                      const std::atomic_bool* stop, bool socks5 = false)
{
    TransferOptions options;
    // The list address carries the query string with its values unescaped (a release name with
    // blanks), which curl refuses as it stands.
    options.url = WireUrl(url);
    options.version = TransferOptions::Version::Http11;
    // Both as header lines, so they go out in this order after Host, as they always have.
    options.headers = {"Accept: text/html, */*", "User-Agent: Mozilla/3.0 (compatible; Indy Library)"};
    if (!proxyHost.isEmpty())
        options.proxy = QStringLiteral("%1:%2").arg(proxyHost).arg(proxyPort).toUtf8();
    options.socks5Proxy = socks5;
    // No time limits: the caller decides when to give up (abort, or its own deadline).
    options.maxBodySize = body->max;
    options.lean = true;
    Transfer transfer(std::move(options));
    transfer.setStopFlag(stop);
    transfer.onBody = [body](const char* data, qint64 bytes) {
        if (body->keep <= 0)
            body->data.append(data, bytes);
        else if (body->data.size() < body->keep)
            body->data.append(data, qMin(bytes, body->keep - body->data.size()));
        return true;
    };
    return transfer;
}

} // namespace

void HttpClient::prepareTransfer(CURL* easy, const QString& url, const QString& proxyHost, int proxyPort, Body* body,
                                 bool socks5)
{
    body->transfer = makeTransfer(url, proxyHost, proxyPort, body, nullptr, socks5);
    body->transfer.prepare(easy);
}

HttpResponse HttpClient::finishTransfer(CURL* easy, int curlCode, Body& body)
{
    body.transfer.finish(easy, curlCode);
    return toResponse(body);
}

HttpResponse HttpClient::toResponse(Body& body)
{
    HttpResponse response;
    const Transfer& transfer = body.transfer;
    response.status = transfer.status();
    response.body = std::move(body.data);
    if (!transfer.complete())
        response.error = transfer.error();
    else if (response.status < 200 || response.status > 299)
        response.error = QStringLiteral("HTTP status %1").arg(response.status);
    else
        response.ok = true;
    return response;
}

HttpResponse HttpClient::get(const QString& url)
{
    Body body;
    body.keep = m_keepBody;
    body.max = m_maxBody;
    body.transfer = makeTransfer(url, m_proxyHost, m_proxyPort, &body, m_abort.get());
    body.transfer.run();
    return toResponse(body);
}
