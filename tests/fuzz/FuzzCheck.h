#pragma once

#include <QByteArray>
#include <QList>

#include <cstdio>
#include <cstdlib>

// Ends the run on a broken invariant; the fuzzer keeps the input as a finding.
[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Lines as a reader that takes CR LF, LF and CR alike breaks them, split on the bytes themselves (the text is
// not necessarily UTF-8).
inline QList<QByteArray> splitLines(const QByteArray& bytes)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\r' || bytes[i] == '\n') {
            lines.append(bytes.mid(start, i - start));
            if (i + 1 < bytes.size() && bytes[i] == '\r' && bytes[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    return lines;
}
