// Operation tags of the encoders: TagInvoke(EncodeTag, model, x, rowBuilder)
// encodes one vector, TagInvoke(EncodeBatchTag, model, xs, batchBuilder, ...)
// encodes many. The scoring tags live in distance/OperationTags.h.
#pragma once

namespace orvane::dist::encode_space {

struct EncodeTag {};
struct EncodeBatchTag {};

}  // namespace orvane::dist::encode_space
