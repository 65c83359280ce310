#pragma once

#include <QHostAddress>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace testsupport {

// A Tor network of its own on loopback, for tests and benchmarks that need real circuits without the internet:
// three directory authorities, one middle relay and two exits, each a real tor with TestingTorNetwork and the
// fastest voting schedule, listening on 127.0.0.x. A client joins it with clientOptions() among its extra
// configuration lines.
//
// tor never binds its outgoing connections to a loopback destination, so on loopback every exit would be seen
// as 127.0.0.1. The exits therefore leave from addresses of their own (exitAddresses(), on loopback's
// interface but outside 127.0.0.0/8), and a server that should tell the exits apart listens on
// serverAddress(), reached through them but never from them.
//
// Runs only inside PrivateNetwork (enter it first), so that nothing of it can reach beyond the machine:
//
//     testsupport::PrivateTorNetwork network;
//     ASSERT_TRUE(network.start(dir.path())) << qPrintable(network.errorText());
//     options.extraConfig += network.clientOptions();
//
// Every tor it started ends with the object (and with this process, should it die first).
class PrivateTorNetwork
{
public:
    PrivateTorNetwork();
    ~PrivateTorNetwork();
    PrivateTorNetwork(const PrivateTorNetwork&) = delete;
    PrivateTorNetwork& operator=(const PrivateTorNetwork&) = delete;

    // Makes the keys and configurations in folder, starts every relay and returns once all the authorities
    // publish a consensus that lists every relay as running and every relay has bootstrapped on it. False, with
    // errorText(), outside PrivateNetwork, when tor or a key could not be made, a relay ended, or the consensus did not
    // come within timeoutMs. Runs the event loop while it waits.
    bool start(const QString& folder, int timeoutMs = 120000);
    // Ends every tor of the network.
    void stop();

    // The lines a client adds to its configuration to use this network (and only it).
    QStringList clientOptions() const;
    // The addresses from which the exits connect to a server on serverAddress(), one per exit.
    QList<QHostAddress> exitAddresses() const;
    // An address on which a test's server can listen for connections through the exits.
    static QHostAddress serverAddress();
    // How long start() took from the first tor's start to the consensus, in milliseconds.
    qint64 upMs() const { return m_upMs; }
    QString errorText() const { return m_error; }

private:
    struct Node;

    bool makeKeys();
    bool writeConfigurations();
    bool launch();
    bool up() const;
    bool fail(const QString& message);
    QString logTails() const;

    QString m_folder;
    std::vector<std::unique_ptr<Node>> m_nodes;
    QStringList m_authorityLines;
    qint64 m_upMs = 0;
    QString m_error;
};

} // namespace testsupport
