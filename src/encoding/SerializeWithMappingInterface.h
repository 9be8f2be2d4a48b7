// SerializeWithMappingInterface: writes a trainer's model and its codes with
// the rows in the order given by `mapping` (row k of the output is the vector
// with id mapping[k]). No meta is written; the caller writes it first when it
// needs it.
#pragma once

#include <cstdint>
#include <vector>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"
#include "encoding/QuantizerWriter.h"

namespace orvane::quantizer {

class SerializeWithMappingInterface : public core::NoCopyable {
  public:
    virtual ~SerializeWithMappingInterface() = default;

    virtual core::Status SerializeWithMapping(const QuantizerWriter& writer,
                                              const std::vector<uint64_t>& mapping) = 0;
};

}  // namespace orvane::quantizer
