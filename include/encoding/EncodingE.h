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

// Empty tag type per encoding, for TagInvoke overload selection.
template <EncodingE E>
struct EncodingT {
    static constexpr EncodingE Value = E;
    static constexpr const char* Name = E == EncodingE::rawf32 ? "rawf32"
                                        : E == EncodingE::sq8  ? "sq8"
                                        : E == EncodingE::pq   ? "pq"
                                                               : "dummy";
};

// Display name of an encoding ("rawf32", "sq8", "pq"); "dummy" for any other value.
inline const char* EncodingName(EncodingE encoding) {
    switch (encoding) {
        case EncodingE::rawf32:
            return EncodingT<EncodingE::rawf32>::Name;
        case EncodingE::sq8:
            return EncodingT<EncodingE::sq8>::Name;
        case EncodingE::pq:
            return EncodingT<EncodingE::pq>::Name;
        case EncodingE::dummy:
            break;
    }
    return EncodingT<EncodingE::dummy>::Name;
}

}  // namespace orvane::dist::encode_space
