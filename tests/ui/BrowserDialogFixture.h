#pragma once

#include "browsers/TBrowserRoutines.h"
#include "config/TSettings.h"
#include "platform/ProcessRunner.h"
#include "support/BrowserTestHome.h"
#include "support/RecordingEngineServices.h"
#include "support/TempDir.h"

#include <QFile>

#include <gtest/gtest.h>

// A private home whose PATH holds only its own bin folder, so that no Firefox of the machine is found; the settings
// store opened on the given constants; and the browser routines the options dialog and the Firefox locator act
// through. The dialogs' messages are recorded.
class BrowserDialogFixture : public ::testing::Test
{
protected:
    explicit BrowserDialogFixture(const QByteArray& constDat = QByteArrayLiteral("[const]\nApp.ConfigPath=Veilport\n"))
        : home(constDat), path("PATH", QFile::encodeName(home.path(QStringLiteral("bin")))), routines([this] {
              TBrowserRoutines::Platform p;
              p.settings = Settings();
              p.processes = &processes;
              return p;
          }())
    {
    }

    // A stored setting, or "-" when there is none.
    static QString stored(const char* key) { return Settings()->ReadString(QLatin1String(key), QStringLiteral("-")); }

    testsupport::BrowserTestHome home;
    testsupport::ScopedEnv path;
    testsupport::RecordingEngineServices messages;
    platform::LocalProcessRunner processes;
    TBrowserRoutines routines;
};
