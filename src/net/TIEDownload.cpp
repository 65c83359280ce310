#include "net/TIEDownload.h"

#include "net/CurlGlobal.h"
#include "net/TBSCB.h"
#include "net/WireUrl.h"

#include <algorithm>

namespace {

// Scheme names whose presence anywhere in an address means it already says how to reach it.
const char* const kSchemeNames[] = {"about",   "cdl",    "dvd",        "file",  "ftp",      "gopher", "http",
                                    "ipp",     "its",    "javascript", "local", "mailto",   "mk",     "msdaipp",
                                    "ms-help", "ms-its", "mso",        "res",   "sysimage", "tv",     "vbscript"};

// A header line may not smuggle in further lines.
QString oneLine(const QString& text)
{
    QString line = text;
    line.remove(QLatin1Char('\r'));
    line.remove(QLatin1Char('\n'));
    return line;
}

} // namespace

TIEDownload::TIEDownload(QObject* parent) : QObject(parent) {}

TIEDownload::~TIEDownload()
{
    for (const auto& request : m_requests) {
        request->Stop();
        request->m_owner = nullptr;
    }
}

QString TIEDownload::CompleteUrl(const QString& url) const
{
    for (const char* scheme : kSchemeNames)
        if (url.contains(QLatin1String(scheme), Qt::CaseInsensitive))
            return url;
    return m_defaultProtocol + url;
}

QStringList TIEDownload::RequestHeaders() const
{
    QStringList lines;
    lines << QStringLiteral("User-agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)(") +
                 oneLine(m_userAgent) + QLatin1Char(')');
    for (const QString& header : m_additionalHeader) {
        for (const QString& line : header.split(QLatin1Char('\n'))) {
            const QString clean = oneLine(line).trimmed();
            if (!clean.isEmpty())
                lines << clean;
        }
    }
    return lines;
}

void TIEDownload::StartRequest(const QString& url)
{
    EnsureCurlGlobalInit();
    TBSCB::Params params;
    params.url = WireUrl(CompleteUrl(url).trimmed());
    for (const QString& line : RequestHeaders())
        params.headers << line.toUtf8();
    params.newestVersion = (m_options & GetNewestVersion) != 0;
    params.timeOutMs = m_timeOut;
    params.stallTimeoutMs = m_stallTimeoutMs;
    params.overallTimeoutMs = m_overallTimeoutMs;
    params.maxBodySize = m_maxBodySize;

    auto request = std::make_shared<TBSCB>(params, this);
    m_requests.push_back(request);
    request->Start();
}

void TIEDownload::requestDone(const std::shared_ptr<TBSCB>& request)
{
    const auto it = std::find(m_requests.begin(), m_requests.end(), request);
    if (it == m_requests.end())
        return;
    m_requests.erase(it);
    request->m_owner = nullptr;
    emit OnDownloadComplete(this, request->Body(), request->Result());
}
