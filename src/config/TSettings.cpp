#include "config/TSettings.h"

#include "config/SettingsError.h"
#include "platform/ShellFolders.h"
#include "util/ByteText.h"
#include "util/SPTools.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace {

const QString kConstSection = QStringLiteral("const");
const QString kSettingSection = QStringLiteral("setting");
const QString kShowAgainSection = QStringLiteral("ShowAgain");
const QString kShowAgainResultSection = QStringLiteral("ShowAgainModuleResult");
const QString kFlagSection = QStringLiteral("Flag");
const QString kAllUsersKey = QStringLiteral("AllUsers");
const QString kSettingFile = QStringLiteral("Setting.dat");
const QString kUserFlagFile = QStringLiteral("UserFlag.ini");
// Settings joined into a path below the program folder ("langs/<Language>.lan", "skins/<Skin>.skn").
const QStringList kFileNameKeys = {QStringLiteral("Skin"), QStringLiteral("Language")};
const QStringList kPerUserKeys = {QStringLiteral("FireFoxPath"), QStringLiteral("DesktopProxy")};

std::unique_ptr<TSettings> g_settings;

// Creates a folder with every missing parent. Per-user folders are private to the user (0700); a
// folder for all users gets the usual permissions. Failures are left for the next file write to
// report, since only a failed write loses anything.
void createFolder(const QString& folder, bool privateToUser)
{
    const QByteArray path = TextToBytes(folder);
    const mode_t mode = privateToUser ? 0700 : 0777;
    for (int i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/')
            ::mkdir(path.left(i).constData(), mode);
    }
}

[[noreturn]] void throwWriteError(const QString& fileName, int error)
{
    throw ESettingsError(QStringLiteral("Unable to write the file \"%1\": %2").arg(fileName, qt_error_string(error)));
}

} // namespace

TSettings::TSettings(const QString& programFolder)
{
    m_programFolder = programFolder.isEmpty() ? GetAppPath() : IncludeBackslash(GetLongPath(programFolder));
    // A missing file simply holds no constants.
    // The program folder is the installer's: a link there (to a distributor's file in /etc) is trusted.
    m_const.LoadFromFile(m_programFolder + QStringLiteral("const.dat"), true);
    m_oem.LoadFromFile(m_programFolder + QStringLiteral("oem.dat"), true);
    const QString configPath = GetConst(QStringLiteral("App.ConfigPath"));
    m_userFolder = IncludeBackslash(IncludeBackslash(GetShellFolder(QStringLiteral("AppData"))) + configPath);
    m_commonFolder =
        IncludeBackslash(IncludeBackslash(GetCommonShellFolder(QStringLiteral("Common AppData"))) + configPath);
    m_versionText = GetConst(QStringLiteral("App.Ver"));
    m_versionCode = VersionToCode(m_versionText);
    m_subVersion = SafeStrToInt(GetConst(QStringLiteral("App.SubVer")), 0);
}

TSettings::~TSettings() = default;

QString TSettings::GetConst(const QString& key) const
{
    // A distributor's key wins even when its value is empty: that is how a constant is blanked.
    if (m_oem.ValueExists(kConstSection, key))
        return m_oem.ReadString(kConstSection, key, QString());
    return m_const.ReadString(kConstSection, key, QString());
}

int TSettings::GetConstInt(const QString& key, int def) const
{
    return SafeStrToInt(GetConst(key), def);
}

bool TSettings::GetConstBool(const QString& key, bool def) const
{
    return GetConstInt(key, def ? 1 : 0) != 0;
}

bool TSettings::IsPerUserKey(const QString& key)
{
    return kPerUserKeys.contains(key, Qt::CaseInsensitive);
}

TIniFile* TSettings::documentFor(const QString& key) const
{
    if (m_userSettings && IsPerUserKey(key))
        return m_userSettings.get();
    return m_settings.get();
}

QString TSettings::ReadString(const QString& key, const QString& def) const
{
    const TIniFile* document = documentFor(key);
    if (!document)
        return def;
    const QString value = document->ReadString(kSettingSection, key, def);
    // An empty name is the built-in skin; anything else must stay inside its folder.
    if (kFileNameKeys.contains(key, Qt::CaseInsensitive) && !value.isEmpty() && !IsPlainFileName(value))
        return def;
    return value;
}

void TSettings::WriteString(const QString& key, const QString& value)
{
    TIniFile* document = documentFor(key);
    if (!document)
        return;
    document->WriteString(kSettingSection, key, value);
    if (document == m_userSettings.get())
        saveUserSettings();
    else
        saveSettings();
}

int TSettings::ReadInteger(const QString& key, int def) const
{
    return SafeStrToInt(ReadString(key, QString()), def);
}

