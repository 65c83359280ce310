#include "platform/GnomeProxySettings.h"

#include "platform/ProxyAddress.h"

#include <QDebug>
#include <QProcess>
#include <QStandardPaths>

namespace platform {

namespace {
const QString kSchema = QStringLiteral("org.gnome.system.proxy");
const QString kHttpSchema = QStringLiteral("org.gnome.system.proxy.http");
const QString kHttpsSchema = QStringLiteral("org.gnome.system.proxy.https");
// gsettings normally ends in milliseconds; a hung session bus must not hang the caller.
constexpr int kTimeoutMs = 5000;
} // namespace

QString gvariantStringLiteral(const QString& text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('\'');
    for (const QChar c : text) {
        if (c == QLatin1Char('\'') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        out += c;
    }
    out += QLatin1Char('\'');
    return out;
}

GnomeProxySettings::GnomeProxySettings(const QString& gsettingsProgram)
    : m_program(gsettingsProgram.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("gsettings"))
                                           : gsettingsProgram)
{
}

QString GnomeProxySettings::name() const
{
    return QStringLiteral("gnome");
}

bool GnomeProxySettings::isAvailable() const
{
    if (m_available < 0) {
        QByteArray out;
        m_available = !m_program.isEmpty() && run({QStringLiteral("list-keys"), kSchema}, &out) && out.contains("mode");
    }
    return m_available == 1;
}

bool GnomeProxySettings::apply(const QString& proxy, bool https)
{
    if (!isAvailable())
        return false;
    if (proxy.isEmpty())
        return run({QStringLiteral("set"), kSchema, QStringLiteral("mode"), QStringLiteral("'none'")});

    const ProxyAddress address = ProxyAddress::parse(proxy);
    if (!address.isValid()) {
        // A half-valid manual proxy would cut the desktop off; a direct connection does not.
        qWarning() << "browsers: unusable proxy text for GNOME, switching to direct:" << proxy;
        run({QStringLiteral("set"), kSchema, QStringLiteral("mode"), QStringLiteral("'none'")});
        return false;
    }
    // Host and port first: a listener woken by the mode change must already see them. Browsers send
    // secure pages direct unless the https keys name a proxy too, so they are written either way: the
    // proxy, or an empty host that keeps secure pages direct.
    const QString host = gvariantStringLiteral(address.host);
    const QString port = QString::number(address.port);
    bool ok = run({QStringLiteral("set"), kHttpSchema, QStringLiteral("host"), host}) &&
              run({QStringLiteral("set"), kHttpSchema, QStringLiteral("port"), port});
    if (https) {
        ok = ok && run({QStringLiteral("set"), kHttpsSchema, QStringLiteral("host"), host}) &&
             run({QStringLiteral("set"), kHttpsSchema, QStringLiteral("port"), port});
    } else {
        ok = ok && run({QStringLiteral("set"), kHttpsSchema, QStringLiteral("host"), QStringLiteral("''")});
    }
    if (!ok)
        return false;
    return run({QStringLiteral("set"), kSchema, QStringLiteral("mode"), QStringLiteral("'manual'")});
}

QString GnomeProxySettings::readKey(const QString& schema, const QString& key) const
{
    QByteArray out;
    if (m_program.isEmpty() || !run({QStringLiteral("get"), schema, key}, &out))
        return QString();
    return QString::fromUtf8(out).trimmed();
}

bool GnomeProxySettings::run(const QStringList& args, QByteArray* output) const
{
    QProcess process;
    process.setProgram(m_program);
    process.setArguments(args);
    if (!output)
        process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(kTimeoutMs))
        return false;
    if (!process.waitForFinished(kTimeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace platform
