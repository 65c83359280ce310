#include "support/CompanionPeer.h"

#include "platform/NativeMessageFrame.h"
#include "browsers/CompanionHub.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

CompanionPeer::CompanionPeer(CompanionHub& hub, const QByteArray& greeting)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return;
    m_fd = fds[1];
    hub.adopt(fds[0], greeting);
}

CompanionPeer::~CompanionPeer()
{
    close();
}

bool CompanionPeer::send(const QJsonObject& message)
{
    return sendRaw(platform::NativeMessageFrame::encode(message));
}

bool CompanionPeer::sendRaw(const QByteArray& bytes)
{
    if (m_fd < 0)
        return false;
    return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

std::optional<QJsonObject> CompanionPeer::next(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_fd >= 0) {
        QJsonObject message;
        if (platform::NativeMessageFrame::take(m_in, message) == platform::NativeMessageFrame::Result::Complete)
            return message;
        char chunk[4096];
        const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n > 0) {
            m_in.append(chunk, qsizetype(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return std::nullopt;
        if (deadline.hasExpired())
            return std::nullopt;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return std::nullopt;
}

bool CompanionPeer::closedByProgram(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_fd >= 0) {
        char chunk[4096];
        const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return true;
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void CompanionPeer::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace testsupport
