// Other users of the machine. The instance channel's name is visible to every user, so a process of
// another user can reach a running copy: it must not be able to close, raise, query or hand data to
// it. The other way round, a copy of another user must never be taken for this user's running copy.
// And the folders the program creates for this user keep other users out.
//
// "Another user" is real: the test forks a child that drops to uid/gid 65534 (nobody), which needs
// root. After fork the child is alone in a copy of a process that has threads, so it uses plain
// system calls only and reports through a pipe.
#include "ProgramProcess.h"
#include "config/TSettings.h"
#include "platform/UnixInstanceChannel.h"
#include "support/InstanceChannelClient.h"
#include "support/ListServiceFixture.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QUuid>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using platform::UnixInstanceChannel;
using testsupport::sendWhileServing;

namespace {

constexpr uid_t kNobody = 65534;
constexpr int kChildTimeoutMs = 30000;

// A request frame as a copy of the program sends it: magic, message, wParam, payload length
// (big-endian 32-bit each), payload.
QByteArray requestFrame(quint32 message, qint32 wParam, const QByteArray& payload)
{
    QByteArray frame("VPIM");
    char raw[4];
    for (const quint32 value : {message, quint32(wParam), quint32(payload.size())}) {
        qToBigEndian(value, raw);
        frame.append(raw, 4);
    }
    return frame + payload;
}

socklen_t abstractAddress(const QString& name, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    const QByteArray bytes = name.toUtf8();
    std::memcpy(address.sun_path + 1, bytes.constData(), size_t(bytes.size()));
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(bytes.size()));
}

// In the child: becomes nobody for good, or ends.
void becomeNobody()
{
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0 || ::getuid() != kNobody || ::geteuid() != kNobody)
        ::_exit(90);
}

void writeAllRaw(int fd, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes += n;
        size -= size_t(n);
    }
}

// Reads what the peer sends until it closes or the time is up; -1 when the time ran out.
long drainUntilClosed(int fd, int timeoutMs)
{
    long total = 0;
    char buffer[256];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return -1;
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) // the end of the stream, or a reset: closed either way
            return total;
        total += long(n);
    }
}

// A child process that runs as nobody. The parent keeps its event loop turning while it waits, so
// an in-process channel goes on accepting.
class ForeignUserChild
{
public:
    ForeignUserChild() = default;
    ForeignUserChild(const ForeignUserChild&) = delete;
    ForeignUserChild& operator=(const ForeignUserChild&) = delete;

    ~ForeignUserChild()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        for (const int fd : {m_report[0], m_report[1], m_command[0], m_command[1]})
            if (fd >= 0)
                ::close(fd);
    }

    // Forks; the child becomes nobody and runs body(reportFd, commandFd), then ends.
    bool start(const std::function<void(int reportFd, int commandFd)>& body)
    {
        if (::pipe2(m_report, O_CLOEXEC) != 0 || ::pipe2(m_command, O_CLOEXEC) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid < 0)
            return false;
        if (m_pid == 0) {
            ::close(m_report[0]);
            ::close(m_command[1]);
            becomeNobody();
            body(m_report[1], m_command[0]);
            ::_exit(0);
        }
        ::close(m_report[1]);
        ::close(m_command[0]);
        m_report[1] = m_command[0] = -1;
        ::fcntl(m_report[0], F_SETFL, O_NONBLOCK);
        return true;
    }

    // Reads size bytes of the child's report, serving events meanwhile; false on time-out or end.
    bool readReport(void* data, size_t size, int timeoutMs = kChildTimeoutMs)
    {
        char* out = static_cast<char*>(data);
        size_t done = 0;
        const QDeadlineTimer deadline(timeoutMs);
        while (done < size) {
            const ssize_t n = ::read(m_report[0], out + done, size - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) || deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return true;
    }

    // Tells the child to finish what it waits for.
    void command() { writeAllRaw(m_command[1], "x", 1); }

    // The child's exit code, serving events until it ends; -1 when it does not end in time.
    int finish(int timeoutMs = kChildTimeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    int m_report[2] = {-1, -1};
    int m_command[2] = {-1, -1};
};

// What the foreign client saw for one request.
struct ClientOutcome
{
    int connected = 0;   // the connection was made (the name is visible to everybody)
    long replyBytes = 0; // bytes the running copy sent back
    int hung = 0;        // the copy neither answered nor closed within the time
};

const char* const kNeedsRoot = "acting as another user (uid 65534) needs root: the test forks a child that "
                               "drops to nobody with setresuid";

class OtherUser : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << kNeedsRoot;
        name = QStringLiteral("Global\\test-other-user-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    }

    QString name;
};

// The running copy: the real channel object, answering everything and recording what arrives.
class OtherUserAgainstRunningCopy : public OtherUser
{
protected:
    void SetUp() override
    {
        OtherUser::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(server.claim(name));
        server.serve([this](quint32 message, qint32, const QByteArray&) -> std::optional<qint32> {
            handled.append(message);
            return 20261209;
        });
    }

    UnixInstanceChannel server;
    QList<quint32> handled;
};

// A private installation of the program whose copies the other user meets.
class OtherUserAndProgram : public apptest::ProgramCopiesTest
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << kNeedsRoot;
        if (!apptest::programBuilt())
            GTEST_SKIP() << "the veilport executable is not built";
    }
};

} // namespace

