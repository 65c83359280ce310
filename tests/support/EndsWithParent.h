#pragma once

#include <QProcess>

#include <sys/prctl.h>

#include <csignal>

namespace testsupport {

// Makes a helper process started by process end when the thread that starts it ends, so a test or benchmark
// that crashes, is killed or leaves by _Exit leaves no servers behind. Call before start().
inline void EndsWithParent(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

} // namespace testsupport
