#include "app/CompanionHost.h"

#include "app/InstanceMessages.h"
#include "util/TIniFile.h"
#include "platform/CompanionIdentity.h"
#include "platform/NativeMessageFrame.h"
#include "platform/UnixInstanceChannel.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Time the running program has to accept the session.
constexpr int kSessionTimeoutMs = 5000;

void trace(const char* text)
{
    // stderr ends up in the browser's own log; stdout belongs to the messages.
    std::fprintf(stderr, "veilport-companion-host: %s\n", text);
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry{fd, POLLOUT, 0};
            ::poll(&entry, 1, 1000);
            continue;
        }
        return false;
    }
    return true;
}

// Reads what is there into buffer and forwards each whole message; false when the side ended or
// sent something that is not a companion message.
bool pump(int from, QByteArray& buffer, int to, const char* side)
{
    char chunk[16384];
    const ssize_t n = ::read(from, chunk, sizeof(chunk));
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    buffer.append(chunk, qsizetype(n));
    for (;;) {
        QJsonObject message;
        switch (platform::NativeMessageFrame::take(buffer, message)) {
        case platform::NativeMessageFrame::Result::Incomplete:
            return true;
        case platform::NativeMessageFrame::Result::Oversized:
            std::fprintf(stderr, "veilport-companion-host: oversized message from the %s, ending\n", side);
            return false;
        case platform::NativeMessageFrame::Result::Malformed:
            std::fprintf(stderr, "veilport-companion-host: malformed message from the %s, ending\n", side);
            return false;
        case platform::NativeMessageFrame::Result::Complete:
            if (!writeAll(to, platform::NativeMessageFrame::encode(message)))
                return false;
            break;
        }
    }
}

} // namespace

QString CompanionHost::callerBrowser(const QStringList& args)
{
    namespace c = platform::companion;
    // Firefox passes the manifest's path and the extension's id; checked here as well as by the
    // browser, so a host started by hand or by another extension never reaches the program.
    if (args.size() >= 2 && args.at(1) == c::FirefoxExtensionId)
        return QStringLiteral("firefox");
    if (!args.isEmpty() && args.at(0) == QStringLiteral("chrome-extension://%1/").arg(c::ChromiumExtensionId))
        return QStringLiteral("chromium");
    return {};
}

QString CompanionHost::instanceName(const QString& programFolder)
{
    const QString section = QStringLiteral("const");
    const QString key = QStringLiteral("App.GUID");
    TIniFile constants;
    TIniFile oem;
    constants.LoadFromFile(programFolder + QStringLiteral("/const.dat"));
    oem.LoadFromFile(programFolder + QStringLiteral("/oem.dat"));
    const QString guid =
        oem.ValueExists(section, key) ? oem.ReadString(section, key, {}) : constants.ReadString(section, key, {});
    return QStringLiteral("Global\\") + guid;
}

int CompanionHost::relay(int browserIn, int browserOut, int session)
{
    QByteArray fromBrowser;
    QByteArray fromProgram;
    for (;;) {
        pollfd entries[2] = {{browserIn, POLLIN, 0}, {session, POLLIN, 0}};
        const int rc = ::poll(entries, 2, -1);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if ((entries[0].revents & (POLLIN | POLLHUP | POLLERR)) && !pump(browserIn, fromBrowser, session, "browser"))
            return 0;
        if ((entries[1].revents & (POLLIN | POLLHUP | POLLERR)) && !pump(session, fromProgram, browserOut, "program"))
            return 0;
    }
}

int CompanionHost::run(const QStringList& args, const QString& programFolder)
{
    const QString browser = callerBrowser(args);
    if (browser.isEmpty()) {
        trace("not started by the Veilport companion, ending");
        return 1;
    }
    QJsonObject hello{{QStringLiteral("browser"), browser}, {QStringLiteral("pid"), qint64(::getpid())}};
    const int session = platform::UnixInstanceChannel::openSession(instanceName(programFolder), WM_COMPANION_SESSION,
                                                                   QJsonDocument(hello).toJson(QJsonDocument::Compact),
                                                                   kSessionTimeoutMs);
    if (session < 0) {
        // Told to the extension too, which then waits and asks again later.
        writeAll(STDOUT_FILENO, platform::NativeMessageFrame::encode(
                                    {{QStringLiteral("type"), QStringLiteral("error")},
                                     {QStringLiteral("error"), QStringLiteral("Veilport is not running")}}));
        trace("Veilport is not running");
        return 0;
    }
    // Blocking writes towards the program: it reads at once, and a message is a few hundred bytes.
    ::fcntl(session, F_SETFL, ::fcntl(session, F_GETFL) & ~O_NONBLOCK);
    const int code = relay(STDIN_FILENO, STDOUT_FILENO, session);
    ::close(session);
    return code;
}
