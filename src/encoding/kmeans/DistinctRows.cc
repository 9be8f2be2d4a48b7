#include "encoding/kmeans/DistinctRows.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace orvane::quantizer {

namespace {

// Hash of a row's bytes (dim 32-bit words), well mixed in its high bits.
uint64_t HashRow(const float* row, dist::dimension_t dim) {
    uint64_t h = 0x243F6A8885A308D3ull;
    for (dist::dimension_t j = 0; j < dim; ++j) {
        uint32_t word;
        std::memcpy(&word, row + j, sizeof(word));
        h = (h ^ word) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    return h * 0xBF58476D1CE4E5B9ull;
}

}  // namespace

DistinctRows::DistinctRows(std::span<const float> data, dist::dimension_t dim,
                           std::pmr::memory_resource& resource)
    : _dim(dim), _rows(&resource), _which(&resource) {
    if (dim == 0 || dim > kMaxDim) return;
    const uint64_t n = data.size() / dim;
    if (n < 2 || n > std::numeric_limits<uint32_t>::max() / 4) return;
    const auto limit = static_cast<uint64_t>(kMaxShare * static_cast<double>(n));
    // Open addressing with linear probing, at most half full: slot = distinct
    // row number + 1, 0 when free.
    const uint64_t capacity = std::bit_ceil(2 * n);
    const int shift = 64 - std::countr_zero(capacity);
    std::pmr::vector<uint32_t> slots(capacity, 0, &resource);
    _which.resize(n);
    _rows.reserve(limit * dim);
    const size_t bytes = dim * sizeof(float);
    for (uint64_t i = 0; i < n; ++i) {
        const float* row = data.data() + i * dim;
        uint64_t s = HashRow(row, dim) >> shift;
        for (;; s = (s + 1) & (capacity - 1)) {
            const uint32_t slot = slots[s];
            if (slot == 0) {
                const uint64_t id = _rows.size() / dim;
                if (id >= limit) {
                    _rows = std::pmr::vector<float>(&resource);
                    _which = std::pmr::vector<uint32_t>(&resource);
                    return;
                }
                slots[s] = static_cast<uint32_t>(id + 1);
                _rows.insert(_rows.end(), row, row + dim);
                _which[i] = static_cast<uint32_t>(id);
                break;
            }
            if (std::memcmp(_rows.data() + uint64_t{slot - 1} * dim, row, bytes) == 0) {
                _which[i] = slot - 1;
                break;
            }
        }
    }
    _pays = true;
}

void DistinctRows::Spread(std::span<const uint32_t> perDistinct,
                          std::span<uint32_t> indexes) const {
    const uint64_t n = std::min<uint64_t>(indexes.size(), _which.size());
    for (uint64_t i = 0; i < n; ++i) indexes[i] = perDistinct[_which[i]];
}

}  // namespace orvane::quantizer
