// The pq row of the encoding table: product quantization (optionally with an
// OPQ rotation), scored under l2 and inner product; its quantizer options are
// the "encoding.pq." keys.
#pragma once

#include "encoding/EncodingDescriptor.h"

namespace orvane::quantizer {

extern const EncodingDescriptor kPQEncoding;

}  // namespace orvane::quantizer
