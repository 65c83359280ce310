#pragma once

#include "platform/SystemProxySettings.h"

#include <QStringList>

namespace platform {

// GNOME's org.gnome.system.proxy, written with the gsettings tool. A child process per write
// reads the environment of the moment (GSETTINGS_BACKEND, XDG_CONFIG_HOME) and syncs the
// backend before it ends, so nothing is lost when this program exits right after.
class GnomeProxySettings : public SystemProxySettings
{
public:
    // gsettingsProgram empty: the gsettings found on PATH.
    explicit GnomeProxySettings(const QString& gsettingsProgram = QString());

    QString name() const override;
    // True when the gsettings tool exists and knows the proxy schema.
    bool isAvailable() const override;
    using SystemProxySettings::apply;
    bool apply(const QString& proxy, bool https) override;

    // Reads one key back (as gsettings prints it), mainly for checks; empty on failure.
    QString readKey(const QString& schema, const QString& key) const;

private:
    bool run(const QStringList& args, QByteArray* output = nullptr) const;

    QString m_program;
    mutable int m_available = -1;
};

// Quotes a text as a GVariant string literal, so that no character of it changes its meaning.
QString gvariantStringLiteral(const QString& text);

} // namespace platform
