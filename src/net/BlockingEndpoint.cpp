#include "net/BlockingEndpoint.h"

#include "net/BlockingPage.h"
#include "net/BlockingServer.h"

#include <QThread>

BlockingEndpoint::BlockingEndpoint() : BlockingEndpoint(BlockingLimits()) {}

BlockingEndpoint::BlockingEndpoint(const BlockingLimits& limits)
    : m_limits(limits), m_shared(std::make_shared<BlockingShared>())
{
    // Until the caller gives its words, the page still says what happened.
    setPage(QStringLiteral("The web is blocked"),
            QStringLiteral("No working proxy is left, so this page was not loaded."));
}

BlockingEndpoint::~BlockingEndpoint()
{
    stop();
}

void BlockingEndpoint::setPage(const QString& title, const QString& sentence)
{
    QByteArray page = BlockedPageResponse(title, sentence, true);
    QByteArray headOnly = BlockedPageResponse(title, sentence, false);
    const QMutexLocker lock(&m_shared->lock);
    m_shared->page = std::move(page);
    m_shared->headOnly = std::move(headOnly);
}

bool BlockingEndpoint::start(quint16 port)
{
    if (isRunning())
        return true;
    m_error.clear();
    auto thread = std::make_unique<QThread>();
    thread->setObjectName(QStringLiteral("BlockingEndpoint"));
    auto* server = new BlockingServer(m_limits, m_shared);
    server->moveToThread(thread.get());
    // The server and its sockets belong to the thread: they are deleted there, as the thread ends.
    QObject::connect(thread.get(), &QThread::finished, server, &QObject::deleteLater);
    thread->start();
    // Only binding waits here, which takes no time: no connection can have arrived yet.
    quint16 listening = 0;
    QString error;
    QMetaObject::invokeMethod(
        server, [&] { listening = server->listen(port, &error); }, Qt::BlockingQueuedConnection);
    m_thread = std::move(thread);
    if (listening == 0) {
        stop();
        m_error = error;
        return false;
    }
    m_port = listening;
    return true;
}

void BlockingEndpoint::stop()
{
    if (!m_thread)
        return;
    m_thread->quit();
    m_thread->wait();
    m_thread.reset();
    m_port = 0;
}

QString BlockingEndpoint::proxyAddress() const
{
    return isRunning() ? QStringLiteral("127.0.0.1:%1").arg(m_port) : QString();
}

quint64 BlockingEndpoint::requestsAnswered() const
{
    return m_shared->answered.load();
}

quint64 BlockingEndpoint::connectsRefused() const
{
    return m_shared->refused.load();
}

quint64 BlockingEndpoint::connectionsDropped() const
{
    return m_shared->dropped.load();
}

int BlockingEndpoint::openConnections() const
{
    return m_shared->open.load();
}

int BlockingEndpoint::peakConnections() const
{
    return m_shared->peak.load();
}
