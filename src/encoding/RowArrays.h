// RowArrays: the arrays in which an opened evaluator keeps one fixed-size
// entry per stored row (the rows' codes and, for sq8, their headers and code
// sums), as views of their bytes. Entry i of every array is at i * rowBytes,
// so moving every array's entries by one order re-numbers the rows
// consistently, and the scorer, which reads the arrays directly, then scores
// the rows under their new numbers at no extra cost.
//
// Every evaluator implements it beside QuantizerEvaluatorBase; the scoring
// interface does not declare it. Code that re-orders rows (IVF's lists,
// index/ivf/IvfRowGather.h) reaches it by a cast from the base, once per
// open, never while rows are scored. The views are empty before Open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <type_traits>
#include <vector>

namespace orvane::quantizer {

// One per-row array: Count() entries of rowBytes bytes, row after row.
struct RowArray {
    std::span<std::byte> bytes;
    uint64_t rowBytes = 0;
};

// The bytes of a vector holding rowElems elements per row.
template <typename T>
RowArray RowArrayOf(std::pmr::vector<T>& rows, uint64_t rowElems) {
    static_assert(std::is_trivially_copyable_v<T>, "row entries are moved as bytes");
    return {std::as_writable_bytes(std::span<T>(rows)), rowElems * sizeof(T)};
}

class RowArrays {
  public:
    virtual ~RowArrays() = default;
    // Every per-row array the scorer reads; not safe while other threads score.
    virtual std::vector<RowArray> MutableRowArrays() = 0;
};

}  // namespace orvane::quantizer
