#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>

// Reading the texts inside tor's reply lines. Values may be quoted strings in which tor writes C escapes
// (\n, \t, \r, octal \0..\377); any other backslash stands for the character after it. Nothing here
// fails: text that does not read gives fewer or empty values.
namespace torreply {

// The KEY=VALUE arguments of a line such as `NOTICE BOOTSTRAP PROGRESS=45 TAG=x SUMMARY="Loading relays"`,
// values unquoted; words without "=" are left out. A later key replaces an earlier one.
QMap<QByteArray, QByteArray> keywordArguments(const QByteArray& text);
// The space-separated words of text, each unquoted when quoted (`"127.0.0.1:9050" "[::1]:9050"`).
QList<QByteArray> words(const QByteArray& text);

} // namespace torreply
