// The sq8 row of the encoding table: one byte per component relative to a
// learned centroid, scored under l2, inner product and cosine; no quantizer
// options.
#pragma once

#include "encoding/EncodingDescriptor.h"

namespace orvane::quantizer {

extern const EncodingDescriptor kSQ8Encoding;

}  // namespace orvane::quantizer
