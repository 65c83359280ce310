#pragma once

#include "platform/SystemInfo.h"

namespace testsupport {

// Machine facts fixed by the test. channelValue empty with hasChannel false stands for a machine
// where no distributor recorded a channel, so the caller's default comes back.
class FixedSystemInfo : public platform::SystemInfo
{
public:
    int major = 5;
    int minor = 1;
    QString servicePack = QStringLiteral("Service Pack 2");
    quint32 languageId = 1033;
    bool hasChannel = false;
    QString channelValue;
    // The regPath the caller asked the channel under.
    mutable QString askedRegPath;

    int osMajorVersion() const override { return major; }
    int osMinorVersion() const override { return minor; }
    QString servicePackText() const override { return servicePack; }
    quint32 systemLanguageId() const override { return languageId; }
    QString channel(const QString& regPath, const QString& def) const override
    {
        askedRegPath = regPath;
        return hasChannel ? channelValue : def;
    }
};

} // namespace testsupport
