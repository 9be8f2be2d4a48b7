#include "encoding/rawf32/RawF32EncodeSpace.h"

#include <cstring>

namespace orvane::dist::encode_space {

core::ErrorCode TagInvoke(EncodeTag, const RawF32Model&, std::span<const float> x,
                          EncodedRowBuilder out) {
    const size_t bytes = x.size_bytes();
    if (out.data.size() < bytes) return core::ErrorCode::InvalidArgument;
    if (bytes != 0) std::memcpy(out.data.data(), x.data(), bytes);
    return core::ErrorCode::Ok;
}

}  // namespace orvane::dist::encode_space
