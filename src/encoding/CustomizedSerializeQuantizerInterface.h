// CustomizedSerializeQuantizerInterface: lets an index write a trainer's model
// and its per-vector codes separately, e.g. to interleave each vector's code
// with its own node records. SerializeQuantizerInfo writes the meta and the
// model (everything of the stream but the per-vector codes); SerializeEncode
// writes the stored code of one vector, GetEncodedNodeSize() bytes.
#pragma once

#include <cstdint>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"
#include "encoding/QuantizerWriter.h"

namespace orvane::quantizer {

class CustomizedSerializeQuantizerInterface : public core::NoCopyable {
  public:
    virtual ~CustomizedSerializeQuantizerInterface() = default;

    virtual core::Status SerializeQuantizerInfo(const QuantizerWriter& writer) = 0;
    // FailedPrecondition when id is not below the trainer's count.
    virtual core::Status SerializeEncode(uint64_t id, const QuantizerWriter& writer) = 0;

  protected:
    // The model part of the stream, without the meta.
    virtual core::Status DoSerializeInfo(const QuantizerWriter& writer) = 0;
};

}  // namespace orvane::quantizer
