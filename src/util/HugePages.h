// AdviseHugePages: asks the kernel to back a large buffer with 2 MiB pages
// (transparent huge pages in "madvise" mode), for arrays that are read at
// random: one page-table entry then covers 512 times as much of the buffer,
// so the processor's address-translation cache holds all of a few hundred
// MiB instead of a few MiB. Only the 2 MiB-aligned part of the range is
// advised; pages already touched keep their size, so call it on reserved,
// untouched memory. Best effort: a kernel without the feature ignores it.
#pragma once

#include <cstddef>

namespace orvane::util {

void AdviseHugePages(const void* data, size_t bytes);

// Reserves room for n elements in `v` (a std or pmr vector, still empty) and
// advises that room before anything is written to it.
template <typename Vector>
void ReserveOnHugePages(Vector& v, size_t n) {
    v.reserve(n);
    AdviseHugePages(v.data(), n * sizeof(typename Vector::value_type));
}

}  // namespace orvane::util
