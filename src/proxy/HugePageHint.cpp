#include "proxy/HugePageHint.h"

#include <sys/mman.h>

#include <cstdint>

void AdviseHugePages(const void* data, qsizetype bytes)
{
    constexpr std::uintptr_t kHugePage = std::uintptr_t(2) << 20;
    if (!data || bytes < qsizetype(2 * kHugePage))
        return;
    const std::uintptr_t begin = (std::uintptr_t(data) + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (std::uintptr_t(data) + std::uintptr_t(bytes)) & ~(kHugePage - 1);
    if (end > begin)
        (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
