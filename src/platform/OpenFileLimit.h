#pragma once

#include <QtGlobal>

namespace platform {

// Raises this process's soft limit on open descriptors to its hard limit and returns the limit now in force
// (-1 when it cannot be read). The proxy tester holds a socket per test under way and runs thousands at once;
// the usual soft limit of 1024 would refuse most of them. Called once at start; whatever the limit, the tester
// backs off when the system refuses it sockets.
qint64 RaiseOpenFileLimit();

} // namespace platform
