#include "config/SettingsFolder.h"

#include "config/TSettings.h"

SettingsFolder::SettingsFolder(TSettings& settings) : m_settings(settings) {}

bool SettingsFolder::Open()
{
    const bool tellCurrentUser = Choose();
    SetAllUsersMode(m_settings.ReadAllUsersFlag());
    return tellCurrentUser;
}

bool SettingsFolder::Choose()
{
    if (!m_settings.HasAllUsersFlag()) {
        // First start of this user: all users share the settings when the machine allows it.
        if (m_settings.CanWriteCommonFolder()) {
            m_settings.WriteAllUsersFlag(true);
            return false;
        }
        m_settings.WriteAllUsersFlag(false);
        return true;
    }
    if (m_settings.ReadAllUsersFlag() && !m_settings.CanWriteCommonFolder()) {
        // The stored choice no longer works (the folder lost its write access): fall back for good.
        m_settings.WriteAllUsersFlag(false);
        return true;
    }
    return false;
}

void SettingsFolder::SetAllUsersMode(bool allUsers)
{
    m_allUsers = allUsers;
    m_settings.OpenSettingsFile(allUsers);
}
