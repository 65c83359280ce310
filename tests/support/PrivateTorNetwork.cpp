#include "support/PrivateTorNetwork.h"

#include "support/EndsWithParent.h"
#include "support/PrivateNetwork.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>

namespace testsupport {

namespace {

constexpr int kToolTimeoutMs = 60000;
constexpr quint16 kOrPort = 5000;
constexpr quint16 kDirPort = 7000;

enum class Role
{
    Authority,
    Relay,
    Exit
};

QString findTool(const QString& name)
{
    const QString onPath = QStandardPaths::findExecutable(name);
    return !onPath.isEmpty()
               ? onPath
               : QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
}

// Lines every tor of the network shares. They make a network form in seconds instead of hours: every relay
// is taken as reachable, fast, stable and fit to be an exit at once, and three descriptors are enough to build
// circuits.
QStringList commonLines()
{
    return {
        QStringLiteral("TestingTorNetwork 1"),
        QStringLiteral("AssumeReachable 1"),
        QStringLiteral("PathsNeededToBuildCircuits 0.67"),
        QStringLiteral("TestingDirAuthVoteExit *"),
        QStringLiteral("TestingDirAuthVoteHSDir *"),
        QStringLiteral("TestingMinExitFlagThreshold 0"),
        QStringLiteral("V3AuthNIntervalsValid 2"),
        QStringLiteral("SocksPort 0"),
        QStringLiteral("ContactInfo relays@veilport.test"),
        QStringLiteral("ShutdownWaitLength 0"),
        QStringLiteral("SafeLogging 0"),
        // Each tor ends by itself when the process that started it is gone, even if that one was killed.
        QStringLiteral("__OwningControllerProcess %1").arg(QCoreApplication::applicationPid()),
    };
}

// Votes every 10 seconds from the first moment on; vote and distribution delays must fit in half of that.
// Only the relays in guards (their addresses) are guards: a client keeps its guard, and an exit taken as
// guard could never be the exit of that client's circuits.
QStringList authorityLines(const QStringList& guards)
{
    return {
        QStringLiteral("TestingDirAuthVoteGuard ") + guards.join(u','),
        QStringLiteral("TestingDirAuthVoteGuardIsStrict 1"),
        // Stable by the uptime of the others would leave out whichever relay started last; a client builds its
        // long-lived (conflux) circuits only through Stable exits, so one exit would carry every request.
        QStringLiteral("AuthDirVoteStableGuaranteeMinUptime 0"),
        QStringLiteral("AuthDirVoteStableGuaranteeMTBF 0"),
        QStringLiteral("AuthoritativeDirectory 1"),
        QStringLiteral("V3AuthoritativeDirectory 1"),
        QStringLiteral("TestingV3AuthInitialVotingInterval 10"),
        QStringLiteral("TestingV3AuthInitialVoteDelay 2"),
        QStringLiteral("TestingV3AuthInitialDistDelay 2"),
        QStringLiteral("V3AuthVotingInterval 10"),
        QStringLiteral("V3AuthVoteDelay 2"),
        QStringLiteral("V3AuthDistDelay 2"),
    };
}

// A client on microdescriptors knows an exit's policy only by ports, which a policy accepting private
// addresses alone would summarise as "rejects everything"; accepting all addresses keeps the exits usable,
// and the private network is what keeps them from reaching anything beyond the machine.
QStringList exitLines(const QHostAddress& outbound)
{
    return {
        QStringLiteral("ExitRelay 1"),
        QStringLiteral("ExitPolicyRejectPrivate 0"),
        QStringLiteral("ExitPolicy accept 127.0.0.0/8:*"),
        QStringLiteral("ExitPolicy accept private:*"),
        QStringLiteral("ExitPolicy accept *:*"),
        QStringLiteral("OutboundBindAddressExit ") + outbound.toString(),
    };
}

} // namespace

struct PrivateTorNetwork::Node
{
    QString nickname;
    Role role = Role::Relay;
    QHostAddress address;  // where it listens
    QHostAddress outbound; // where its exit connections come from (exits only)
    QString folder;
    QString v3Identity; // authorities only
    QString fingerprint;
    std::unique_ptr<QProcess> process;

