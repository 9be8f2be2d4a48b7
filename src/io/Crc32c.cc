#include "io/Crc32c.h"

namespace orvane::io {

uint32_t Crc32c::Extend(uint32_t crc, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    const auto& table = detail::crc32c::kTable;
    uint32_t c = ~crc;
    for (size_t i = 0; i < size; ++i) {
        c = table[(c ^ p[i]) & 0xFFu] ^ (c >> 8);
    }
    return ~c;
}

}  // namespace orvane::io
