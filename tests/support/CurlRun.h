#pragma once

#include <QByteArray>
#include <QStringList>

#include <string>

namespace testsupport {

// What one run of the curl command gave.
struct CurlRun
{
    int exitCode = -1; // -1 when it crashed or did not end in time
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

// curl -sS -i with the given arguments, bounded by its own time limit of maxSeconds; the proxy variables of the
// environment are left out, so only the arguments decide where it connects.
CurlRun curl(const QStringList& args, int maxSeconds = 15);
// The exit code and the start of both outputs, for failure messages.
std::string describe(const CurlRun& run);

} // namespace testsupport
