// EncodingE: how vectors are stored: raw floats, 8-bit scalar quantization or
// product quantization. Serialized as a 32-bit value.
#pragma once

#include <cstdint>

namespace orvane::dist::encode_space {

enum class EncodingE : uint32_t {
    rawf32 = 0,
    sq8 = 1,
    pq = 2,
    dummy = 3,
};

// Empty tag type per encoding, for TagInvoke overload selection. Each
// encoding specializes it in its own folder with its `Name` (the
// "encoding.type" value); the placeholder's is here.
template <EncodingE E>
struct EncodingT;

template <>
struct EncodingT<EncodingE::dummy> {
    static constexpr EncodingE Value = EncodingE::dummy;
    static constexpr const char* Name = "dummy";
};

// Display name of an encoding from the encoding table; "dummy" for a value
// that is not in it.
const char* EncodingName(EncodingE encoding);

}  // namespace orvane::dist::encode_space
