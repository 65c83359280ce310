#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace testsupport {

class TinyproxyProcess;

// Real tinyproxy instances on 127.0.0.1 for tests that need working (or dead) HTTP proxies.
//
//     testsupport::TinyproxyFixture proxies;
//     ASSERT_TRUE(proxies.start(3)) << proxies.errorText();
//     QString p = proxies.proxyText(0);          // "127.0.0.1:<port>", ready for TProxyRec::Proxy
//     proxies.stop(1);                           // this proxy now refuses connections
//     QString dead = testsupport::TinyproxyFixture::deadProxyText(); // a port nobody listens on
//
// Each instance is a TinyproxyProcess in a private temporary folder, killed when stop() is called or
// the fixture is destroyed. start() returns only when every instance accepts TCP
// connections, so tests may use them at once. Requests are accepted from 127.0.0.1 only and no
// "Via" header is added, as an elite proxy would do; each instance leaves from an address of its own
// (outgoingAddress), so a service sees the request come from elsewhere than the user on 127.0.0.1.
class TinyproxyFixture
{
public:
    TinyproxyFixture();
    ~TinyproxyFixture();
    TinyproxyFixture(const TinyproxyFixture&) = delete;
    TinyproxyFixture& operator=(const TinyproxyFixture&) = delete;

    // Starts count more instances; false (with errorText()) when tinyproxy is missing or one does not come up in time.
    bool start(int count = 1);
    // Lines added to the configuration of the instances started from now on (a leaking header, a
    // CONNECT port restriction ...).
    void setExtraConfig(const QStringList& lines) { m_extraConfig = lines; }
    // The address instance i's requests leave from: 127.0.0.2, 127.0.0.3 ...
    static QString outgoingAddress(int i);
    // Number of instances started so far (stopped ones included, so indexes stay stable).
    int count() const { return static_cast<int>(m_instances.size()); }
    // Port of instance i.
    int port(int i) const;
    // "127.0.0.1:<port>" of instance i.
    QString proxyText(int i) const;
    // All proxy texts in start order.
    QStringList proxyTexts() const;
    // Kills instance i; its port then refuses connections.
    void stop(int i);
    // Kills every instance.
    void stopAll();
    // Whether instance i is still running.
    bool isRunning(int i) const;
    // The log of instance i (tinyproxy logs each forwarded request at level Info).
    QByteArray log(int i) const;
    // Why the last start() failed.
    QString errorText() const { return m_error; }
    // A loopback host:port on which nothing listens (the port was free a moment ago), for dead-proxy cases.
    static QString deadProxyText();
    // A free TCP port on 127.0.0.1 at the moment of the call.
    static int freePort();

private:
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<TinyproxyProcess>> m_instances;
    QStringList m_extraConfig;
    QString m_error;
};

} // namespace testsupport
