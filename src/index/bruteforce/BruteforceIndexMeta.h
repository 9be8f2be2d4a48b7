// BruteforceIndexMeta: the payload of the bruteforce index's meta section, and
// the names of the three sections a bruteforce index (and each of its build
// checkpoints) holds, in the order they are written:
//   meta   (alignment 64): BruteforceIndexMeta, then zero padding
//   vector (alignment 1):  the quantizer stream (meta, model, encoded rows)
//   ids    (alignment 1):  one u64 row id per encoded row, in row order
#pragma once

#include <cstdint>

namespace orvane::index::bruteforce {

inline constexpr const char* kIndexMetaName = "bruteforce.section.meta";
inline constexpr const char* kIndexVectorName = "bruteforce.section.vector";
inline constexpr const char* kIndexIdsName = "bruteforce.section.ids";

inline constexpr uint64_t kMetaAlignment = 64;
inline constexpr uint64_t kVectorAlignment = 1;
inline constexpr uint64_t kIdsAlignment = 1;

// The count is stored in 32 bits, so an index holds at most this many rows.
inline constexpr uint64_t kMaxRows = UINT32_MAX;

struct BruteforceIndexMeta {
    uint32_t count = 0;
    uint32_t dimension = 0;
};
static_assert(sizeof(BruteforceIndexMeta) == 8, "the meta record is 8 bytes on disk");

}  // namespace orvane::index::bruteforce
