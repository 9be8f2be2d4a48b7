// Result<T>: either a value of T or the failing Status that explains its absence.
// [[nodiscard]] like Status.
#pragma once

#include <utility>
#include <variant>

#include "orvane/core/Status.h"

namespace orvane::core {

template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : _v(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(Status status) : _v(std::in_place_index<1>, std::move(status)) {}  // NOLINT

    static Result Ok(T value) { return Result(std::move(value)); }
    static Result Err(Status status) { return Result(std::move(status)); }

    bool IsOk() const { return _v.index() == 0; }
    explicit operator bool() const { return IsOk(); }

    T& Value() & { return std::get<0>(_v); }
    const T& Value() const& { return std::get<0>(_v); }
    T TakeValue() { return std::move(std::get<0>(_v)); }

    Status& GetStatus() { return std::get<1>(_v); }
    const Status& GetStatus() const { return std::get<1>(_v); }
    Status TakeStatus() { return std::move(std::get<1>(_v)); }

  private:
    std::variant<T, Status> _v;
};

}  // namespace orvane::core

// Propagates a failing Status out of the enclosing function.
#define ORVANE_RETURN_IF_ERROR(expr)             \
    do {                                         \
        ::orvane::core::Status _orv_st = (expr); \
        if (!_orv_st.IsOk()) return _orv_st;     \
    } while (0)
