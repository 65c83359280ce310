#pragma once

#include "support/PrivateHome.h"
#include "support/RecordingEngineServices.h"
#include "support/TempDir.h"

#include <QString>

namespace testsupport {

// A private desktop home for browser tests: its own configuration folder (GSettings keyfile
// backend, kioslaverc, Opera profile, Setting.dat), no session bus, no desktop session, and the
// settings store opened on a program folder holding the given constants.
class BrowserTestHome
{
public:
    explicit BrowserTestHome(const QByteArray& constDat = QByteArrayLiteral("[const]\nApp.ConfigPath=Veilport\n"));
    ~BrowserTestHome();
    BrowserTestHome(const BrowserTestHome&) = delete;
    BrowserTestHome& operator=(const BrowserTestHome&) = delete;

    // $XDG_CONFIG_HOME of the home.
    QString configFolder() const;
    // A path below the home's root.
    QString path(const QString& relative) const { return m_dir.file(relative); }
    TempDir& dir() { return m_dir; }

private:
    TempDir m_dir;
    PrivateHome m_home;
};

} // namespace testsupport
