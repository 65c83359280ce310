#include "browsers/CompanionSession.h"

#include "platform/NativeMessageFrame.h"
#include "browsers/TBrowserRoutines.h"

#include <QJsonDocument>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

using platform::NativeMessageFrame;

CompanionSession::CompanionSession(int fd, const QByteArray& greeting, QObject* parent) : QObject(parent), m_fd(fd)
{
    const QJsonObject hello = QJsonDocument::fromJson(greeting).object();
    m_browser = hello.value(QStringLiteral("browser")).toString().left(32);
    m_firefox = m_browser == QStringLiteral("firefox");
    if (m_browser.isEmpty())
        m_browser = QStringLiteral("browser");
    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &CompanionSession::readAvailable);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, &CompanionSession::writePending);
}

CompanionSession::~CompanionSession()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CompanionSession::send(const QJsonObject& message)
{
    if (m_fd < 0)
        return false;
    m_out.append(NativeMessageFrame::encode(message));
    if (m_out.size() > MaxPendingOutput) {
        qCWarning(lcBrowsers) << "the" << m_browser << "companion does not read its messages; session ended";
        close();
        return false;
    }
    writePending();
    return m_fd >= 0;
}

void CompanionSession::writePending()
{
    while (m_fd >= 0 && !m_out.isEmpty()) {
        const ssize_t n = ::send(m_fd, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_out.remove(0, qsizetype(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        close();
        return;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void CompanionSession::readAvailable()
{
    // Reads and parses only. What a message leads to (a clearing's completion and the message box it opens,
    // the end of this session and its deletion) runs from the event loop in deliver(), never inside this read.
    char chunk[16384];
    const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        m_ending = true;
    } else {
        m_in.append(chunk, qsizetype(n));
        for (;;) {
            QJsonObject message;
            const NativeMessageFrame::Result result = NativeMessageFrame::take(m_in, message);
            if (result == NativeMessageFrame::Result::Incomplete)
                break;
            if (result != NativeMessageFrame::Result::Complete) {
                qCWarning(lcBrowsers) << "the" << m_browser
                                      << "companion sent a message that is not one; session ended";
                m_ending = true;
                break;
            }
            if (message.value(QStringLiteral("type")).toString() == QStringLiteral("hello")) {
                m_browser = message.value(QStringLiteral("browser")).toString(m_browser).left(32);
                m_version = message.value(QStringLiteral("version")).toString().left(32);
                qCInfo(lcBrowsers) << "companion connected:" << m_browser << m_version;
                continue;
            }
            m_inbox.append(message);
        }
    }
    // Nothing more is read once the end is known; what came before it is still handed on.
    if (m_ending && m_readNotifier)
        m_readNotifier->setEnabled(false);
    scheduleDelivery();
}

void CompanionSession::scheduleDelivery()
{
    if (m_deliveryQueued || (m_inbox.isEmpty() && !m_ending))
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(this, &CompanionSession::deliver, Qt::QueuedConnection);
}

void CompanionSession::deliver()
{
    m_deliveryQueued = false;
    const QPointer<CompanionSession> alive(this);
    while (m_fd >= 0 && !m_inbox.isEmpty()) {
        const QJsonObject message = m_inbox.takeFirst();
        emit received(message);
        // A receiver's own event loop may have seen this session end and deleted it.
        if (!alive)
            return;
    }
    if (m_ending)
        close();
}

void CompanionSession::close()
{
    if (m_fd < 0)
        return;
    if (!m_out.isEmpty())
        ::send(m_fd, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    m_readNotifier.reset();
    m_writeNotifier.reset();
    ::close(m_fd);
    m_fd = -1;
    m_inbox.clear();
    emit closed();
}
