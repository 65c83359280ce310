#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace testsupport {

// Real SOCKS5 servers from Debian for tests and benchmarks: microsocks and dante's danted, started by one
// starter, each instance in the foreground as a child process killed by its own pid.
//
//     testsupport::Socks5Servers socks;
//     ASSERT_TRUE(socks.start(Socks5Servers::Microsocks)) << qPrintable(socks.errorText());
//     ASSERT_TRUE(socks.start(Socks5Servers::Dante)) << qPrintable(socks.errorText());
//     socks.proxyText(1)          // "127.0.0.1:<port>" of the danted instance
//     socks.outgoingAddress(1)    // "127.0.0.61": where its connections leave from
//
// An instance listens on 127.0.0.1 only, takes SOCKS5 without authentication, and connects out from an
// address of its own (127.0.0.60, .61 ...; apart from the addresses tinyproxy instances use), so a judge
// sees its requests come from elsewhere than the user on 127.0.0.1. start() returns once the instance
// accepts connections.
//
// Given host names, an instance resolves each of them to 127.0.0.1 while the test process does not: it runs in
// a mount namespace of its own whose /etc/hosts adds them (root only). A client that reaches such a name's site
// through the instance has handed the name to the proxy rather than looked it up itself.
//
// startFarm() is for benchmarks that need thousands of distinct proxies from a few processes: microsocks
// instances listening on every address, so each 127.x.y.z:<port> counts as a proxy of its own. That is
// only safe where every address is a loopback one: it refuses unless the process runs in a network
// namespace holding nothing but loopback (see isolatedNetwork()).
class Socks5Servers
{
public:
    enum Server
    {
        Microsocks,
        Dante
    };

    Socks5Servers();
    ~Socks5Servers();
    Socks5Servers(const Socks5Servers&) = delete;
    Socks5Servers& operator=(const Socks5Servers&) = delete;

    // Starts one more instance of server, which alone knows hostNames (see above); false (with errorText()) when
    // it is missing or does not come up.
    bool start(Server server, const QStringList& hostNames = {});
    // Starts count microsocks instances listening on every address (an isolated network only).
    bool startFarm(int count);

    int count() const { return int(m_instances.size()); }
    int port(int i) const { return m_instances.at(size_t(i)).port; }
    // "127.0.0.1:<port>" of instance i.
    QString proxyText(int i) const;
    // Where instance i's connections leave from.
    QString outgoingAddress(int i) const { return m_instances.at(size_t(i)).outgoing; }
    // The j-th distinct proxy of a farm: a loopback address of its own and the port of instance j % count().
    QString farmProxyText(int j) const;
    // Kills instance i; its port then refuses connections.
    void stop(int i);
    QString errorText() const { return m_error; }

    // Whether this process's network namespace has loopback interfaces only.
    static bool isolatedNetwork();

private:
    struct Instance
    {
        std::unique_ptr<QProcess> process;
        int port = 0;
        QString outgoing;
    };
    bool launch(Instance& instance, Server server, const QString& listen, int number,
                const QStringList& hostNames = {});
    // Writes the system's hosts file plus hostNames for 127.0.0.1 into the temporary folder; empty on failure.
    QString writeHostsFile(const QStringList& hostNames, int number);

    QTemporaryDir m_dir;
    std::vector<Instance> m_instances;
    int m_started = 0; // instances ever started, for their outgoing addresses
    QString m_error;
};

} // namespace testsupport