void TSettings::WriteInteger(const QString& key, int value)
{
    WriteString(key, QString::number(value));
}

bool TSettings::ReadBool(const QString& key, bool def) const
{
    return ReadInteger(key, def ? 1 : 0) != 0;
}

void TSettings::WriteBool(const QString& key, bool value)
{
    WriteInteger(key, value ? 1 : 0);
}

// The don't-show-again flags behave like the other settings before the file is open (defaults,
// ignored writes) rather than failing: a message box shown early must not bring the program down.
bool TSettings::ReadShowAgain(int id) const
{
    if (!m_settings)
        return true;
    return SafeStrToInt(m_settings->ReadString(kShowAgainSection, QString::number(id), QString()), 1) != 0;
}

void TSettings::WriteShowAgain(int id, bool value)
{
    if (!m_settings)
        return;
    m_settings->WriteString(kShowAgainSection, QString::number(id), value ? QStringLiteral("1") : QStringLiteral("0"));
    saveSettings();
}

int TSettings::ReadShowAgainResult(int id) const
{
    if (!m_settings)
        return 1;
    return SafeStrToInt(m_settings->ReadString(kShowAgainResultSection, QString::number(id), QString()), 1);
}

void TSettings::WriteShowAgainResult(int id, int value)
{
    if (!m_settings)
        return;
    m_settings->WriteString(kShowAgainResultSection, QString::number(id), QString::number(value));
    saveSettings();
}

void TSettings::ClearShowAgainFlags()
{
    if (!m_settings)
        return;
    m_settings->EraseSection(kShowAgainSection);
    m_settings->EraseSection(kShowAgainResultSection);
    saveSettings();
}

QString TSettings::userFlagFile() const
{
    return m_userFolder + kUserFlagFile;
}

bool TSettings::HasAllUsersFlag()
{
    createFolder(m_userFolder, true);
    TIniFile flags;
    flags.LoadFromFile(userFlagFile());
    return flags.ValueExists(kFlagSection, kAllUsersKey);
}

bool TSettings::ReadAllUsersFlag()
{
    createFolder(m_userFolder, true);
    TIniFile flags;
    flags.LoadFromFile(userFlagFile());
    return SafeStrToInt(flags.ReadString(kFlagSection, kAllUsersKey, QString()), 1) != 0;
}

void TSettings::WriteAllUsersFlag(bool value)
{
    createFolder(m_userFolder, true);
    TIniFile flags;
    flags.LoadFromFile(userFlagFile());
    flags.WriteString(kFlagSection, kAllUsersKey, value ? QStringLiteral("1") : QStringLiteral("0"));
    if (!flags.SaveToFile(userFlagFile()))
        throwWriteError(userFlagFile(), errno);
}

bool TSettings::CanWriteCommonFolder()
{
    createFolder(m_commonFolder, false);
    return CheckFileAccess(m_commonFolder);
}

void TSettings::OpenSettingsFile(bool allUsers)
{
    m_allUsers = allUsers;
    const QString folder = allUsers ? m_commonFolder : m_userFolder;
    createFolder(folder, !allUsers);
    m_settingsFolder = IncludeBackslash(GetLongPath(folder));
    m_settings.reset();
    m_userSettings.reset();

    const QString fileName = m_settingsFolder + kSettingFile;
    // A save cut short by a crash leaves its temporary file behind; only one copy of the program
    // runs, so any such file is stale.
    QStringList leftovers;
    ListFiles(fileName + QStringLiteral(".tmp.*"), leftovers, true);
    for (const QString& leftover : leftovers)
        QFile::remove(leftover);
    if (!QFileInfo::exists(fileName) && !SaveTextToFile(QStringLiteral(" "), fileName))
        throwWriteError(fileName, errno);
    auto settings = std::make_unique<TIniFile>();
    settings->LoadFromFile(fileName);
    m_settings = std::move(settings);
    if (allUsers) {
        // Created by the first write of a per-user setting.
        createFolder(m_userFolder, true);
        auto own = std::make_unique<TIniFile>();
        own->LoadFromFile(m_userFolder + kSettingFile);
        m_userSettings = std::move(own);
    }
}

void TSettings::saveSettings()
{
    const QString fileName = m_settingsFolder + kSettingFile;
    if (!m_settings->SaveToFile(fileName))
        throwWriteError(fileName, errno);
}

void TSettings::saveUserSettings()
{
    const QString fileName = m_userFolder + kSettingFile;
    if (!m_userSettings->SaveToFile(fileName))
        throwWriteError(fileName, errno);
}

void InitSettings(const QString& programFolder)
{
    if (!g_settings)
        g_settings = std::make_unique<TSettings>(programFolder);
}

TSettings* Settings()
{
    return g_settings.get();
}

void DoneSettings()
{
    g_settings.reset();
}
