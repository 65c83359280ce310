// Veilport's own tor (TorController) against a private Tor network on loopback, inside a network namespace of
// this process's own (needs root), with httpbin as the site. Prints, per run:
//   tor_network_keys_ms        making the authorities' keys and fingerprints
//   tor_network_up_ms          authorities and relays started → a consensus listing all of them
//   client_bootstrap_ms        TorController::start() → ready(), bootstrap included
//   ready_to_first_request_ms  ready() → a request through the SOCKS port answered
//   rotation_ms                newIdentity() → a request through the new circuit answered
//   seen_exit / seen_after     the addresses the site saw
//   bench_tor_network [--runs N]
// A failed step prints error=<text> and the program ends with 1.

#include "tor/TorController.h"

#include "BenchOutput.h"
#include "support/CurlRun.h"
#include "support/HttpbinJudge.h"
#include "support/PrivateNetwork.h"
#include "support/PrivateTorClient.h"
#include "support/PrivateTorNetwork.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

#include <cstdio>

using testsupport::PrivateTorNetwork;
using testsupport::waitUntil;

namespace {

// Entered before Qt starts any thread, so that every thread and child lives inside.
const bool g_privateNetwork = testsupport::PrivateNetwork::enter();

// The address the judge saw a request through socks come from; empty, with why in problem, when the request
// failed.
QString seenThrough(const testsupport::HttpbinJudge& judge, const QString& socks, QString* problem)
{
    const testsupport::CurlRun run = testsupport::curl(
        {QStringLiteral("-x"), QStringLiteral("socks5h://") + socks, judge.url(QStringLiteral("/ip"))}, 60);
    const QByteArray body = run.out.mid(run.out.indexOf("\r\n\r\n") + 4);
    const QString origin = QJsonDocument::fromJson(body).object().value(QStringLiteral("origin")).toString();
    if (origin.isEmpty())
        *problem = QString::fromStdString(testsupport::describe(run));
    return origin;
}

int runOnce()
{
    testsupport::TempDir dir;
    PrivateTorNetwork network;
    QElapsedTimer clock;
    clock.start();
    if (!network.start(dir.file(QStringLiteral("network"))))
        return failure(network.errorText());
    print("tor_network_keys_ms", clock.elapsed() - network.upMs());
    print("tor_network_up_ms", network.upMs());

    testsupport::HttpbinJudge judge;
    if (!judge.start(PrivateTorNetwork::serverAddress()))
        return failure(judge.errorText());

    TorOptions options = testsupport::privateTorClient(network, dir.file(QStringLiteral("client")));
    TorController tor(options);
    QSignalSpy ready(&tor, &TorController::ready);
    QSignalSpy failed(&tor, &TorController::failed);
    QSignalSpy changed(&tor, &TorController::identityChanged);
    clock.restart();
    tor.start();
    waitUntil([&] { return !ready.isEmpty() || !failed.isEmpty(); }, options.bootstrapTimeoutMs + 10000, 5);
    if (ready.isEmpty())
        return failure(QStringLiteral("tor did not become ready: ") + failed.value(0).value(0).toString());
    print("client_bootstrap_ms", clock.elapsed());

    const QString socks = QStringLiteral("127.0.0.1:%1").arg(tor.socksPort());
    clock.restart();
    QString problem;
    const QString first = seenThrough(judge, socks, &problem);
    if (first.isEmpty())
        return failure(QStringLiteral("no answer through tor: ") + problem);
    print("ready_to_first_request_ms", clock.elapsed());
    print("seen_exit", first);

    clock.restart();
    if (!tor.newIdentity())
        return failure(QStringLiteral("tor refused a new identity"));
    waitUntil([&] { return !changed.isEmpty() || !failed.isEmpty(); }, 30000, 5);
    if (changed.isEmpty())
        return failure(QStringLiteral("no new identity: ") + failed.value(0).value(0).toString());
    const QString after = seenThrough(judge, socks, &problem);
    if (after.isEmpty())
        return failure(QStringLiteral("no answer through tor after a new identity: ") + problem);
    print("rotation_ms", clock.elapsed());
    print("seen_after", after);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    return g_privateNetwork
               ? repeatRuns(app.arguments(), runOnce)
               : failure(QStringLiteral("no private network (needs root): ") + testsupport::PrivateNetwork::error());
}
