#include "index/ivf/IvfRowGather.h"

#include <cstring>
#include <vector>

#include "encoding/RowArrays.h"

namespace orvane::index::ivf {

using core::ErrorCode;
using core::Status;

Status GatherRows(quantizer::QuantizerEvaluatorBase& evaluator, std::span<const uint64_t> order,
                  std::pmr::memory_resource& scratch) {
    if (!evaluator.IsOpened()) {
        return Status(ErrorCode::FailedPrecondition, "Quantizer evaluator is not opened");
    }
    const uint64_t count = evaluator.Count();
    if (order.size() != count) {
        return Status(ErrorCode::InvalidArgument, "Row order length differs from the row count");
    }
    for (const uint64_t row : order) {
        if (row >= count) {
            return Status(ErrorCode::InvalidArgument, "Row order names a row beyond the count");
        }
    }
    auto* rows = dynamic_cast<quantizer::RowArrays*>(&evaluator);
    if (rows == nullptr) {
        return Status(ErrorCode::NotSupported, "Quantizer evaluator cannot rearrange its rows");
    }
    const std::vector<quantizer::RowArray> arrays = rows->MutableRowArrays();
    for (const quantizer::RowArray& array : arrays) {
        if (array.bytes.size() != count * array.rowBytes) {
            return Status(ErrorCode::Internal, "Quantizer row array does not hold every row");
        }
    }
    // Gathered into a copy, since an order may name one row twice.
    std::pmr::vector<std::byte> gathered(&scratch);
    for (const quantizer::RowArray& array : arrays) {
        gathered.resize(array.bytes.size());
        for (uint64_t i = 0; i < count; ++i) {
            std::memcpy(gathered.data() + i * array.rowBytes,
                        array.bytes.data() + order[i] * array.rowBytes, array.rowBytes);
        }
        if (!gathered.empty()) std::memcpy(array.bytes.data(), gathered.data(), gathered.size());
    }
    return Status::Ok();
}

}  // namespace orvane::index::ivf