    QString torrc() const { return folder + QStringLiteral("/torrc"); }
};

PrivateTorNetwork::PrivateTorNetwork()
{
    const auto add = [this](const QString& nickname, Role role, const QString& address, const QString& outbound) {
        auto node = std::make_unique<Node>();
        node->nickname = nickname;
        node->role = role;
        node->address = QHostAddress(address);
        node->outbound = QHostAddress(outbound);
        m_nodes.push_back(std::move(node));
    };
    for (int i = 1; i <= 3; ++i)
        add(QStringLiteral("auth%1").arg(i), Role::Authority, QStringLiteral("127.0.0.1%1").arg(i), {});
    add(QStringLiteral("relay1"), Role::Relay, QStringLiteral("127.0.0.21"), {});
    for (int i = 1; i <= 2; ++i)
        add(QStringLiteral("exit%1").arg(i), Role::Exit, QStringLiteral("127.0.0.3%1").arg(i),
            QStringLiteral("10.66.0.3%1").arg(i));
}

PrivateTorNetwork::~PrivateTorNetwork()
{
    stop();
}

QHostAddress PrivateTorNetwork::serverAddress()
{
    return QHostAddress(QStringLiteral("10.66.0.1"));
}

QList<QHostAddress> PrivateTorNetwork::exitAddresses() const
{
    QList<QHostAddress> addresses;
    for (const auto& node : m_nodes) {
        if (node->role == Role::Exit)
            addresses << node->outbound;
    }
    return addresses;
}

QStringList PrivateTorNetwork::clientOptions() const
{
    return QStringList{QStringLiteral("TestingTorNetwork 1")} + m_authorityLines;
}

bool PrivateTorNetwork::start(const QString& folder, int timeoutMs)
{
    stop();
    m_error.clear();
    m_upMs = 0;
    if (!PrivateNetwork::entered())
        return fail(QStringLiteral("the Tor network runs only inside the private network: ") + PrivateNetwork::error());
    QList<QHostAddress> missing;
    const QList<QHostAddress> present = QNetworkInterface::allAddresses();
    const QList<QHostAddress> needed = exitAddresses() << serverAddress();
    for (const QHostAddress& address : needed) {
        if (!present.contains(address))
            missing << address;
    }
    if (!missing.isEmpty() && !PrivateNetwork::addAddresses(missing))
        return fail(PrivateNetwork::error());

    m_folder = folder;
    for (const auto& node : m_nodes) {
        node->folder = folder + u'/' + node->nickname;
        if (!QDir().mkpath(node->folder + QStringLiteral("/keys")))
            return fail(QStringLiteral("cannot make ") + node->folder);
        // tor refuses a data folder that others may read.
        QFile::setPermissions(node->folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    if (!makeKeys() || !writeConfigurations())
        return false;

    QElapsedTimer clock;
    clock.start();
    if (!launch())
        return false;
    const auto ended = [this] {
        return std::any_of(m_nodes.begin(), m_nodes.end(),
                           [](const auto& node) { return node->process->state() == QProcess::NotRunning; });
    };
    waitUntil([&] { return ended() || up(); }, timeoutMs, 100);
    if (ended())
        return fail(QStringLiteral("a relay of the private Tor network ended\n") + logTails());
    if (!up())
        return fail(QStringLiteral("no complete consensus within %1 ms\n").arg(timeoutMs) + logTails());
    m_upMs = clock.elapsed();
    return true;
}

void PrivateTorNetwork::stop()
{
    for (const auto& node : m_nodes) {
        if (node->process && node->process->state() != QProcess::NotRunning) {
            node->process->kill();
            node->process->waitForFinished(5000);
        }
        node->process.reset();
    }
}

bool PrivateTorNetwork::makeKeys()
{
    const QString gencert = findTool(QStringLiteral("tor-gencert"));
    const QString tor = findTool(QStringLiteral("tor"));
    if (gencert.isEmpty() || tor.isEmpty())
        return fail(QStringLiteral("tor and tor-gencert are not installed (scripts/setup installs them)"));

    // Key making is slow (3072-bit RSA), so the authorities make theirs side by side.
    struct Job
    {
        Node* node;
        std::unique_ptr<QProcess> process;
    };
    // Waits with the event loop running, so that a window of the test stays responsive meanwhile.
    const auto runAll = [this](std::vector<Job>& jobs, const char* what) {
        waitUntil(
            [&] {
                return std::all_of(jobs.begin(), jobs.end(),
                                   [](const Job& job) { return job.process->state() == QProcess::NotRunning; });
            },
            kToolTimeoutMs, 20);
        for (Job& job : jobs) {
            if (job.process->state() != QProcess::NotRunning || job.process->exitStatus() != QProcess::NormalExit ||
                job.process->exitCode() != 0) {
                return fail(QStringLiteral("%1 for %2 failed: %3")
                                .arg(QString::fromLatin1(what), job.node->nickname,
                                     QString::fromLocal8Bit(job.process->readAll().right(2000))));
            }
        }
        return true;
    };

    std::vector<Job> certificates;
    for (const auto& node : m_nodes) {
        if (node->role != Role::Authority)
            continue;
        auto process = std::make_unique<QProcess>();
        process->setWorkingDirectory(node->folder + QStringLiteral("/keys"));
        process->setProcessChannelMode(QProcess::MergedChannels);
        EndsWithParent(*process);
        process->start(gencert, {QStringLiteral("--create-identity-key"), QStringLiteral("-m"), QStringLiteral("12"),
                                 QStringLiteral("-a"), node->address.toString() + u':' + QString::number(kDirPort),
                                 QStringLiteral("-i"), QStringLiteral("authority_identity_key"), QStringLiteral("-s"),
                                 QStringLiteral("authority_signing_key"), QStringLiteral("-c"),
                                 QStringLiteral("authority_certificate"), QStringLiteral("--passphrase-fd"),
                                 QStringLiteral("0")});
        // An empty passphrase leaves the identity key unencrypted.
        process->write("\n");
        process->closeWriteChannel();
        certificates.push_back({node.get(), std::move(process)});
    }
    if (!runAll(certificates, "tor-gencert"))
        return false;

    for (Job& job : certificates) {
        Node& node = *job.node;
        QFile certificate(node.folder + QStringLiteral("/keys/authority_certificate"));
        if (certificate.open(QIODevice::ReadOnly)) {
            const QRegularExpression line(QStringLiteral("^fingerprint ([0-9A-F]{40})$"),
                                          QRegularExpression::MultilineOption);
            node.v3Identity = line.match(QString::fromLatin1(certificate.readAll())).captured(1);
        }
        if (node.v3Identity.isEmpty())
            return fail(QStringLiteral("tor-gencert made no certificate for ") + node.nickname);
    }

    // A relay's fingerprint comes from its identity key, which tor makes on first use; the authorities need
    // their own for the DirAuthority lines and everyone's for the bandwidth file.
    std::vector<Job> fingerprints;
    for (const auto& node : m_nodes) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::MergedChannels);
        EndsWithParent(*process);
        process->start(tor, {QStringLiteral("--list-fingerprint"), QStringLiteral("--ignore-missing-torrc"),
                             QStringLiteral("-f"), node->folder + QStringLiteral("/none"),
                             QStringLiteral("--defaults-torrc"), node->folder + QStringLiteral("/none"),
                             QStringLiteral("--DataDirectory"), node->folder, QStringLiteral("--Nickname"),
                             node->nickname, QStringLiteral("--ORPort"), QString::number(kOrPort)});
        fingerprints.push_back({node.get(), std::move(process)});
    }
    if (!runAll(fingerprints, "tor --list-fingerprint"))
        return false;
    for (Job& job : fingerprints) {
        // "auth1 ABCD 1234 ..." (ten groups of four)
        const QRegularExpression line(QStringLiteral("^") + job.node->nickname +
                                          QStringLiteral(" ((?:[0-9A-F]{4} ?){10})$"),
                                      QRegularExpression::MultilineOption);
        job.node->fingerprint = line.match(QString::fromLatin1(job.process->readAll())).captured(1).remove(u' ');
        if (job.node->fingerprint.size() != 40)
            return fail(QStringLiteral("tor listed no fingerprint for ") + job.node->nickname);
    }

    m_authorityLines.clear();
    for (const auto& node : m_nodes) {
        if (node->role == Role::Authority)
            m_authorityLines << QStringLiteral("DirAuthority %1 orport=%2 no-v2 v3ident=%3 %4:%5 %6")
                                    .arg(node->nickname)
                                    .arg(kOrPort)
                                    .arg(node->v3Identity, node->address.toString())
                                    .arg(kDirPort)
                                    .arg(node->fingerprint);
    }
    return true;
}

bool PrivateTorNetwork::writeConfigurations()
{
    // New relays have seen next to no traffic, so their own bandwidth figures are close to zero and an exit
    // at zero would never be chosen while the other one is there. The authorities measure all relays alike.
    const QString bandwidths = m_folder + QStringLiteral("/bandwidths");
    QStringList measured{QString::number(QDateTime::currentSecsSinceEpoch())};
    QStringList guards;
    for (const auto& node : m_nodes) {
        measured << QStringLiteral("node_id=$%1 bw=1000").arg(node->fingerprint);
        if (node->role != Role::Exit)
            guards << node->address.toString();
    }
    QFile measurements(bandwidths);
    if (!measurements.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        measurements.write((measured.join(u'\n') + u'\n').toUtf8()) < 0)
        return fail(QStringLiteral("cannot write ") + bandwidths);
    measurements.close();
    for (const auto& node : m_nodes) {
        const QString address = node->address.toString();
        QStringList lines = commonLines();
        lines << QStringLiteral("DataDirectory ") + node->folder << QStringLiteral("Nickname ") + node->nickname
              << QStringLiteral("Address ") + address << QStringLiteral("ORPort %1:%2").arg(address).arg(kOrPort)
              << QStringLiteral("DirPort %1:%2").arg(address).arg(kDirPort)
              << QStringLiteral("Log notice file ") + node->folder + QStringLiteral("/notice.log");
        if (node->role == Role::Exit)
            lines << exitLines(node->outbound);
        else
            lines << QStringLiteral("ExitRelay 0");
        if (node->role == Role::Authority)
            lines << authorityLines(guards) << QStringLiteral("V3BandwidthsFile ") + bandwidths;
        lines << m_authorityLines;
        QFile file(node->torrc());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write((lines.join(u'\n') + u'\n').toUtf8()) < 0)
            return fail(QStringLiteral("cannot write ") + node->torrc());
    }
    return true;
}

