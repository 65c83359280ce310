#include "support/FakeFirefox.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace testsupport {

FakeFirefox::FakeFirefox(Mode mode) : m_log(m_dir.file(QStringLiteral("firefox.log")))
{
    m_logEnv = std::make_unique<ScopedEnv>("FAKE_FIREFOX_LOG", QFile::encodeName(m_log));
    m_modeEnv = std::make_unique<ScopedEnv>("FAKE_FIREFOX_MODE", mode == Mode::NeverEnd ? "hang" : "end");
}

FakeFirefox::~FakeFirefox() = default;

QString FakeFirefox::executable()
{
    return QStringLiteral(VEILPORT_FAKE_FIREFOX);
}

QString FakeFirefox::installAs(const QString& folder, const QString& name)
{
    QDir().mkpath(folder);
    const QString target = QDir(folder).filePath(name);
    QFile::remove(target);
    QFile::copy(executable(), target);
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                      QFileDevice::ReadGroup | QFileDevice::ExeGroup);
    return target;
}

QList<FirefoxInvocation> FakeFirefox::invocations() const
{
    QList<FirefoxInvocation> list;
    QFile file(m_log);
    if (!file.open(QIODevice::ReadOnly))
        return list;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(' ');
        FirefoxInvocation call;
        call.pid = fields.value(0).toLongLong();
        for (qsizetype i = 1; i < fields.size(); ++i)
            call.args.append(QString::fromUtf8(QByteArray::fromHex(fields[i].mid(1))));
        list.append(call);
    }
    return list;
}

QList<FirefoxInvocation> FakeFirefox::waitForInvocations(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QList<FirefoxInvocation> list = invocations();
    while (list.size() < count && !deadline.hasExpired()) {
        QThread::msleep(10);
        list = invocations();
    }
    return list;
}

bool processIsRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && text.size() > close + 2 && text.at(close + 2) != 'Z';
}

} // namespace testsupport
