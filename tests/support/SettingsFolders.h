#pragma once

#include "config/TSettings.h"
#include "support/PrivateHome.h"
#include "support/TempDir.h"

namespace testsupport {

// A program folder holding the given const.dat in a private home (per-user folder config/, all-users folder
// common/, neither created), for one settings store per test; the store is released at the end.
class SettingsFolders
{
public:
    explicit SettingsFolders(const QByteArray& constDat) : m_home(m_dir.path())
    {
        m_home.enter();
        m_dir.write("prog/const.dat", constDat);
    }
    ~SettingsFolders() { DoneSettings(); }
    SettingsFolders(const SettingsFolders&) = delete;
    SettingsFolders& operator=(const SettingsFolders&) = delete;

    QString programFolder() const { return m_dir.file("prog"); }
    // Creates the process's store over the program folder.
    TSettings& init()
    {
        InitSettings(programFolder());
        return *Settings();
    }
    // Releases the store and creates it again, as a second start of the program would.
    TSettings& restart()
    {
        DoneSettings();
        return init();
    }

    TempDir m_dir;
    PrivateHome m_home;
};

} // namespace testsupport
