#include "net/THTTPGet.h"

#include "net/CurlGlobal.h"
#include "net/THTTPGetThread.h"
#include "platform/ProcessProxy.h"
#include "platform/ProxyAddress.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaMethod>
#include <QPointer>

THTTPGet::THTTPGet(QObject* parent) : QObject(parent) {}

THTTPGet::~THTTPGet()
{
    if (m_worker) {
        m_worker->Stop();
        m_worker->m_owner = nullptr;
    }
}

void THTTPGet::GetFile()
{
    if (m_worker)
        return;
    m_aborted = false;
    EnsureCurlGlobalInit();

    THTTPGetThread::Params params;
    params.url = m_url;
    params.fileName = m_fileName;
    params.acceptTypes = m_acceptTypes.toUtf8();
    params.agent = m_agent.toUtf8();
    params.userName = m_userName.toUtf8();
    params.password = m_password.toUtf8();
    params.postQuery = m_postQuery.toUtf8();
    params.referer = m_referer.toUtf8();
    // Our own requests go where the program's process proxy points, like the web view does.
    const platform::ProxyAddress proxy = platform::ProxyAddress::parse(platform::processProxy());
    if (proxy.isValid()) {
        params.proxy = (proxy.host + QLatin1Char(':') + QString::number(proxy.port)).toUtf8();
        params.socks5Proxy = proxy.socks5;
    }
    params.binaryData = m_binaryData;
    params.useCache = m_useCache;
    params.reportProgress = isSignalConnected(QMetaMethod::fromSignal(&THTTPGet::OnProgress));
    params.stallTimeoutMs = m_stallTimeoutMs;
    params.maxFileSize = m_maxFileSize;
    params.overallTimeoutMs = m_overallTimeoutMs;

    auto worker = std::make_shared<THTTPGetThread>(params, this);
    m_worker = worker;
    worker->Start();

    if (m_waitThread) {
        QPointer<THTTPGet> guard(this);
        while (guard && m_worker == worker)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void THTTPGet::Abort()
{
    if (!m_worker)
        return;
    m_worker->Stop();
    m_success = false;
    m_aborted = true;
}

void THTTPGet::workerDone(const std::shared_ptr<THTTPGetThread>& worker)
{
    if (worker != m_worker)
        return;
    worker->m_owner = nullptr;
    m_success = worker->Success() && !m_aborted;
    m_httpStatus = worker->HttpStatus();
    // Idle again before the events run, so a handler may start the next fetch.
    m_worker.reset();
    if (m_success)
        emit OnDoneFile(this, worker->FileName(), worker->FileSize());
    else if (!m_aborted)
        emit OnError(this);
}
