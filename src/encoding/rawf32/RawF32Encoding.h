// The rawf32 row of the encoding table: vectors stored as they are, scored
// under l2, inner product and cosine; no quantizer options, nothing to train.
#pragma once

#include "encoding/EncodingDescriptor.h"

namespace orvane::quantizer {

extern const EncodingDescriptor kRawF32Encoding;

}  // namespace orvane::quantizer
