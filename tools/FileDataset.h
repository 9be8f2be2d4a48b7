// FileDataset: an api::Dataset that streams vectors (and optionally row ids) from
// files batch by batch, so a build never holds the whole input in memory. Without
// an id file, row ids are the row positions 0, 1, 2, ...
//
// The builder reads the dataset twice (pretraining samples, then insertion), so the
// caller rewinds it in between. Every delivered batch is reported to an optional
// progress callback with the number of rows delivered since the last rewind.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "VectorFile.h"
#include "orvane/api/Dataset.h"

namespace orvane::tools {

class FileDataset : public api::Dataset {
  public:
    using ProgressFn = std::function<void(uint64_t rowsDelivered)>;

    // The vector file must hold float32 rows; an id file, when given, must hold one
    // integer per vector row. Fails with a message naming the offending file.
    static core::Result<FileDataset> Create(VectorFileReader vectors,
                                            std::optional<VectorFileReader> ids,
                                            uint64_t batchRows);

    uint32_t Dim() const override { return _vectors.Dim(); }
    uint64_t TotalSize() const override { return _vectors.Rows(); }
    core::Result<uint64_t> GetNextBatch(std::vector<float>& vectors,
                                        std::vector<uint64_t>& ids) override;

    // Starts delivering from the first row again.
    void Rewind() { _next = 0; }
    void SetProgress(ProgressFn fn) { _progress = std::move(fn); }
    uint64_t BatchRows() const { return _batchRows; }

    // A batch size of about 4 MiB of vectors, at least one row.
    static uint64_t DefaultBatchRows(uint32_t dim);

  private:
    FileDataset(VectorFileReader vectors, std::optional<VectorFileReader> ids, uint64_t batchRows)
        : _vectors(std::move(vectors)), _ids(std::move(ids)), _batchRows(batchRows) {}

    VectorFileReader _vectors;
    std::optional<VectorFileReader> _ids;
    uint64_t _batchRows;
    uint64_t _next = 0;
    ProgressFn _progress;
};

}  // namespace orvane::tools
