#pragma once

#include "support/SettingsFolders.h"

#include <gtest/gtest.h>

// The process's settings store over a private program folder (its own const.dat, optionally an
// oem.dat) and private per-user and all-users folders, with Setting.dat opened.
class ServiceSettingsFixture : public ::testing::Test, protected testsupport::SettingsFolders
{
protected:
    ServiceSettingsFixture()
        : SettingsFolders("[const]\r\n"
                          "App.ConfigPath=Veilport Net Test\r\n"
                          "App.Ver=2.5.0.3\r\n"
                          "App.SubVer=7\r\n"
                          "App.RegPath=veilport\r\n"
                          "App.MagicWord=Open-Sesame\r\n"
                          "Update.NoAutoCheck=0\r\n"
                          "URL.ServiceHost=service.example:8080\r\n"
                          "URL.SiteHost=www.example\r\n"
                          "URL.Redirect=http://www.example/redirect.php\r\n"
                          "URL.help=%ExePath%help/index.html\r\n"
                          "URL.home=http://www.example/home.php?ref=app\r\n")
    {
    }

    // Creates the store, after an optional oem.dat, and opens the per-user Setting.dat.
    TSettings& init(const QByteArray& oemDat = QByteArray())
    {
        if (!oemDat.isEmpty())
            m_dir.write("prog/oem.dat", "[const]\r\n" + oemDat);
        SettingsFolders::init().OpenSettingsFile(false);
        return *Settings();
    }
    // A second start of the program over the same folders.
    TSettings& restart()
    {
        DoneSettings();
        return init();
    }
};
