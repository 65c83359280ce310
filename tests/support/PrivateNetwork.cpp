#include "support/PrivateNetwork.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

QString& lastError()
{
    static QString error;
    return error;
}

bool& inside()
{
    static bool entered = false;
    return entered;
}

bool fail(const QString& why)
{
    lastError() = why;
    return false;
}

bool failWith(const char* what, int error)
{
    return fail(QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error)));
}

bool failSystem(const char* what)
{
    return failWith(what, errno);
}

// A descriptor closed however the function that opened it returns.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A new network namespace has a loopback interface, but down: not even 127.0.0.1 answers until it is up.
bool bringLoopbackUp()
{
    const Descriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0)
        return failSystem("cannot open a socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(socket.get(), SIOCGIFFLAGS, &request) != 0)
        return failSystem("cannot read the loopback interface's flags");
    request.ifr_flags |= IFF_UP;
    if (::ioctl(socket.get(), SIOCSIFFLAGS, &request) != 0)
        return failSystem("cannot bring the loopback interface up");
    return true;
}

bool enterPrivateHosts(const QStringList& names)
{
    QFile system(QStringLiteral("/etc/hosts"));
    QByteArray hosts = system.open(QIODevice::ReadOnly) ? system.readAll() : QByteArray("127.0.0.1 localhost\n");
    if (!hosts.endsWith('\n'))
        hosts += '\n';
    for (const QString& name : names)
        hosts += "127.0.0.1 " + name.toUtf8() + '\n';

    char path[] = "/tmp/veilport-hosts-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return failSystem("cannot write a hosts file");
    const bool written = ::write(fd, hosts.constData(), size_t(hosts.size())) == hosts.size();
    const int writeError = errno;
    ::fchmod(fd, 0644);
    ::close(fd);
    bool entered = false;
    if (!written)
        failWith("cannot write a hosts file", writeError);
    else if (::unshare(CLONE_NEWNS) != 0)
        failSystem("unshare(CLONE_NEWNS) refused");
    // Mounts made here must not reach the machine's own namespace.
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        failSystem("cannot make the mounts private");
    else if (::mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        failSystem("cannot bind a hosts file over /etc/hosts");
    else
        entered = true;
    // The bind mount keeps the file alive for as long as this namespace lives.
    ::unlink(path);
    return entered;
}

// One RTM_NEWADDR request on the route socket, and the kernel's answer to it.
bool addAddress(int route, int loopback, const QHostAddress& address, unsigned sequence)
{
    const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    if (!ipv4 && address.protocol() != QAbstractSocket::IPv6Protocol)
        return fail(QStringLiteral("not an address: ") + address.toString());
    unsigned char bytes[16] = {};
    size_t size = 16;
    if (ipv4) {
        const quint32 value = htonl(address.toIPv4Address());
        std::memcpy(bytes, &value, 4);
        size = 4;
    } else {
        const Q_IPV6ADDR value = address.toIPv6Address();
        std::memcpy(bytes, value.c, 16);
    }

    alignas(nlmsghdr) char request[256] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(request);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    header->nlmsg_type = RTM_NEWADDR;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
    header->nlmsg_seq = sequence;
    auto* message = static_cast<ifaddrmsg*>(NLMSG_DATA(header));
    message->ifa_family = ipv4 ? AF_INET : AF_INET6;
    message->ifa_prefixlen = ipv4 ? 32 : 128;
    // Loopback does no duplicate detection anyway; an address still "tentative" could not be bound at once.
    message->ifa_flags = ipv4 ? 0 : IFA_F_NODAD;
    message->ifa_scope = RT_SCOPE_UNIVERSE;
    message->ifa_index = unsigned(loopback);
    for (const unsigned short type : {IFA_LOCAL, IFA_ADDRESS}) {
        auto* attribute = reinterpret_cast<rtattr*>(request + NLMSG_ALIGN(header->nlmsg_len));
        attribute->rta_type = type;
        attribute->rta_len = RTA_LENGTH(size);
        std::memcpy(RTA_DATA(attribute), bytes, size);
        header->nlmsg_len = NLMSG_ALIGN(header->nlmsg_len) + RTA_ALIGN(attribute->rta_len);
    }

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(route, request, header->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return failSystem("cannot ask the kernel for an address");
    alignas(nlmsghdr) char answer[1024];
    for (;;) {
        const ssize_t got = ::recv(route, answer, sizeof answer, 0);
        if (got < 0)
            return failSystem("no answer from the kernel to adding an address");
        int left = int(got);
        for (auto* reply = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(reply, left);
             reply = NLMSG_NEXT(reply, left)) {
            if (reply->nlmsg_seq != sequence || reply->nlmsg_type != NLMSG_ERROR)
                continue;
            const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
            // An address that is there already is what the caller wanted.
            if (error == 0 || error == EEXIST)
                return true;
            return failWith(("cannot add " + address.toString().toUtf8() + " to the loopback interface").constData(),
                            error);
        }
    }
}

// Runs iproute2's ip (a child process shares this namespace) and waits for it.
bool runIp(const QStringList& args)
{
    QProcess ip;
    ip.setProcessChannelMode(QProcess::MergedChannels);
    ip.start(QStringLiteral("ip"), args);
    if (!ip.waitForFinished(10000) || ip.exitStatus() != QProcess::NormalExit || ip.exitCode() != 0) {
        const QString output = QString::fromLocal8Bit(ip.readAll()).trimmed();
        return fail(QStringLiteral("ip ") + args.join(u' ') + QStringLiteral(": ") +
                    (output.isEmpty() ? ip.errorString() : output));
    }
    return true;
}

} // namespace

bool PrivateNetwork::enter(const QStringList& hostNames)
{
    if (::geteuid() != 0)
        return fail(QStringLiteral("not root, and only root may enter a network namespace"));
    if (::unshare(CLONE_NEWNET) != 0)
        return failSystem("unshare(CLONE_NEWNET) refused");
    inside() = true;
    if (!bringLoopbackUp())
        return false;
    return hostNames.isEmpty() || enterPrivateHosts(hostNames);
}

bool PrivateNetwork::entered()
{
    return inside();
}

bool PrivateNetwork::addAddresses(const QList<QHostAddress>& addresses)
{
    // Outside the namespace this would change the machine's own loopback interface.
    if (!inside())
        return fail(QStringLiteral("addresses are added only inside the private network"));
    const int loopback = int(::if_nametoindex("lo"));
    if (loopback == 0)
        return failSystem("no loopback interface");
    const Descriptor route(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (route.get() < 0)
        return failSystem("cannot open a route socket");
    // The kernel answers at once; a bound on the wait keeps a surprise from hanging the test.
    const timeval limit{5, 0};
    ::setsockopt(route.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    unsigned sequence = 0;
    for (const QHostAddress& address : addresses) {
        if (!addAddress(route.get(), loopback, address, ++sequence))
            return false;
    }
    return true;
}

bool PrivateNetwork::addNetworkCard(const QString& name, const QHostAddress& address)
{
    // Outside the namespace this would give the machine itself a new default route.
    if (!inside())
        return fail(QStringLiteral("network cards are added only inside the private network"));
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return fail(QStringLiteral("not an IPv4 address: ") + address.toString());
    const QString peer = name + QStringLiteral("-end");
    const bool made = runIp({QStringLiteral("link"), QStringLiteral("add"), name, QStringLiteral("type"),
                             QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), peer});
    if (!made)
        return false;
    if (runIp({QStringLiteral("addr"), QStringLiteral("add"), address.toString() + QStringLiteral("/24"),
               QStringLiteral("dev"), name}) &&
        runIp({QStringLiteral("link"), QStringLiteral("set"), peer, QStringLiteral("up")}) &&
        runIp({QStringLiteral("link"), QStringLiteral("set"), name, QStringLiteral("up")}) &&
        runIp({QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("default"), QStringLiteral("dev"), name}))
        return true;
    const QString why = error();
    removeNetworkCard(name);
    return fail(why);
}

bool PrivateNetwork::removeNetworkCard(const QString& name)
{
    if (!inside())
        return fail(QStringLiteral("network cards are removed only inside the private network"));
    // Deleting one end of the pair deletes the other, and the route through it.
    return runIp({QStringLiteral("link"), QStringLiteral("delete"), name});
}

QString PrivateNetwork::error()
{
    return lastError();
}

} // namespace testsupport
