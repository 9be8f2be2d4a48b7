// SimpleBitMap: a fixed-size set of small integers, one bit per member, used to mark
// visited nodes. Bit i lives in byte i >> 3 at position i & 7; the bit count is
// always a multiple of 8. Indexes must be below BitCount(); nothing is checked in
// the hot path. Not safe for concurrent writers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

namespace orvane::index {

class SimpleBitMap {
  public:
    explicit SimpleBitMap(std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : _bitValue(resource) {}
    explicit SimpleBitMap(size_t bits,
                          std::pmr::memory_resource* resource = std::pmr::get_default_resource())
        : _bitValue(resource) {
        Resize(bits);
    }

    // Holds at least `bits` bits (rounded up to a multiple of 8), all cleared.
    void Resize(size_t bits) {
        _bitCount = (bits + 7) / 8 * 8;
        _bitValue.assign(_bitCount / 8, 0);
    }
    // Clears every bit and keeps the size.
    void Clear() { std::fill(_bitValue.begin(), _bitValue.end(), uint8_t{0}); }

    size_t BitCount() const { return _bitCount; }
    bool Test(size_t i) const { return (_bitValue[i >> 3] >> (i & 7)) & 1u; }
    void Set(size_t i) { _bitValue[i >> 3] |= static_cast<uint8_t>(1u << (i & 7)); }
    void Reset(size_t i) { _bitValue[i >> 3] &= static_cast<uint8_t>(~(1u << (i & 7))); }
    // Sets bit i and returns whether it was set before.
    bool TestAndSet(size_t i) {
        const bool was = Test(i);
        Set(i);
        return was;
    }
    // The number of set bits.
    size_t CountSet() const {
        size_t n = 0;
        for (uint8_t byte : _bitValue) n += static_cast<size_t>(__builtin_popcount(byte));
        return n;
    }

  private:
    size_t _bitCount = 0;
    std::pmr::vector<uint8_t> _bitValue;
};

}  // namespace orvane::index
