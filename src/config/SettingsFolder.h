#pragma once

class TSettings;

// Which of the two settings folders this user's copy uses: the one all users share, or the user's
// own. The choice is remembered in UserFlag.ini, so that a user who cannot write the shared folder
// is told so once and not again at every start.
class SettingsFolder
{
public:
    explicit SettingsFolder(TSettings& settings);

    // Settles the choice in UserFlag.ini and opens Setting.dat in the chosen folder. Returns true when
    // the user must be told that the all-users folder cannot be used. Throws ESettingsError when the
    // choice cannot be stored or the folder cannot be set up.
    bool Open();
    // Opens Setting.dat in the all-users or the per-user folder (throws ESettingsError).
    void SetAllUsersMode(bool allUsers);
    // The settings folder in use is the all-users folder.
    bool AllUsersMode() const { return m_allUsers; }

private:
    bool Choose();

    TSettings& m_settings;
    bool m_allUsers = false;
};
