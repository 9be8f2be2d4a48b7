#include "FileDataset.h"

#include <algorithm>
#include <string>

namespace orvane::tools {

using core::ErrorCode;
using core::Result;
using core::Status;

uint64_t FileDataset::DefaultBatchRows(uint32_t dim) {
    constexpr uint64_t kBatchBytes = 4u << 20;
    return std::max<uint64_t>(1, kBatchBytes / (uint64_t(std::max<uint32_t>(dim, 1)) * 4));
}

Result<FileDataset> FileDataset::Create(VectorFileReader vectors,
                                        std::optional<VectorFileReader> ids, uint64_t batchRows) {
    if (vectors.Element() != ElementType::kFloat32) {
        return Status(ErrorCode::InvalidArgument, vectors.Path() + ": holds " +
                                                      ElementTypeName(vectors.Element()) +
                                                      " values, float32 vectors are needed");
    }
    if (ids.has_value()) {
        if (ids->Element() == ElementType::kFloat32) {
            return Status(ErrorCode::InvalidArgument,
                          ids->Path() + ": holds float32 values, integer row ids are needed");
        }
        if (ids->Dim() != 1) {
            return Status(ErrorCode::InvalidArgument, ids->Path() + ": has " +
                                                          std::to_string(ids->Dim()) +
                                                          " columns, row ids need exactly one");
        }
        if (ids->Rows() != vectors.Rows()) {
            return Status(ErrorCode::InvalidArgument,
                          ids->Path() + ": has " + std::to_string(ids->Rows()) + " ids but " +
                              vectors.Path() + " has " + std::to_string(vectors.Rows()) +
                              " vectors");
        }
    }
    if (batchRows == 0) batchRows = DefaultBatchRows(vectors.Dim());
    return FileDataset(std::move(vectors), std::move(ids), batchRows);
}

Result<uint64_t> FileDataset::GetNextBatch(std::vector<float>& vectors,
                                           std::vector<uint64_t>& ids) {
    const uint64_t count = std::min(_batchRows, _vectors.Rows() - _next);
    vectors.resize(count * _vectors.Dim());
    ids.resize(count);
    if (count == 0) return uint64_t{0};
    ORVANE_RETURN_IF_ERROR(_vectors.ReadFloats(_next, count, vectors.data()));
    if (_ids.has_value()) {
        ORVANE_RETURN_IF_ERROR(_ids->ReadUInt64(_next, count, ids.data()));
    } else {
        for (uint64_t i = 0; i < count; ++i) ids[i] = _next + i;
    }
    _next += count;
    if (_progress) _progress(_next);
    return count;
}

}  // namespace orvane::tools
