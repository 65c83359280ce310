#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace testsupport {

class TinyproxyProcess;

// Real tinyproxy instances that answer on every loopback address 127.x.y.z, for runs that need
// many distinct working proxies (each host:port counts as a proxy of its own) from few processes.
//
//     testsupport::TinyproxyFarm farm;
//     ASSERT_TRUE(farm.start(4)) << farm.errorText();
//     farm.proxyText(i)   // "127.1.a.b:<port>": distinct for every i, served by instance i % count()
//
// Requests are accepted from 127.0.0.0/8 only. Instances are TinyproxyProcesses on ephemeral ports,
// killed when the farm is destroyed.
class TinyproxyFarm
{
public:
    TinyproxyFarm();
    ~TinyproxyFarm();
    TinyproxyFarm(const TinyproxyFarm&) = delete;
    TinyproxyFarm& operator=(const TinyproxyFarm&) = delete;

    // Whether each request leaves from the address it came to (the default), so a service sees it come from
    // elsewhere than the user on 127.0.0.1; off, every request leaves from the system's choice, as for a
    // benchmark that measures the proxies and not what they show. Set before start().
    void setBindSame(bool on) { m_bindSame = on; }
    // Starts count instances; returns when each accepts connections, false (with errorText()) otherwise.
    bool start(int count, int maxClientsEach = 2000);
    // Kills every instance.
    void stop();
    int count() const { return int(m_instances.size()); }
    int port(int instance) const;
    // The i-th distinct proxy (i from 0 to about 16 million): a loopback address of its own and the
    // port of instance i % count().
    QString proxyText(int i) const;
    QString errorText() const { return m_error; }

private:
    QTemporaryDir m_dir;
    bool m_bindSame = true;
    std::vector<std::unique_ptr<TinyproxyProcess>> m_instances;
    QString m_error;
};

} // namespace testsupport
