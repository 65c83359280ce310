#pragma once

#include "platform/SystemProxySettings.h"

#include <QString>

#include <atomic>

struct _GSettingsSchemaSource;

namespace platform {

// GNOME's org.gnome.system.proxy, written through GSettings inside this process. Each write reads
// the environment of the moment: with GSETTINGS_BACKEND=keyfile it goes to the keyfile under the
// current $XDG_CONFIG_HOME (as the gsettings tool would), otherwise to the desktop's own backend
// (dconf), synced before apply() returns so that nothing is lost when the program exits right after.
// Safe to use from one thread at a time; QueuedProxySettings keeps it off the user-interface thread.
class GnomeProxySettings : public SystemProxySettings
{
public:
    // schemaDirectory empty: the schemas installed on the system (as the gsettings tool finds them);
    // otherwise only the compiled schemas in that folder.
    explicit GnomeProxySettings(const QString& schemaDirectory = QString());
    ~GnomeProxySettings() override;
    GnomeProxySettings(const GnomeProxySettings&) = delete;
    GnomeProxySettings& operator=(const GnomeProxySettings&) = delete;

    QString name() const override;
    // True when the org.gnome.system.proxy schema is installed.
    bool isAvailable() const override;
    using SystemProxySettings::apply;
    bool apply(const QString& proxy, bool https) override;

    // Reads one key back, printed as the gsettings tool prints it ('manual', 3128); empty when the
    // schema or key does not exist.
    QString readKey(const QString& schema, const QString& key) const;

private:
    _GSettingsSchemaSource* m_source = nullptr;
    mutable std::atomic_int m_available{-1};
    // The SOCKS host and port last written ("'host' port" as read back), empty when none is ours.
    QString m_socksWritten;
};

// Quotes a text as a GVariant string literal, so that no character of it changes its meaning.
QString gvariantStringLiteral(const QString& text);

} // namespace platform
