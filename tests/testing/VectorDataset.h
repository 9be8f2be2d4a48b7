// VectorDataset: an in-memory Dataset for tests, with a configurable batch
// size and ways to misbehave (deliver fewer rows, wrong batch shapes).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "orvane/api/Dataset.h"

namespace orvane::testing {

class VectorDataset : public api::Dataset {
  public:
    VectorDataset(std::vector<float> data, uint32_t dim, uint64_t batch = 16)
        : _data(std::move(data)), _dim(dim), _batch(batch), _total(_data.size() / dim) {}

    uint32_t Dim() const override { return _dim; }
    uint64_t TotalSize() const override { return _announced ? _announced : _total; }

    core::Result<uint64_t> GetNextBatch(std::vector<float>& vectors,
                                        std::vector<uint64_t>& ids) override {
        if (_failWith) return core::Status(core::ErrorCode::IoError, "dataset broke");
        const uint64_t count = std::min(_batch, _total - _cursor);
        vectors.assign(_data.begin() + _cursor * _dim, _data.begin() + (_cursor + count) * _dim);
        ids.resize(count);
        for (uint64_t i = 0; i < count; ++i) {
            ids[i] = _ids.empty() ? 1000 + _cursor + i : _ids[_cursor + i];
        }
        if (count > 0 && _dropOneFloat) vectors.pop_back();
        if (count > 0 && _dropOneId) ids.pop_back();
        _cursor += count;
        return count;
    }

    // Delivers these ids (one per row) instead of 1000, 1001, ...
    void SetIds(std::vector<uint64_t> ids) { _ids = std::move(ids); }
    // Claims more rows than it will deliver.
    void AnnounceTotal(uint64_t total) { _announced = total; }
    void DropOneFloat() { _dropOneFloat = true; }
    void DropOneId() { _dropOneId = true; }
    void FailReads() { _failWith = true; }

  private:
    std::vector<float> _data;
    std::vector<uint64_t> _ids;
    uint32_t _dim;
    uint64_t _batch;
    uint64_t _total;
    uint64_t _cursor = 0;
    uint64_t _announced = 0;
    bool _dropOneFloat = false;
    bool _dropOneId = false;
    bool _failWith = false;
};

}  // namespace orvane::testing
