#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>

// Free-standing routines over texts, paths and files that every part of the program
// shares. They keep no state, never throw, and report failure by a false result or by returning
// the caller's default.

// ---- Texts and numbers -------------------------------------------------------------------------

// Reads a 32-bit signed integer: optional leading blanks, optional sign, then decimal digits or "$"
// and hexadecimal digits. Anything else (empty, trailing characters, out of range) gives def.
int SafeStrToInt(const QString& s, int def);
// The decimal text of value, with fill put in front while it is shorter than width (never cut).
QString IntToStrPad(int value, int width, QChar fill);
// Upper-case hexadecimal text, two digits per byte, high nibble first.
QString BytesToHex(const QByteArray& data);
// Packs the first blank-separated field "a.b.c.d" into four 4-bit fields (0xABCD); 0 otherwise.
int VersionToCode(const QString& s);
// Whether s begins with prefix, letter case ignored; an empty prefix always matches.
bool TextStartsWith(const QString& s, const QString& prefix);
// Appends the delim-separated fields of s to list (empty fields included); nothing for an empty s.
void SplitString(const QString& s, QChar delim, QStringList& list);
// Fills "%1".."%9" with args (missing ones give nothing) and turns "%%" into "%".
QString FormatArgs(const QString& pattern, const QStringList& args);
// Joins params to url with "?" or "&" as the url needs; params alone when url is empty.
QString AddUrlParams(const QString& url, const QString& params);
// Splits one parameter text into arguments with the shell's quoting rules ('…', "…", \), but
// without any expansion. An unterminated quote runs to the end of the text.
QStringList SplitCommandLine(const QString& commandLine);

// ---- Paths and files ---------------------------------------------------------------------------

// Full file name of the running program (from /proc/self/exe); empty if it cannot be read. After
// the file was replaced while running (a package upgrade), the installed file of the same name.
QString GetExeFileName();
// Canonical folder of the running program, ending with "/".
QString GetAppPath();
// The canonical form of path when it exists (a trailing "/" is kept), else path unchanged.
QString GetLongPath(const QString& path);
// The folder with exactly one trailing "/"; empty stays empty.
QString IncludeBackslash(const QString& folder);
// An absolute path ("/…") as it is; a relative one joined to dir; path unchanged when dir is empty.
// "." and ".." are not resolved.
QString CombinePath(const QString& dir, const QString& path);
// Whether name is a plain file name that stays inside the folder it is joined to: not empty, no
// "/", no "..", no control character.
bool IsPlainFileName(const QString& name);
// The file name without its folder and without its last extension ("a/b.c.lan" gives "b.c").
QString ExtractFileTitle(const QString& fileName);
// Appends the regular files (hidden ones included; no folders, pipes or devices) matching a mask
// such as "/x/langs/*.lan", with the mask's folder in front when withFolder is set. Letter case is
// ignored in the pattern.
void ListFiles(const QString& mask, QStringList& list, bool withFolder);
// Writes text as lines, each ending with CR LF (the last one too); replaces the file atomically.
bool SaveTextToFile(const QString& text, const QString& fileName);
// Replaces a file so that it always holds either the old or the new bytes: writes a temporary
// file in the same folder, flushes it to disk, renames it over the target and flushes the folder.
// A symbolic link at path is replaced itself; what it points to is never written.
bool AtomicWriteFile(const QString& path, const QByteArray& bytes);
// Whether the current user may write to the file or folder (effective ids); any error gives false.
bool CheckFileAccess(const QString& path);
