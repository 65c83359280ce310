// libFuzzer target: any bytes as an INI document (const.dat, Setting.dat, UserFlag.ini).
// The document promises that a file passes through it unharmed: loading and saving gives back the
// same bytes, a write changes only the value written, and every other value reads the same after
// the file has been saved and read again. The same bytes then go through the settings store itself
// as const.dat, Setting.dat and UserFlag.ini in a private folder.

#include "util/TIniFile.h"
#include "FuzzCheck.h"
#include "config/TSettings.h"
#include "util/ByteText.h"
#include "util/SPTools.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using Snapshot = QMap<QString, QMap<QString, QString>>; // lower-case section -> lower-case key -> value

Snapshot snapshot(const TIniFile& ini)
{
    Snapshot all;
    for (const QString& section : ini.ReadSections()) {
        for (const QString& key : ini.ReadSection(section))
            all[section.toLower()][key.toLower()] = ini.ReadString(section, key, QString());
    }
    return all;
}

// What a value becomes once written and read back: one line, blanks at the ends trimmed.
QString storedForm(QString value)
{
    for (QChar& c : value) {
        if (c == u'\r' || c == u'\n')
            c = u' ';
    }
    while (!value.isEmpty() && (value.front() == u' ' || value.front() == u'\t'))
        value.remove(0, 1);
    while (!value.isEmpty() && (value.back() == u' ' || value.back() == u'\t'))
        value.chop(1);
    return value;
}

void checkDocument(const QByteArray& input, const QString& value)
{
    TIniFile ini;
    ini.LoadFromBytes(input);
    const QByteArray saved = ini.ToBytes();
    if (saved != input)
        fail("load/save changed the bytes");

    const Snapshot before = snapshot(ini);
    TIniFile again;
    again.LoadFromBytes(saved);
    if (snapshot(again) != before)
        fail("values differ after a save and reload");

    // Writes as the settings store makes them: known sections and keys, a value from outside
    // (a country name, a path) that may hold anything.
    const QString sections[] = {QStringLiteral("setting"), QStringLiteral("ShowAgain"), QStringLiteral("Flag")};
    const QString keys[] = {QStringLiteral("PROXYCOUNTRY"), QStringLiteral("30"), QStringLiteral("AllUsers")};
    TIniFile written;
    written.LoadFromBytes(input);
    Snapshot expected = before;
    for (int i = 0; i < 3; ++i) {
        written.WriteString(sections[i], keys[i], value);
        expected[sections[i].toLower()][keys[i].toLower()] = storedForm(value);
    }
    TIniFile reread;
    reread.LoadFromBytes(written.ToBytes());
    for (int i = 0; i < 3; ++i) {
        const QString inMemory = written.ReadString(sections[i], keys[i], QStringLiteral("\x01"));
        if (storedForm(inMemory) != storedForm(value))
            fail("a written value does not read back in memory");
        if (reread.ReadString(sections[i], keys[i], QStringLiteral("\x01")) != storedForm(value))
            fail("a written value does not read back from the saved file");
    }
    if (snapshot(reread) != expected)
        fail("a write changed other values");

    // Erasing a section leaves every other one as it was.
    TIniFile erased;
    erased.LoadFromBytes(input);
    erased.EraseSection(QStringLiteral("ShowAgain"));
    Snapshot withoutShowAgain = before;
    withoutShowAgain.remove(QStringLiteral("showagain"));
    TIniFile erasedReread;
    erasedReread.LoadFromBytes(erased.ToBytes());
    if (snapshot(erasedReread) != withoutShowAgain)
        fail("erasing a section changed another");
}

void writeFile(const QString& name, const QByteArray& bytes)
{
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        fail("cannot write a scratch file");
}

