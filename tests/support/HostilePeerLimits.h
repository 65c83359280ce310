#pragma once

#include "support/StallMeter.h"
#include "support/Wait.h"

namespace testsupport {

constexpr qint64 kGiB = 1024ll * 1024 * 1024;
constexpr qint64 kMiB = 1024ll * 1024;

// Memory a hostile reply may make the process grow by, in KiB. AddressSanitizer keeps freed buffers in
// quarantine for a while, so a body buffer that grew by doubling counts about twice under it;
// ThreadSanitizer keeps shadow memory of several times every byte touched. Either bound stays far below
// the gigabytes an unbounded reply would take.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kGrowthBoundKiB = 400 * 1024;
#elif defined(__SANITIZE_THREAD__)
constexpr long kGrowthBoundKiB = 800 * 1024;
#else
constexpr long kGrowthBoundKiB = 200 * 1024;
#endif

// Resident memory of this process in KiB.
inline qint64 residentKiB()
{
    return qint64(std::max(0.0, processStatusMb(0, "VmRSS")) * 1024);
}

} // namespace testsupport
