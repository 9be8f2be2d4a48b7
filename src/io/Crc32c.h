// Crc32c: the CRC-32C (Castagnoli) checksum that protects every part of an index
// file, plus the masking applied to each checksum stored in the file. Masking keeps
// a stored CRC from matching the CRC of data that itself embeds CRCs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace orvane::io {

namespace detail::crc32c {

// Bit-reflected Castagnoli polynomial (0x1EDC6F41 reversed).
inline constexpr uint32_t kPolynomial = 0x82F63B78u;

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ kPolynomial : crc >> 1;
        }
        table[i] = crc;
    }
    return table;
}

// One entry per byte value: the CRC remainder contributed by that byte.
inline constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace detail::crc32c

class Crc32c {
  public:
    static constexpr uint32_t kMaskDelta = 0xA282EAD8u;

    // Continues `crc` (the CRC of everything before) over `size` more bytes.
    // A CRC over several pieces is a chain of Extend calls starting from 0.
    static uint32_t Extend(uint32_t crc, const void* data, size_t size);
    static uint32_t Extend(uint32_t crc, std::string_view data) {
        return Extend(crc, data.data(), data.size());
    }
    static uint32_t Extend(uint32_t crc, std::span<const std::byte> data) {
        return Extend(crc, data.data(), data.size());
    }

    // The CRC of the data alone.
    static uint32_t Value(const void* data, size_t size) { return Extend(0, data, size); }
    static uint32_t Value(std::string_view data) { return Extend(0, data); }
    static uint32_t Value(std::span<const std::byte> data) { return Extend(0, data); }

    static constexpr uint32_t Mask(uint32_t crc) {
        return ((crc >> 15) | (crc << 17)) + kMaskDelta;
    }
    static constexpr uint32_t Unmask(uint32_t masked) {
        const uint32_t rot = masked - kMaskDelta;
        return (rot << 15) | (rot >> 17);
    }
};

}  // namespace orvane::io
