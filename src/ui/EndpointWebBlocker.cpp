#include "ui/EndpointWebBlocker.h"

#include "config/BlockingOptions.h"
#include "i18n/MessageTexts.h"
#include "util/EngineServices.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcBlocker, "veilport.blocker")
} // namespace

EndpointWebBlocker::EndpointWebBlocker(const TSettings& settings, const TEngineServices& texts,
                                       std::function<QString()> proxyListUrl)
    : m_settings(settings), m_texts(texts), m_proxyListUrl(std::move(proxyListUrl))
{
}

bool EndpointWebBlocker::BlockWhenNoProxy() const
{
    return BlockingOptions::fromSettings(m_settings).blockWhenNoProxy;
}

int EndpointWebBlocker::RetryIntervalMs() const
{
    return BlockingOptions::fromSettings(m_settings).retryIntervalMs;
}

QString EndpointWebBlocker::ProxyListUrl() const
{
    return m_proxyListUrl ? m_proxyListUrl() : QString();
}

QString EndpointWebBlocker::StartBlocking()
{
    m_endpoint.setPage(m_texts.LangText(QString::fromUtf8(MessageText::kWebBlockedTitle)),
                       m_texts.LangText(QString::fromUtf8(MessageText::kWebBlockedPage)));
    if (!m_endpoint.start()) {
        qCWarning(lcBlocker).noquote() << "cannot serve the blocking page:" << m_endpoint.errorString();
        return QString();
    }
    return m_endpoint.proxyAddress();
}

void EndpointWebBlocker::StopBlocking()
{
    m_endpoint.stop();
}
