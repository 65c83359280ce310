#pragma once

#include "util/TIniFile.h"

#include <QString>

#include <memory>

// The single store of everything the program is configured with or remembers:
//  - application constants from "const.dat" beside the executable, overridden key by key by a
//    distributor's "oem.dat" (section "const"); read-only, loaded at creation;
//  - user settings in "Setting.dat" (section "setting", plus the don't-show-again sections
//    "ShowAgain" and "ShowAgainModuleResult"), per user or for all users; opened later by
//    OpenSettingsFile and saved whole after every change;
//  - the all-users choice in "UserFlag.ini" in the per-user folder (section "Flag", "AllUsers").
// Every other user who uses the program may write the all-users Setting.dat, so nothing in it may
// make this user's copy run a program, reach a path or describe this user's desktop: the settings
// that would (IsPerUserKey) stay in the per-user Setting.dat in both modes, and "Skin" and
// "Language" are read only as plain file names.
// Used from the user-interface thread only. Writes that cannot be saved throw ESettingsError.
class TSettings
{
public:
    // Reads the constants from programFolder (empty: the executable's folder). Creates no folder.
    explicit TSettings(const QString& programFolder = QString());
    ~TSettings();
    TSettings(const TSettings&) = delete;
    TSettings& operator=(const TSettings&) = delete;

    // A constant: oem.dat's value whenever oem.dat has the key (even empty), else const.dat's.
    QString GetConst(const QString& key) const;
    // A constant as an integer; def when absent or not a number.
    int GetConstInt(const QString& key, int def) const;
    // A constant as a boolean ("0" false, other numbers true); def when absent or not a number.
    bool GetConstBool(const QString& key, bool def) const;

    // A user setting; def when absent or while the settings file is not open. "Skin" and "Language"
    // give def when the stored value is not empty and not a plain file name.
    QString ReadString(const QString& key, const QString& def) const;
    // Stores a user setting and saves Setting.dat at once; ignored while the file is not open.
    void WriteString(const QString& key, const QString& value);
    // A user setting as an integer; def when absent or not a number.
    int ReadInteger(const QString& key, int def) const;
    // Stores an integer user setting in decimal.
    void WriteInteger(const QString& key, int value);
    // A user setting as a boolean (any number but 0 is true); def when absent or not a number.
    bool ReadBool(const QString& key, bool def) const;
    // Stores a boolean user setting as "1" or "0".
    void WriteBool(const QString& key, bool value);

    // Whether message number id may still be shown (default true).
    bool ReadShowAgain(int id) const;
    // Stores whether message number id may be shown, then saves.
    void WriteShowAgain(int id, bool value);
    // The button result given instead of showing message number id (default 1).
    int ReadShowAgainResult(int id) const;
    // Stores the result for message number id, then saves.
    void WriteShowAgainResult(int id, int value);
    // Erases both don't-show-again sections, then saves; other sections stay as they are.
    void ClearShowAgainFlags();

    // Whether UserFlag.ini in the user folder holds a choice (creates the user folder if missing).
    bool HasAllUsersFlag();
    // The stored all-users choice, true when none is stored (creates the user folder if missing).
    bool ReadAllUsersFlag();
    // Stores the all-users choice in UserFlag.ini at once; throws ESettingsError when it cannot.
    void WriteAllUsersFlag(bool value);
    // Whether the all-users folder exists (it is created if missing) and is writable.
    bool CanWriteCommonFolder();
    // Chooses the settings folder (the common one for allUsers, else the user's), creates it and
    // Setting.dat (a single blank line) when missing, and loads it. Throws ESettingsError when the
    // file cannot be created.
    void OpenSettingsFile(bool allUsers);

    // Whether a user setting is kept in the per-user Setting.dat even in all-users mode: the Firefox
    // executable ("FireFoxPath") and the proxy that older copies remembered as applied to this user's
    // desktop ("DesktopProxy").
    static bool IsPerUserKey(const QString& key);

    // Folder of the executable and its data files, ending with "/".
    QString ProgramFolder() const { return m_programFolder; }
    // Folder of Setting.dat once opened, ending with "/"; empty before OpenSettingsFile.
    QString SettingsFolder() const { return m_settingsFolder; }
    // The per-user data folder, ending with "/". It also holds the caches (the proxy list, flags)
    // in all-users mode, so that no other user can choose what this user's copy reads.
    QString UserFolder() const { return m_userFolder; }
    // The all-users data folder, ending with "/".
    QString CommonFolder() const { return m_commonFolder; }
    // Whether the settings folder is the all-users folder.
    bool AllUsers() const { return m_allUsers; }
    // The constant "App.Ver" unchanged.
    QString VersionText() const { return m_versionText; }
    // VersionText packed by VersionToCode.
    int VersionCode() const { return m_versionCode; }
    // The constant "App.SubVer" as an integer (0 when not a number).
    int SubVersion() const { return m_subVersion; }

private:
    void saveSettings();
    void saveUserSettings();
    QString userFlagFile() const;
    // The document that holds key: the per-user one for IsPerUserKey in all-users mode.
    TIniFile* documentFor(const QString& key) const;

    TIniFile m_const;
    TIniFile m_oem;
    std::unique_ptr<TIniFile> m_settings;
    std::unique_ptr<TIniFile> m_userSettings; // the per-user Setting.dat, in all-users mode only
    QString m_programFolder;
    QString m_settingsFolder;
    QString m_userFolder;
    QString m_commonFolder;
    QString m_versionText;
    int m_versionCode = 0;
    int m_subVersion = 0;
    bool m_allUsers = false;
};

// Creates the process's single settings store if there is none. programFolder empty: the folder of
// the executable (the program passes nothing; tests pass a folder holding their own const.dat).
void InitSettings(const QString& programFolder = QString());
// The single settings store, or nullptr before InitSettings / after DoneSettings.
TSettings* Settings();
// Releases the single settings store.
void DoneSettings();
