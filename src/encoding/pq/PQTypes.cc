#include "encoding/pq/PQTypes.h"

namespace orvane::dist::encode_space {

std::vector<uint32_t> AssignChunkOffsets(dimension_t d, uint32_t m) {
    if (m == 0) return {};
    const uint32_t lo = d / m;
    const uint32_t hi = (d + m - 1) / m;
    const uint32_t wider = d - m * lo;  // chunks that get one more component
    std::vector<uint32_t> offsets(uint64_t{m} + 1, 0);
    for (uint32_t k = 1; k < m; ++k) offsets[k] = offsets[k - 1] + (k <= wider ? hi : lo);
    offsets[m] = d;
    return offsets;
}

bool ValidChunkOffsets(std::span<const uint32_t> offsets, dimension_t d) {
    if (offsets.size() < 2 || offsets.front() != 0 || offsets.back() != d) return false;
    for (size_t k = 1; k < offsets.size(); ++k) {
        if (offsets[k] < offsets[k - 1]) return false;
    }
    return true;
}

}  // namespace orvane::dist::encode_space
