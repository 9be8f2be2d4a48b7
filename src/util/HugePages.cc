#include "util/HugePages.h"

#include <sys/mman.h>

#include <cstdint>

namespace orvane::util {

void AdviseHugePages(const void* data, size_t bytes) {
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (data == nullptr || last <= first) return;
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace orvane::util