// The store reading the same bytes as each of its three files.
void checkSettingsStore(const QByteArray& input, const QString& value, const QTemporaryDir& dir)
{
    const QString program = dir.filePath(QStringLiteral("program/"));
    const QString home = dir.filePath(QStringLiteral("home/"));
    const QString common = dir.filePath(QStringLiteral("common/"));
    QDir().mkpath(program);
    writeFile(program + QStringLiteral("const.dat"), input);
    // The data folder comes from the constants; a distributor's file pins it inside the scratch
    // folder whatever the input says.
    writeFile(program + QStringLiteral("oem.dat"), "[const]\nApp.ConfigPath=Veilport\n");
    QDir(home).removeRecursively();
    QDir().mkpath(home + QStringLiteral("Veilport"));
    writeFile(home + QStringLiteral("Veilport/Setting.dat"), input);
    writeFile(home + QStringLiteral("Veilport/UserFlag.ini"), input);

    TIniFile parsed;
    parsed.LoadFromBytes(input);
    TSettings settings(program);
    for (const QString& key : parsed.ReadSection(QStringLiteral("const"))) {
        if (key.compare(QStringLiteral("App.ConfigPath"), Qt::CaseInsensitive) == 0)
            continue;
        const QString text = parsed.ReadString(QStringLiteral("const"), key, QString());
        if (settings.GetConst(key) != text)
            fail("a constant differs from its file");
        if (settings.GetConstInt(key, 888) != SafeStrToInt(text, 888))
            fail("an integer constant differs from its file");
    }
    if (settings.UserFolder() != home + QStringLiteral("Veilport/"))
        fail("the user folder left the scratch folder");

    settings.ReadAllUsersFlag();
    settings.WriteAllUsersFlag(false);
    if (settings.ReadAllUsersFlag() || !settings.HasAllUsersFlag())
        fail("the all-users choice does not read back");

    settings.OpenSettingsFile(false);
    for (const QString& key : parsed.ReadSection(QStringLiteral("setting"))) {
        const QString stored = parsed.ReadString(QStringLiteral("setting"), key, QString());
        // The skin and the language are files to open: a name that would leave their folder reads as unset.
        const bool fileName = key.compare(QStringLiteral("Skin"), Qt::CaseInsensitive) == 0 ||
                              key.compare(QStringLiteral("Language"), Qt::CaseInsensitive) == 0;
        const QString expected =
            fileName && !stored.isEmpty() && !IsPlainFileName(stored) ? QStringLiteral("\x01") : stored;
        if (settings.ReadString(key, QStringLiteral("\x01")) != expected)
            fail("a setting differs from its file");
    }
    settings.WriteString(QStringLiteral("PROXYCOUNTRY"), value);
    settings.WriteShowAgain(31, false);
    TIniFile onDisk;
    if (!onDisk.LoadFromFile(home + QStringLiteral("Veilport/Setting.dat")))
        fail("Setting.dat vanished");
    if (onDisk.ReadString(QStringLiteral("setting"), QStringLiteral("PROXYCOUNTRY"), QString()) != storedForm(value))
        fail("a stored setting does not read back from disk");
    if (settings.ReadShowAgain(31))
        fail("a don't-show-again flag does not read back");
    settings.ClearShowAgainFlags();
    if (!settings.ReadShowAgain(31))
        fail("clearing the flags left one set");
    Q_UNUSED(common);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Every write of the store is synced to disk; in memory-backed storage that costs nothing.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/ini_file_fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/ini_file_fuzz-XXXXXX"));
    static bool environment = [] {
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("home")).toUtf8());
        qputenv("VEILPORT_COMMON_DATA_DIR", dir.filePath(QStringLiteral("common")).toUtf8());
        return true;
    }();
    Q_UNUSED(environment);

    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    // The value written comes from the input's end, so that it varies with the document.
    const QString value = BytesToText(input.right(qMin<qsizetype>(input.size(), 40)));
    checkDocument(input, value);
    // The store's own files cost a few file writes each; every fourth input is enough for them.
    if ((qHash(input) & 3) == 0)
        checkSettingsStore(input, value, dir);
    return 0;
}
