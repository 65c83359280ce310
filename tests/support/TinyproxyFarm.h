#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class QProcess;

namespace testsupport {

// Real tinyproxy instances that answer on every loopback address 127.x.y.z, for runs that need
// many distinct working proxies (each host:port counts as a proxy of its own) from few processes.
//
//     testsupport::TinyproxyFarm farm;
//     ASSERT_TRUE(farm.start(4)) << farm.errorText();
//     farm.proxyText(i)   // "127.1.a.b:<port>": distinct for every i, served by instance i % count()
//
// Requests are accepted from 127.0.0.0/8 only. Instances run in the foreground as child processes,
// on ephemeral ports, and are killed by their own pid when the farm is destroyed.
class TinyproxyFarm
{
public:
    TinyproxyFarm();
    ~TinyproxyFarm();
    TinyproxyFarm(const TinyproxyFarm&) = delete;
    TinyproxyFarm& operator=(const TinyproxyFarm&) = delete;

    // Starts count instances; returns when each accepts connections, false (with errorText()) otherwise.
    bool start(int count, int maxClientsEach = 2000);
    int count() const { return int(m_ports.size()); }
    int port(int instance) const { return m_ports.at(size_t(instance)); }
    // The i-th distinct proxy (i from 0 to about 16 million): a loopback address of its own and the
    // port of instance i % count().
    QString proxyText(int i) const;
    QString errorText() const { return m_error; }

private:
    // Starts instance i on a port free now, replacing any earlier process of that instance.
    bool launch(int i, int maxClientsEach);

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    std::vector<int> m_ports;
    QString m_error;
};

} // namespace testsupport
