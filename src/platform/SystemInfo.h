#pragma once

#include <QString>

namespace platform {

// What the service is told about the machine the program runs on. The service still thinks in
// terms of a Windows version, a Windows language number and a distribution channel, so the
// Linux values are mapped onto those fields.
class SystemInfo
{
public:
    virtual ~SystemInfo() = default;

    // Major number of the operating system's version (the kernel's on Linux).
    virtual int osMajorVersion() const = 0;
    // Minor number of the operating system's version.
    virtual int osMinorVersion() const = 0;
    // Free text naming the release, at most 128 characters; may be empty.
    virtual QString servicePackText() const = 0;
    // The Windows language number matching the user's language (1033 for US English).
    virtual quint32 systemLanguageId() const = 0;
    // The distribution channel a distributor recorded for this program, or def when none.
    virtual QString channel(const QString& regPath, const QString& def) const = 0;
};

// The Linux values: uname for the version, /etc/os-release for the release text, the locale of
// the environment for the language, and a read-only machine file <etc>/<regPath>/CHL for the
// channel.
class LinuxSystemInfo : public SystemInfo
{
public:
    // etcFolder and osReleaseFile can be pointed elsewhere so the reading can be checked.
    explicit LinuxSystemInfo(const QString& etcFolder = QStringLiteral("/etc"),
                             const QString& osReleaseFile = QStringLiteral("/etc/os-release"));

    int osMajorVersion() const override;
    int osMinorVersion() const override;
    QString servicePackText() const override;
    quint32 systemLanguageId() const override;
    QString channel(const QString& regPath, const QString& def) const override;

private:
    QString m_etcFolder;
    QString m_osReleaseFile;
};

// The Windows language number of a locale name such as "de_DE", "pt_BR.UTF-8" or "fr";
// unknown languages and the C/POSIX locale give 1033.
quint32 WindowsLanguageId(const QString& localeName);
// Major and minor numbers from a kernel release text like "6.1.0-18-amd64"; missing parts are 0.
void ParseKernelRelease(const QString& release, int& major, int& minor);
// PRETTY_NAME of an os-release document, unquoted, cut to 128 characters.
QString PrettyNameFromOsRelease(const QByteArray& text);

} // namespace platform
