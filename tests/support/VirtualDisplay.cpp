#include "support/VirtualDisplay.h"

#include "support/EndsWithParent.h"

#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QThread>

namespace testsupport {

namespace {
constexpr int kStartTimeoutMs = 15000;
constexpr int kToolTimeoutMs = 10000;
} // namespace

VirtualDisplay::VirtualDisplay() = default;

VirtualDisplay::~VirtualDisplay()
{
    if (m_server && m_server->state() != QProcess::NotRunning) {
        m_server->kill();
        m_server->waitForFinished(5000);
    }
}

bool VirtualDisplay::toolsInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty();
}

bool VirtualDisplay::start()
{
    if (!toolsInstalled()) {
        m_error = QStringLiteral("Xvfb or xdotool is not installed (run scripts/setup)");
        return false;
    }
    m_server = std::make_unique<QProcess>();
    EndsWithParent(*m_server);
    // Xvfb picks a free display itself and writes its number to the given descriptor once it accepts clients.
    m_server->start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                     QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QByteArray out;
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!deadline.hasExpired() && m_server->state() != QProcess::NotRunning) {
        m_server->waitForReadyRead(100);
        out += m_server->readAllStandardOutput();
        if (out.contains('\n')) {
            bool number = false;
            const int display = out.trimmed().toInt(&number);
            if (number) {
                m_name = QStringLiteral(":%1").arg(display);
                return true;
            }
            break;
        }
    }
    m_error = QStringLiteral("Xvfb did not come up: ") + QString::fromLocal8Bit(out + m_server->readAllStandardError());
    m_server->kill();
    m_server->waitForFinished(5000);
    return false;
}

bool VirtualDisplay::xdotool(const QStringList& args, QByteArray* output)
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_name);
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral("xdotool"), args);
    if (!tool.waitForFinished(kToolTimeoutMs)) {
        tool.kill();
        tool.waitForFinished(2000);
        m_error = QStringLiteral("xdotool %1 did not end").arg(args.join(u' '));
        return false;
    }
    if (output)
        *output = tool.readAllStandardOutput();
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        m_error = QStringLiteral("xdotool %1 failed: %2")
                      .arg(args.join(u' '), QString::fromLocal8Bit(tool.readAllStandardError()));
        return false;
    }
    return true;
}

bool VirtualDisplay::pressKeys(qint64 pid, const QString& keys, int timeoutMs)
{
    if (m_name.isEmpty()) {
        m_error = QStringLiteral("the display is not started");
        return false;
    }
    QByteArray windows;
    const QDeadlineTimer deadline(timeoutMs);
    // The window may not be mapped yet; xdotool search fails until it is.
    while (!xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                     QString::number(pid)},
                    &windows) ||
           windows.trimmed().isEmpty()) {
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("no visible window of process %1: %2").arg(pid).arg(m_error);
            return false;
        }
        QThread::msleep(200);
    }
    const QString window = QString::fromLatin1(windows.trimmed().split('\n').first());
    return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}) &&
           xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), keys});
}

QStringList VirtualDisplay::visibleWindows(qint64 pid)
{
    QByteArray windows;
    // xdotool search fails when it finds nothing.
    if (m_name.isEmpty() || !xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                      QStringLiteral("--pid"), QString::number(pid)},
                                     &windows))
        return {};
    return QString::fromLatin1(windows).split(u'\n', Qt::SkipEmptyParts);
}

bool VirtualDisplay::unmapWindows(qint64 pid)
{
    const QStringList windows = visibleWindows(pid);
    if (windows.isEmpty()) {
        m_error = QStringLiteral("no visible window of process %1").arg(pid);
        return false;
    }
    for (const QString& window : windows)
        if (!xdotool({QStringLiteral("windowunmap"), window}))
            return false;
    return true;
}

} // namespace testsupport
