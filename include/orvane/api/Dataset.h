// Dataset: a source that PretrainFrom and InsertFrom pull vectors from batch by
// batch. After a successful GetNextBatch returning n, `vectors` holds n * Dim()
// floats and `ids` n ids; 0 means the dataset is exhausted.
#pragma once

#include <cstdint>
#include <vector>

#include "orvane/core/Result.h"

namespace orvane::api {

class Dataset {
  public:
    virtual ~Dataset() = default;
    virtual uint32_t Dim() const = 0;
    virtual uint64_t TotalSize() const = 0;
    virtual core::Result<uint64_t> GetNextBatch(std::vector<float>& vectors,
                                                std::vector<uint64_t>& ids) = 0;
};

}  // namespace orvane::api
