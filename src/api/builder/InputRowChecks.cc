#include "api/builder/InputRowChecks.h"

#include <algorithm>
#include <cfloat>
#include <limits>
#include <string>

#include "util/FiniteCheck.h"

namespace orvane::api {

using core::ErrorCode;
using core::Status;

namespace {

std::string RowText(uint64_t row) {
    return "row [" + std::to_string(row) + "]";
}

}  // namespace

Status CheckVectorRows(const float* data, uint64_t rows, uint64_t dim, uint64_t firstRow) {
    if (const auto bad = util::FindNonFiniteRow(data, rows, dim)) {
        return Status(ErrorCode::InvalidArgument,
                      "Vector at " + RowText(firstRow + *bad) + " holds a NaN or infinite value");
    }
    for (uint64_t r = 0; r < rows; ++r) {
        const float* row = data + r * dim;
        double norm = 0.0;
        for (uint64_t k = 0; k < dim; ++k) norm += static_cast<double>(row[k]) * row[k];
        if (norm > static_cast<double>(FLT_MAX)) {
            return Status(ErrorCode::InvalidArgument,
                          "Vector at " + RowText(firstRow + r) +
                              " has a squared norm beyond the float range");
        }
    }
    return Status::Ok();
}

Status CheckRowIds(std::span<const uint64_t> ids, uint64_t firstRow) {
    constexpr uint64_t kPaddingId = std::numeric_limits<uint64_t>::max();
    const auto it = std::find(ids.begin(), ids.end(), kPaddingId);
    if (it == ids.end()) return Status::Ok();
    return Status(ErrorCode::InvalidArgument,
                  "Row id at " + RowText(firstRow + static_cast<uint64_t>(it - ids.begin())) +
                      " is 18446744073709551615, the id of a missing hit");
}

void DuplicateIdCheck::Add(std::span<const uint64_t> ids, uint64_t firstRow) {
    _idRows.reserve(_idRows.size() + ids.size());
    for (uint64_t i = 0; i < ids.size(); ++i) _idRows.emplace_back(ids[i], firstRow + i);
}

Status DuplicateIdCheck::Check() {
    std::sort(_idRows.begin(), _idRows.end());
    const auto it =
        std::adjacent_find(_idRows.begin(), _idRows.end(),
                           [](const auto& a, const auto& b) { return a.first == b.first; });
    if (it == _idRows.end()) return Status::Ok();
    return Status(ErrorCode::InvalidArgument, "Row id [" + std::to_string(it->first) +
                                                  "] appears twice: at " + RowText(it->second) +
                                                  " and " + RowText(std::next(it)->second));
}

}  // namespace orvane::api