namespace {

// Close, raise, who-are-you, a handed-over argument, the all-users restart and dropped files.
std::vector<QByteArray> everyRequest()
{
    return {
        requestFrame(2027, 0, {}), requestFrame(0x10001, 0, {}),
        requestFrame(2135, 0, {}), requestFrame(74, 0, QByteArrayLiteral("/home/victim/Documents/secret.txt")),
        requestFrame(2028, 1, {}), requestFrame(563, 0, QByteArrayLiteral("/tmp/a\n/tmp/b")),
    };
}

// Sends each request as nobody on a connection of its own and checks what came back: the
// connection is made (the name is public), then closed without a byte of answer and without
// leaving the sender hanging.
void expectRefusedAsNobody(const QString& name, const std::vector<QByteArray>& requests)
{
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, address);
    ForeignUserChild child;
    ASSERT_TRUE(child.start([&](int report, int) {
        for (const QByteArray& request : requests) {
            ClientOutcome outcome;
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            outcome.connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 ? 1 : 0;
            if (outcome.connected) {
                // The copy may already have hung up; what matters is what comes back.
                ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
                const long reply = drainUntilClosed(fd, 5000);
                outcome.hung = reply < 0 ? 1 : 0;
                outcome.replyBytes = qMax(0L, reply);
            }
            ::close(fd);
            writeAllRaw(report, &outcome, sizeof(outcome));
        }
    }));
    for (size_t i = 0; i < requests.size(); ++i) {
        ClientOutcome outcome;
        ASSERT_TRUE(child.readReport(&outcome, sizeof(outcome))) << "request " << i;
        EXPECT_EQ(outcome.connected, 1) << "request " << i;
        EXPECT_EQ(outcome.replyBytes, 0) << "request " << i << ": the copy answered another user";
        EXPECT_EQ(outcome.hung, 0) << "request " << i << ": the copy kept the connection open instead of closing it";
    }
    EXPECT_EQ(child.finish(), 0);
}

} // namespace

TEST_F(OtherUserAndProgram, TheRealProgramIgnoresEveryRequestOfAnotherUser)
{
    ASSERT_TRUE(install("[const]\nApp.ID=31337\n"));
    root.write(QStringLiteral("config/Veilport/UserFlag.ini"), "[Flag]\r\nAllUsers=0\r\n");
    root.write(QStringLiteral("config/Veilport/Setting.dat"), "[setting]\r\nSETUPFF=0\r\nFirstTimeRun=0\r\n");
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QT_LOGGING_RULES"),
               QStringLiteral("veilport.app.info=true;veilport.instance.info=true"));
    QProcess* copy = launch(env);
    ASSERT_TRUE(apptest::waitUntil([&] { return send(kInstanceQueryId, 3000) == 31337; }, 60000)) << traces();

    expectRefusedAsNobody(channelName, everyRequest());

    // Still running, still answering its own user, and none of the requests reached a handler.
    EXPECT_EQ(copy->state(), QProcess::Running);
    EXPECT_EQ(send(kInstanceQueryId, 3000), 31337);
    const QString trace = this->trace(copy);
    EXPECT_EQ(trace.count(QStringLiteral("refused a connection from another user")), qsizetype(everyRequest().size()))
        << trace.toStdString();
    EXPECT_FALSE(trace.contains(QStringLiteral("close requested")) ||
                 trace.contains(QStringLiteral("raise requested")) || trace.contains(QStringLiteral("copy data")))
        << trace.toStdString();
    // The all-users restart would have rewritten the choice.
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/UserFlag.ini")).contains("AllUsers=0"));
    EXPECT_TRUE(closeCopy(copy)) << traces();
}

