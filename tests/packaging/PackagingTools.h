#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace packaging {

// What a finished child process left behind.
struct RunResult
{
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a program to its end (killed after timeoutMs) and collects its output.
RunResult RunTool(const QString& program, const QStringList& args,
                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 120000);

// The build tree under test and the source tree it came from.
QString BuildDir();
QString SourceDir();

// The file names (no folder) in a folder that match a wildcard, sorted.
QStringList FilesIn(const QString& folder, const QString& pattern);

// The value of Name=Value in an INI text, or a null string when the key is missing.
QString IniValue(const QByteArray& text, const QString& key);

} // namespace packaging
