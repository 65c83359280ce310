#pragma once

#include <QString>

#include <atomic>
#include <thread>
#include <vector>

namespace testsupport {

// Proxies that take a connection and never answer, as dead proxies on the internet often do: one
// listening port answering on every loopback address, so any number of distinct proxies (each
// 127.3.a.b:port counts as one) cost one socket and one thread. Connections from beyond loopback are closed
// at once; those of the checker are held until it gives up and closes them.
//
//     testsupport::HangingProxies hanging;
//     ASSERT_TRUE(hanging.start()) << hanging.errorText();
//     hanging.proxyText(i)   // "127.3.a.b:<port>", distinct for every i below about 16 million
class HangingProxies
{
public:
    HangingProxies() = default;
    ~HangingProxies();
    HangingProxies(const HangingProxies&) = delete;
    HangingProxies& operator=(const HangingProxies&) = delete;

    // Listens on an ephemeral port; false (with errorText()) when it cannot.
    bool start();
    void stop();
    int port() const { return m_port; }
    QString proxyText(int i) const;
    // Connections accepted so far.
    long accepted() const { return m_accepted.load(); }
    QString errorText() const { return m_error; }

private:
    void run();

    int m_listen = -1;
    int m_wake = -1; // an eventfd that ends the thread
    int m_port = 0;
    std::thread m_thread;
    std::atomic<long> m_accepted{0};
    QString m_error;
};

} // namespace testsupport