TEST_F(OtherUserAgainstRunningCopy, ConnectionsHeldOpenByAnotherUserDoNotDelayTheOwnUser)
{
    // More silent connections than the copy receives at once, each with half a header sent.
    constexpr int kHeld = 2 * UnixInstanceChannel::MaxConnections + 4;
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, address);

    ForeignUserChild child;
    ASSERT_TRUE(child.start([&](int report, int command) {
        int fds[kHeld];
        int opened = 0;
        for (int i = 0; i < kHeld; ++i) {
            fds[i] = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            // A full backlog empties as the copy accepts; try again for a while.
            for (int attempt = 0; attempt < 1000; ++attempt) {
                if (::connect(fds[i], reinterpret_cast<const sockaddr*>(&address), length) == 0) {
                    ::send(fds[i], "VPIM", 4, MSG_NOSIGNAL);
                    ++opened;
                    break;
                }
                if (errno != EAGAIN)
                    break;
                ::poll(nullptr, 0, 5);
            }
        }
        writeAllRaw(report, &opened, sizeof(opened));
        pollfd wait{command, POLLIN, 0};
        ::poll(&wait, 1, kChildTimeoutMs);
        // How many of them the copy has closed by now.
        int closed = 0;
        for (int i = 0; i < kHeld; ++i) {
            pollfd entry{fds[i], POLLIN, 0};
            char byte;
            if (::poll(&entry, 1, 0) == 1 && ::recv(fds[i], &byte, 1, MSG_DONTWAIT) <= 0)
                ++closed;
        }
        writeAllRaw(report, &closed, sizeof(closed));
    }));

    int opened = 0;
    ASSERT_TRUE(child.readReport(&opened, sizeof(opened)));
    EXPECT_EQ(opened, kHeld);

    // Refused at once, they hold no slot: the own request is answered without waiting for any of
    // them to time out.
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(sendWhileServing(name, 2135, 0, {}, 3 * UnixInstanceChannel::RequestDeadlineMs), 20261209);
    EXPECT_LT(timer.elapsed(), UnixInstanceChannel::RequestDeadlineMs);
    EXPECT_EQ(server.pendingConnections(), 0);

    child.command();
    int closed = 0;
    ASSERT_TRUE(child.readReport(&closed, sizeof(closed)));
    EXPECT_EQ(closed, kHeld);
    EXPECT_EQ(child.finish(), 0);
    EXPECT_EQ(handled, QList<quint32>{2135});
}

namespace {

// What a copy of another user learnt from this user's side.
struct HolderReport
{
    int connections = 0;
    long bytesReceived = 0;
};

constexpr qint32 kAppId = 777;

// Another user's process holds the name of a private installation's copies and answers every connection at
// once with the right identity, without even waiting for a request: the most tempting impostor.
class ForeignHolder : public OtherUserAndProgram
{
protected:
    void SetUp() override
    {
        OtherUserAndProgram::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(install("[const]\nApp.ID=" + QByteArray::number(kAppId) + "\n"));
        sockaddr_un address;
        const socklen_t length = abstractAddress(channelName, address);
        QByteArray reply("VPIR");
        reply.append('\0');
        char raw[4];
        qToBigEndian(quint32(kAppId), raw);
        reply.append(raw, 4);

        ASSERT_TRUE(holder.start([address, length, reply](int report, int command) {
            const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
                ::listen(listener, 16) != 0)
                ::_exit(91);
            const char ready = 'R';
            writeAllRaw(report, &ready, 1);
            HolderReport seen;
            for (;;) {
                pollfd entries[2] = {{listener, POLLIN, 0}, {command, POLLIN, 0}};
                if (::poll(entries, 2, kChildTimeoutMs) <= 0)
                    break;
                // Told to finish: only once no connection waits in the backlog any more.
                if (entries[0].revents == 0 && entries[1].revents != 0)
                    break;
                if (entries[0].revents == 0)
                    continue;
                const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                ++seen.connections;
                ::send(fd, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL);
                seen.bytesReceived += qMax(0L, drainUntilClosed(fd, 2000));
                ::close(fd);
            }
            writeAllRaw(report, &seen, sizeof(seen));
        }));
        char ready = 0;
        ASSERT_TRUE(holder.readReport(&ready, 1));
        ASSERT_EQ(ready, 'R');
    }

