// ArrayDataset: a Dataset over caller-owned arrays, used by the C interface to
// hand one bulk insert to the builder in batches of at most kBatchRows rows.
// When no ids are given, rows get the ids 0 .. n-1. Internal to liborvane_py
// (header-only and hidden, so tests can reach it without the library
// exporting it). The arrays must outlive the dataset.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "orvane/api/Dataset.h"

#pragma GCC visibility push(hidden)

namespace orvane::csrc {

class ArrayDataset final : public api::Dataset {
  public:
    static constexpr uint64_t kBatchRows = 4096;

    // `data` holds n * dim floats row after row; `ids` n ids or null.
    ArrayDataset(const float* data, const uint64_t* ids, uint64_t n, uint32_t dim)
        : _data(data), _ids(ids), _n(n), _dim(dim) {}

    uint32_t Dim() const override { return _dim; }
    uint64_t TotalSize() const override { return _n; }

    core::Result<uint64_t> GetNextBatch(std::vector<float>& vectors,
                                        std::vector<uint64_t>& ids) override {
        if (_cursor >= _n) {
            vectors.clear();
            ids.clear();
            return uint64_t{0};
        }
        if (_data == nullptr && _dim != 0) {
            return core::Status(core::ErrorCode::InvalidArgument, "data must not be null");
        }
        const uint64_t count = std::min(_n - _cursor, kBatchRows);
        const size_t floats = static_cast<size_t>(count) * _dim;
        vectors.resize(floats);
        ids.resize(count);
        if (floats != 0) {
            std::memcpy(vectors.data(), _data + static_cast<size_t>(_cursor) * _dim,
                        floats * sizeof(float));
        }
        if (_ids != nullptr) {
            std::memcpy(ids.data(), _ids + _cursor, count * sizeof(uint64_t));
        } else {
            for (uint64_t i = 0; i < count; ++i) ids[i] = _cursor + i;
        }
        _cursor += count;
        return count;
    }

  private:
    const float* _data;
    const uint64_t* _ids;
    uint64_t _n;
    uint32_t _dim;
    uint64_t _cursor = 0;
};

}  // namespace orvane::csrc

#pragma GCC visibility pop
