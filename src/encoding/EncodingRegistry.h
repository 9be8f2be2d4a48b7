// The encoding table: the one list of the encodings this build has. Lookups by
// option name (exact, case-sensitive) or by stored enumerator return null for
// an encoding not in the table.
#pragma once

#include <span>
#include <string_view>

#include "encoding/EncodingDescriptor.h"

namespace orvane::quantizer {

std::span<const EncodingDescriptor* const> AllEncodings();
const EncodingDescriptor* FindEncoding(std::string_view name);
const EncodingDescriptor* FindEncoding(dist::encode_space::EncodingE encoding);

}  // namespace orvane::quantizer