    HolderReport finishHolder()
    {
        holder.command();
        HolderReport seen;
        EXPECT_TRUE(holder.readReport(&seen, sizeof(seen)));
        EXPECT_EQ(holder.finish(), 0);
        return seen;
    }

    ForeignUserChild holder;
};

} // namespace

TEST_F(ForeignHolder, TheRealProgramEndsQuietlyWithoutTalkingToIt)
{
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("VEILPORT_TRACE_STARTUP"), QStringLiteral("1"));

    // A plain start, the stop switch, and a start handing over a file name.
    for (const QStringList& args :
         {QStringList{}, QStringList{QStringLiteral("-s")}, QStringList{QStringLiteral("/root/private/notes.txt")}}) {
        QProcess* copy = launch(env, args);
        ASSERT_TRUE(finishes(copy)) << args.join(u' ').toStdString();
        EXPECT_EQ(copy->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(copy->exitCode(), 0);
        EXPECT_FALSE(trace(copy).contains(QStringLiteral("main window shown"))) << trace(copy).toStdString();
    }
    // Nothing was created for this user either: the copy ended before choosing a settings folder.
    EXPECT_FALSE(QFileInfo::exists(root.file(QStringLiteral("config/Veilport"))));

    const HolderReport seen = finishHolder();
    EXPECT_GE(seen.connections, 3);
    EXPECT_EQ(seen.bytesReceived, 0) << "a request went to another user's process";
}

namespace {

// The permission bits of a path, without following a link.
mode_t modeOf(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return mode_t(-1);
    return info.st_mode & 07777;
}

// Restores the process's file-creation mask when the test ends.
class ScopedUmask
{
public:
    explicit ScopedUmask(mode_t mask) : m_old(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_old); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t m_old;
};

// A private installation pointed at the local list service (one proxy, which the start does not
// need to test), and a home in which nothing of the program exists yet.
class OwnFolders : public apptest::ProgramCopiesTest
{
protected:
    void SetUp() override
    {
        if (!apptest::programBuilt())
            GTEST_SKIP() << "the veilport executable is not built";
        ASSERT_TRUE(service.start({{QStringLiteral("127.0.0.1:9"), QStringLiteral("Canada"), QStringLiteral("-75.7"),
                                    QStringLiteral("45.4")}}))
            << service.errorText().toStdString();
        ASSERT_TRUE(install(service.oemDat()));
        userFolder = root.file(QStringLiteral("config/Veilport"));
        commonFolder = root.file(QStringLiteral("common/Veilport"));
        ASSERT_FALSE(QFileInfo::exists(userFolder));
    }

    // Starts a copy, waits until its list (and with it the own country's flag) is stored in
    // folder, and closes it as a second start with the stop switch would.
    void runUntilListStored(const QString& folder)
    {
        QProcess* copy = launch();
        const bool stored = apptest::waitUntil(
            [&] {
                return QFileInfo::exists(folder + QStringLiteral("/proxylist.lst")) &&
                       !QDir(folder).entryList({QStringLiteral("*_small.png")}, QDir::Files).isEmpty();
            },
            60000);
        EXPECT_TRUE(stored) << traces();
        EXPECT_TRUE(closeCopy(copy)) << traces();
        EXPECT_EQ(copy->exitCode(), 0) << traces();
    }

    testsupport::ListServiceFixture service;
    QString userFolder;
    QString commonFolder;
};

} // namespace

