#include "encoding/EncodingRegistry.h"

#include "encoding/pq/PQEncoding.h"
#include "encoding/rawf32/RawF32Encoding.h"
#include "encoding/sq8/SQ8Encoding.h"

namespace orvane::quantizer {
namespace {

// One row per encoding; a new encoding adds its descriptor here. The order is
// the order option messages list the accepted names in.
constexpr const EncodingDescriptor* kEncodings[] = {
    &kRawF32Encoding,
    &kSQ8Encoding,
    &kPQEncoding,
};

}  // namespace

std::span<const EncodingDescriptor* const> AllEncodings() {
    return kEncodings;
}

const EncodingDescriptor* FindEncoding(std::string_view name) {
    for (const EncodingDescriptor* row : kEncodings) {
        if (row->name == name) return row;
    }
    return nullptr;
}

const EncodingDescriptor* FindEncoding(dist::encode_space::EncodingE encoding) {
    for (const EncodingDescriptor* row : kEncodings) {
        if (row->encoding == encoding) return row;
    }
    return nullptr;
}

}  // namespace orvane::quantizer

namespace orvane::dist::encode_space {

const char* EncodingName(EncodingE encoding) {
    const quantizer::EncodingDescriptor* row = quantizer::FindEncoding(encoding);
    return row != nullptr ? row->name.data() : "dummy";
}

}  // namespace orvane::dist::encode_space
