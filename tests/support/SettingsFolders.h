#pragma once

#include "config/TSettings.h"
#include "support/TempDir.h"

namespace testsupport {

// A program folder holding the given const.dat, and private per-user and all-users folders, for one settings
// store per test; the store is released at the end.
class SettingsFolders
{
public:
    explicit SettingsFolders(const QByteArray& constDat)
        : m_userEnv("XDG_CONFIG_HOME", m_dir.file("home/.config").toUtf8()),
          m_commonEnv("VEILPORT_COMMON_DATA_DIR", m_dir.file("common").toUtf8())
    {
        m_dir.write("prog/const.dat", constDat);
    }
    ~SettingsFolders() { DoneSettings(); }
    SettingsFolders(const SettingsFolders&) = delete;
    SettingsFolders& operator=(const SettingsFolders&) = delete;

    QString programFolder() const { return m_dir.file("prog"); }

    TempDir m_dir;
    ScopedEnv m_userEnv;
    ScopedEnv m_commonEnv;
};

} // namespace testsupport
