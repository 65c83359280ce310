#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>

// The tor benchmarks' figures: one name=value line each, flushed at once so a run that hangs later still shows
// what it measured.
inline void print(const char* name, const QString& value)
{
    std::printf("%s=%s\n", name, qPrintable(value));
    std::fflush(stdout);
}

inline void print(const char* name, qint64 value)
{
    print(name, QString::number(value));
}

// Prints the failed step as error=<text> on one line; the benchmark then ends with this code.
inline int failure(const QString& message)
{
    print("error", QString(message).replace(u'\n', u' '));
    return 1;
}

// The number of runs asked for with --runs N (at least one; one when not asked).
inline int runsAsked(const QStringList& args)
{
    const qsizetype at = args.indexOf(QStringLiteral("--runs"));
    return at > 0 && at + 1 < args.size() ? qMax(1, args.at(at + 1).toInt()) : 1;
}

// Runs the benchmark as often as --runs asks, printing run=<n> before each; ends at the first run that fails and
// returns its code.
inline int repeatRuns(const QStringList& args, const std::function<int()>& runOnce)
{
    const int runs = runsAsked(args);
    for (int run = 1; run <= runs; ++run) {
        print("run", run);
        if (const int code = runOnce(); code != 0)
            return code;
    }
    return 0;
}
