#include "net/BlockingPage.h"

namespace {

QByteArray htmlText(const QString& text)
{
    QString html = text.toHtmlEscaped();
    html.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    return html.toUtf8();
}

} // namespace

QByteArray BlockedPageResponse(const QString& title, const QString& sentence, bool withBody)
{
    // Self-contained: nothing on the page may ask for anything else, since every request would end here again.
    const QByteArray body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                            "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
                            htmlText(title) +
                            "</title><style>body{font-family:sans-serif;margin:3em auto;max-width:40em;padding:0 1em;"
                            "color:#222}h1{font-size:1.4em}</style></head>\n<body><h1>" +
                            htmlText(title) + "</h1>\n<p>" + htmlText(sentence) + "</p></body></html>\n";
    QByteArray response = "HTTP/1.1 503 Service Unavailable\r\n"
                          "Content-Type: text/html; charset=utf-8\r\n"
                          "Content-Length: " +
                          QByteArray::number(body.size()) +
                          "\r\n"
                          "Cache-Control: no-store\r\n"
                          "Connection: close\r\n"
                          "\r\n";
    if (withBody)
        response += body;
    return response;
}

QByteArray RefusedTunnelResponse()
{
    return "HTTP/1.1 403 Forbidden\r\n"
           "Content-Length: 0\r\n"
           "Cache-Control: no-store\r\n"
           "Connection: close\r\n"
           "\r\n";
}

qsizetype RequestHeadEnd(const QByteArray& received, qsizetype scanned)
{
    qsizetype start = 0;
    while (start < received.size() && (received[start] == '\r' || received[start] == '\n'))
        ++start;
    for (qsizetype i = qMax(start, scanned - 3); i < received.size(); ++i) {
        if (received[i] != '\n')
            continue;
        // A line feed that ends an empty line ends the head; clients that send bare line feeds count too.
        if (i + 1 < received.size() && received[i + 1] == '\n')
            return i + 2;
        if (i + 2 < received.size() && received[i + 1] == '\r' && received[i + 2] == '\n')
            return i + 3;
    }
    return -1;
}

BlockedRequest ClassifyRequestHead(const QByteArray& head)
{
    qsizetype start = 0;
    while (start < head.size() && (head[start] == '\r' || head[start] == '\n'))
        ++start;
    qsizetype end = start;
    while (end < head.size() && head[end] != ' ' && head[end] != '\t' && head[end] != '\r' && head[end] != '\n')
        ++end;
    const QByteArray method = head.mid(start, end - start);
    // Methods are case-sensitive, but a tunnel asked for in any case is still refused rather than answered.
    if (method.compare("CONNECT", Qt::CaseInsensitive) == 0)
        return BlockedRequest::Tunnel;
    if (method == "HEAD")
        return BlockedRequest::Head;
    return BlockedRequest::Page;
}
