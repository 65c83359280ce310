#pragma once

#include "platform/SystemProxySettings.h"

namespace platform {

// KDE's proxy settings: the [Proxy Settings] group of kioslaverc in the user's configuration
// folder, followed by the D-Bus signal that makes running KDE programs re-read it.
class KdeProxySettings : public SystemProxySettings
{
public:
    // configFolder empty: the user's configuration folder of the moment ($XDG_CONFIG_HOME).
    explicit KdeProxySettings(const QString& configFolder = QString());

    QString name() const override;
    // True in a KDE session, or wherever a kioslaverc already exists.
    bool isAvailable() const override;
    using SystemProxySettings::apply;
    bool apply(const QString& proxy, bool https) override;

    // The full name of the kioslaverc that apply() writes.
    QString fileName() const;

private:
    QString m_configFolder;
    // The socksProxy entry last written, empty when none is ours.
    QString m_socksWritten;
};

} // namespace platform
