#pragma once

#include "platform/Autostart.h"

namespace platform {

// Log-on start through the desktop's autostart folder: one desktop entry
// "<entry name>.desktop" in $XDG_CONFIG_HOME/autostart (default ~/.config/autostart), which every
// XDG-compliant session runs at log-on. Disabling deletes that file.
class XdgAutostart : public Autostart
{
public:
    // folder empty: the user's autostart folder, looked up on every call.
    explicit XdgAutostart(const QString& folder = QString());

    bool setEnabled(const QString& entryName, const QString& executable, const QStringList& arguments, bool enable,
                    QString* error) override;
    bool isEnabled(const QString& entryName) const override;

    // The file that holds the entry of entryName.
    QString entryFile(const QString& entryName) const;
    // entryName made safe as a file name: no path separators, control characters or leading dot.
    static QString safeFileName(const QString& entryName);
    // The desktop entry's text for executable (and arguments) under entryName. TryExec names the
    // executable too, so a session ignores the entry once the program is uninstalled.
    static QByteArray entryText(const QString& entryName, const QString& executable, const QStringList& arguments = {});

private:
    QString folder() const;

    QString m_folder;
};

} // namespace platform
