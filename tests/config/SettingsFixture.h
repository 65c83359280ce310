#pragma once

#include "support/SettingsFolders.h"

#include <QFileInfo>

#include <gtest/gtest.h>

// A program folder with its own const.dat, and private per-user and all-users folders, for one
// settings store per test.
class SettingsFixture : public ::testing::Test, protected testsupport::SettingsFolders
{
protected:
    SettingsFixture()
        : SettingsFolders("; constants of the test build\r\n"
                          "[const]\r\n"
                          "App.ConfigPath=Veil Test\r\n"
                          "App.Ver=2.5.0.3 beta\r\n"
                          "App.SubVer=7\r\n"
                          "MainForm.Width=wide\r\n"
                          "Update.Enable=1\r\n"
                          "URL.home=http://const.example/\r\n")
    {
    }

    QString userFolder() const { return m_dir.file("config/Veil Test/"); }
    QString commonFolder() const { return m_dir.file("common/Veil Test/"); }
    static QString canonical(const QString& folder) { return QFileInfo(folder).canonicalFilePath() + "/"; }
};
