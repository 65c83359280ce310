#include "proxy/TProxyTester.h"

#include "proxy/TProxyTestWorker.h"

#include "proxy/ProxyTrace.h"

#include <QDebug>
#include <QRandomGenerator>

#include <exception>

Q_LOGGING_CATEGORY(lcProxyTrace, "veilport.proxy")

namespace {

// Start delays spread the requests when many proxies are handed over at once.
constexpr int kStartDelayRange = 10000;

QString pendingKey(const QString& key)
{
    return key.toCaseFolded();
}

int indexWithoutCase(const QStringList& list, const QString& key)
{
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).compare(key, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

} // namespace

TRandomSource DefaultRandomSource()
{
    return [](int range) { return range > 0 ? int(QRandomGenerator::global()->bounded(range)) : 0; };
}

TProxyTester::TProxyTester(const QString& testUrl, TRandomSource random)
    : TestUrl(testUrl), m_random(random ? std::move(random) : DefaultRandomSource())
{
    m_worker = std::make_shared<TProxyTestWorker>(this, testUrl);
}

TProxyTester::~TProxyTester()
{
    m_worker->detach();
}

bool TProxyTester::Stopped() const
{
    return m_worker->stopped();
}

void TProxyTester::SetStopped(bool stopped)
{
    m_worker->setStopped(stopped);
}

int TProxyTester::ActiveTests() const
{
    return m_worker->activeTests();
}

void TProxyTester::TestProxy(int Index, const QString& Host, int Port)
{
    SetStopped(false);
    const QString key = Host + QLatin1Char(':') + QString::number(Port);
    if (m_pendingCount.contains(pendingKey(key))) {
        if (OnTestResult) {
            const int position = indexWithoutCase(m_pending, key);
            ++Done;
            OnTestResult(true, position, Host, Host, Port, 0);
        }
        return;
    }
    addPending(key);
    qCDebug(lcProxyTrace).noquote() << "[Testing] IP:" << key;
    int delay = m_random(kStartDelayRange);
    delay = qBound(0, delay, kStartDelayRange - 1);
    m_worker->enqueue(Index, Host, Port, delay);
}

void TProxyTester::DoResult(bool success, int index, const QString& response, const QString& host, int port,
                            quint32 elapsed)
{
    if (Stopped() || !OnTestResult)
        return;
    ++Done;
    try {
        OnTestResult(success, index, response, host, port, elapsed);
    } catch (const std::exception& error) {
        // The handler's error ends this one result; the tester carries on.
        qCWarning(lcProxyTrace).noquote() << "Test result handler failed:" << error.what();
        return;
    }
    // A failed proxy may be tested again in a later run; a passed one is trusted for the tester's life.
    if (!success)
        removePending(host + QLatin1Char(':') + QString::number(port));
}

void TProxyTester::addPending(const QString& key)
{
    m_pending.append(key);
    ++m_pendingCount[pendingKey(key)];
}

void TProxyTester::removePending(const QString& key)
{
    const auto it = m_pendingCount.find(pendingKey(key));
    if (it == m_pendingCount.end())
        return;
    const int position = indexWithoutCase(m_pending, key);
    if (position >= 0)
        m_pending.removeAt(position);
    if (--it.value() == 0)
        m_pendingCount.erase(it);
}