bool PrivateTorNetwork::launch()
{
    const QString tor = findTool(QStringLiteral("tor"));
    for (const auto& node : m_nodes) {
        node->process = std::make_unique<QProcess>();
        // The log goes to notice.log; stdout would only fill a pipe nobody reads.
        node->process->setStandardOutputFile(QProcess::nullDevice());
        node->process->setStandardErrorFile(node->folder + QStringLiteral("/stderr.log"));
        node->process->setStandardInputFile(QProcess::nullDevice());
        EndsWithParent(*node->process);
        // A defaults file that does not exist keeps the system's tor configuration out.
        node->process->start(tor, {QStringLiteral("--ignore-missing-torrc"), QStringLiteral("--defaults-torrc"),
                                   node->folder + QStringLiteral("/none"), QStringLiteral("-f"), node->torrc()});
        if (!node->process->waitForStarted(kToolTimeoutMs))
            return fail(
                QStringLiteral("tor did not start for %1: %2").arg(node->nickname, node->process->errorString()));
    }
    return true;
}

bool PrivateTorNetwork::up() const
{
    // An exit without a consensus of its own yet ends every stream it is asked to open ("misc error"), so
    // the network is up only once every relay has finished its own bootstrap as well.
    for (const auto& node : m_nodes) {
        QFile log(node->folder + QStringLiteral("/notice.log"));
        if (!log.open(QIODevice::ReadOnly) || !log.readAll().contains("Bootstrapped 100%"))
            return false;
    }
    for (const auto& authority : m_nodes) {
        if (authority->role != Role::Authority)
            continue;
        QFile file(authority->folder + QStringLiteral("/cached-microdesc-consensus"));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const auto& node : m_nodes) {
            // "r <nickname> <identity> ..." followed (after an "m" line in some versions) by "s <flags>".
            const QByteArray entry = "r " + node->nickname.toLatin1() + ' ';
            bool running = false;
            for (qsizetype i = 0; i < lines.size() && !running; ++i) {
                if (!lines[i].startsWith(entry))
                    continue;
                for (qsizetype j = i + 1; j < lines.size() && !lines[j].startsWith("r "); ++j) {
                    if (lines[j].startsWith("s "))
                        running = lines[j].contains(" Running") && lines[j].contains(" Valid");
                }
            }
            if (!running)
                return false;
        }
    }
    return true;
}

bool PrivateTorNetwork::fail(const QString& message)
{
    m_error = message;
    stop();
    return false;
}

QString PrivateTorNetwork::logTails() const
{
    QString text;
    for (const auto& node : m_nodes) {
        QFile log(node->folder + QStringLiteral("/notice.log"));
        if (!log.open(QIODevice::ReadOnly))
            continue;
        QStringList problems;
        for (const QByteArray& line : log.readAll().split('\n')) {
            if (line.contains("[warn]") || line.contains("[err]"))
                problems << QString::fromUtf8(line);
        }
        text += node->nickname + QStringLiteral(": ") + problems.mid(qMax(0, problems.size() - 3)).join(u'\n') + u'\n';
    }
    return text;
}

} // namespace testsupport
