#include "support/TinyproxyFarm.h"

#include "support/TinyproxyProcess.h"

#include <QDeadlineTimer>
#include <QDir>

namespace testsupport {

TinyproxyFarm::TinyproxyFarm() : m_dir(QDir::tempPath() + QStringLiteral("/veilport-tinyproxy-farm-XXXXXX")) {}

TinyproxyFarm::~TinyproxyFarm() = default;

bool TinyproxyFarm::start(int count, int maxClientsEach)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    // No Listen line: an instance answers on every loopback address; Allow keeps everyone else out.
    TinyproxyProcess::Setup setup;
    setup.listen.clear();
    setup.allow = QStringLiteral("127.0.0.0/8");
    setup.maxClients = maxClientsEach;
    setup.timeoutSec = 60;
    setup.bindSame = m_bindSame;
    setup.logLevel = QStringLiteral("Critical");
    const size_t first = m_instances.size();
    // All are launched before any is waited for, so they come up side by side.
    for (int i = 0; i < count; ++i) {
        const QString folder = m_dir.filePath(QStringLiteral("tp%1").arg(m_instances.size()));
        m_instances.push_back(std::make_unique<TinyproxyProcess>(folder, setup));
        if (!m_instances.back()->launch()) {
            m_error = m_instances.back()->errorText();
            return false;
        }
    }
    const QDeadlineTimer deadline(TinyproxyProcess::kStartTimeoutMs);
    for (size_t i = first; i < m_instances.size(); ++i) {
        if (!m_instances[i]->waitUntilAccepting(deadline)) {
            m_error = m_instances[i]->errorText();
            return false;
        }
    }
    // Each port was drawn while no instance held its own yet, so two instances can have drawn the same one. The
    // later does not fail then: tinyproxy keeps whichever of the IPv4 and IPv6 addresses it could take, and the two
    // share the port, which makes two of the farm's proxies one. It draws again while the others hold theirs.
    for (size_t i = first; i < m_instances.size(); ++i) {
        for (size_t earlier = 0; earlier < i; ++earlier) {
            if (m_instances[earlier]->port() != m_instances[i]->port())
                continue;
            if (!m_instances[i]->launch() || !m_instances[i]->waitUntilAccepting(deadline)) {
                m_error = m_instances[i]->errorText();
                return false;
            }
            earlier = size_t(-1); // compare the new port with every earlier one again
        }
    }
    return true;
}

void TinyproxyFarm::stop()
{
    for (const auto& instance : m_instances)
        instance->stop();
}

int TinyproxyFarm::port(int instance) const
{
    return m_instances.at(size_t(instance))->port();
}

QString TinyproxyFarm::proxyText(int i) const
{
    // Consecutive proxies share an address until every instance has had one, so an instance's
    // addresses stay apart and no address holds more than count() ports.
    const int address = i / count() + 1;
    return QStringLiteral("127.%1.%2.%3:%4")
        .arg(1 + address / 62500)
        .arg(address / 250 % 250)
        .arg(address % 250 + 1)
        .arg(port(i % count()));
}

} // namespace testsupport