TEST_F(OwnFolders, APerUserFolderCreatedUnderUmask022KeepsOtherUsersOut)
{
    // The usual mask of a desktop session: new files come out 0644, new folders 0755 unless the
    // program asks for less.
    ScopedUmask mask(022);

    // The first start of this user chooses the all-users folder where it is writable (as here); the
    // per-user folder is created all the same, for the choice itself and the caches, which stay per user.
    runUntilListStored(userFolder);
    EXPECT_TRUE(QFileInfo::exists(commonFolder + QStringLiteral("/Setting.dat")));
    EXPECT_FALSE(QFileInfo::exists(commonFolder + QStringLiteral("/proxylist.lst")));
    EXPECT_EQ(modeOf(userFolder), mode_t(0700));
    EXPECT_EQ(modeOf(userFolder + QStringLiteral("/UserFlag.ini")), mode_t(0644));
    // The all-users folder is shared on purpose: readable by every user, writable by its owner.
    EXPECT_EQ(modeOf(commonFolder), mode_t(0755));

    // The same user switches to per-user settings: everything now lands in the private folder.
    QFile flag(userFolder + QStringLiteral("/UserFlag.ini"));
    ASSERT_TRUE(flag.open(QIODevice::WriteOnly | QIODevice::Truncate));
    flag.write("[Flag]\r\nAllUsers=0\r\n");
    flag.close();
    // The caches of the first run are gone, so the wait below sees this run's own.
    for (const QString& cache : QDir(userFolder).entryList({QStringLiteral("proxylist.lst"), QStringLiteral("*.png")}))
        QFile::remove(userFolder + u'/' + cache);
    runUntilListStored(userFolder);

    EXPECT_EQ(modeOf(userFolder), mode_t(0700));
    const QFileInfoList files = QDir(userFolder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QStringList names;
    for (const QFileInfo& file : files) {
        names << file.fileName();
        EXPECT_TRUE(file.isFile() && !file.isSymLink()) << file.fileName().toStdString();
        EXPECT_EQ(file.ownerId(), ::geteuid()) << file.fileName().toStdString();
        // The files follow the mask (0644): readable by others only in principle, since nobody but
        // the owner may enter the folder; never writable by anybody else.
        EXPECT_EQ(modeOf(file.filePath()), mode_t(0644)) << file.fileName().toStdString();
    }
    EXPECT_TRUE(names.contains(QStringLiteral("Setting.dat"))) << names.join(u' ').toStdString();
    EXPECT_TRUE(names.contains(QStringLiteral("proxylist.lst"))) << names.join(u' ').toStdString();
    EXPECT_TRUE(names.contains(QStringLiteral("UserFlag.ini"))) << names.join(u' ').toStdString();
    // No temporary file of a save is left behind.
    for (const QString& file : names)
        EXPECT_FALSE(file.contains(QLatin1String(".tmp")) || file.startsWith(u'.')) << file.toStdString();
}

namespace {

// Makes a folder of the test reachable for the other user (the test's temporary folders are private).
void openTo(const QString& folder, mode_t mode)
{
    ::chmod(QFile::encodeName(folder).constData(), mode);
}

// Runs body as nobody and waits for it to end.
void asNobody(const std::function<void()>& body)
{
    ForeignUserChild child;
    ASSERT_TRUE(child.start([&](int, int) { body(); }));
    EXPECT_EQ(child.finish(), 0);
}

// In the child: plain system calls over names encoded before the fork.
void writeRaw(const QByteArray& file, const QByteArray& bytes)
{
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        ::_exit(92);
    writeAllRaw(fd, bytes.constData(), size_t(bytes.size()));
    ::close(fd);
}

void linkRaw(const QByteArray& target, const QByteArray& link)
{
    ::unlink(link.constData());
    if (::symlink(target.constData(), link.constData()) != 0)
        ::_exit(93);
}

} // namespace

// All-users mode shares Setting.dat with every user of the program. What another user writes there
// must not make this user's copy run a program, reach a path or write any other file.
TEST_F(OtherUser, TheSharedSettingsNameNoProgramOrPathAndTheirLinksAreNotFollowed)
{
    testsupport::TempDir root;
    root.write(QStringLiteral("prog/const.dat"), "[const]\r\nApp.ConfigPath=Veilport\r\n");
    testsupport::ScopedEnv user("XDG_CONFIG_HOME", root.file(QStringLiteral("config")).toUtf8());
    testsupport::ScopedEnv common("VEILPORT_COMMON_DATA_DIR", root.file(QStringLiteral("common")).toUtf8());
    const QString shared = root.file(QStringLiteral("common/Veilport"));
    ASSERT_TRUE(QDir().mkpath(shared));
    // The administrator opened the folder to every user, as all-users mode needs.
    openTo(root.path(), 0711);
    openTo(root.file(QStringLiteral("common")), 0711);
    openTo(shared, 0777);
    root.write(QStringLiteral("config/Veilport/Setting.dat"), "[setting]\r\nFireFoxPath=/usr/bin/firefox-esr\r\n");
    const QByteArray victim = QFile::encodeName(
        root.write(QStringLiteral("victim.txt"), "[setting]\r\nHiding=1\r\nFireFoxPath=/usr/bin/firefox-esr\r\n"));
    const QByteArray sharedFile = QFile::encodeName(shared + QStringLiteral("/Setting.dat"));

    asNobody([&] {
        writeRaw(sharedFile, "[setting]\r\nFireFoxPath=/tmp/other-users-program\r\nSkin=../../../../tmp/evil\r\n"
                             "Language=../../../../tmp/evil\r\nPROXYCOUNTRY=Canada\r\n");
    });
    DoneSettings();
    InitSettings(root.file(QStringLiteral("prog")));
    TSettings& settings = *Settings();
    settings.OpenSettingsFile(true);
    EXPECT_EQ(settings.ReadString(QStringLiteral("FireFoxPath"), QString()), QStringLiteral("/usr/bin/firefox-esr"));
    EXPECT_EQ(settings.ReadString(QStringLiteral("Skin"), QStringLiteral("Default")), QStringLiteral("Default"));
    EXPECT_EQ(settings.ReadString(QStringLiteral("Language"), QStringLiteral("English")), QStringLiteral("English"));
    // What is shared on purpose stays shared.
    EXPECT_EQ(settings.ReadString(QStringLiteral("PROXYCOUNTRY"), QString()), QStringLiteral("Canada"));
    settings.WriteString(QStringLiteral("FireFoxPath"), QStringLiteral("/opt/firefox/firefox"));
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/Setting.dat")).contains("FireFoxPath=/opt/firefox/firefox"));
    EXPECT_FALSE(root.read(QStringLiteral("common/Veilport/Setting.dat")).contains("/opt/firefox"));

    // The other user puts a link to one of this user's files in the shared file's place.
    asNobody([&] { linkRaw(victim, sharedFile); });
    DoneSettings();
    InitSettings(root.file(QStringLiteral("prog")));
    Settings()->OpenSettingsFile(true);
    EXPECT_FALSE(Settings()->ReadBool(QStringLiteral("Hiding"), false)) << "read through the link";
    Settings()->WriteString(QStringLiteral("PROXYCOUNTRY"), QStringLiteral("Japan"));
    EXPECT_EQ(root.read(QStringLiteral("victim.txt")), "[setting]\r\nHiding=1\r\nFireFoxPath=/usr/bin/firefox-esr\r\n");
    EXPECT_FALSE(QFileInfo(shared + QStringLiteral("/Setting.dat")).isSymLink());
    EXPECT_TRUE(root.read(QStringLiteral("common/Veilport/Setting.dat")).contains("PROXYCOUNTRY=Japan"));
    DoneSettings();
}

// The proxy list and the flags: another user who could write them would choose this user's proxy,
// and a dangling link among them would make this user's copy create files wherever it points.
TEST_F(OwnFolders, TheCachesStayPerUserAndAnotherUsersLinksInTheSharedFolderLeadNowhere)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as another user (uid 65534) needs root";
    ASSERT_TRUE(QDir().mkpath(commonFolder));
    openTo(root.path(), 0711);
    openTo(root.file(QStringLiteral("common")), 0711);
    openTo(commonFolder, 0777);
    const QString victimList = root.file(QStringLiteral("victim-list"));
    const QString victimFlag = root.file(QStringLiteral("victim-flag"));
    const QByteArray listTarget = QFile::encodeName(victimList);
    const QByteArray flagTarget = QFile::encodeName(victimFlag);
    const QByteArray listLink = QFile::encodeName(commonFolder + QStringLiteral("/proxylist.lst"));
    const QByteArray flagLink = QFile::encodeName(commonFolder + QStringLiteral("/United States_small.png"));
    asNobody([&] {
        linkRaw(listTarget, listLink);
        linkRaw(flagTarget, flagLink);
    });

    runUntilListStored(userFolder);
    EXPECT_TRUE(root.read(QStringLiteral("config/Veilport/UserFlag.ini")).contains("AllUsers=1"));
    EXPECT_FALSE(QFileInfo::exists(victimList));
    EXPECT_FALSE(QFileInfo::exists(victimFlag));
    EXPECT_TRUE(QFileInfo(commonFolder + QStringLiteral("/proxylist.lst")).isSymLink());
    EXPECT_TRUE(QFileInfo(commonFolder + QStringLiteral("/United States_small.png")).isSymLink());
    EXPECT_FALSE(QImage(userFolder + QStringLiteral("/United States_small.png")).isNull());
}
