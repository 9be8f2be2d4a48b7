// Try<T>: the outcome of a coroutine task, either a value of T or the exception
// that was thrown instead. It lets results cross threads and task boundaries
// without any exception being thrown until the caller asks for the value.
#pragma once

#include <exception>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

namespace orvane::coro {

template <typename T>
class Try {
  public:
    Try() = default;
    Try(T value) : _v(std::in_place_index<1>, std::move(value)) {}  // NOLINT: implicit
    Try(std::exception_ptr error) : _v(std::in_place_index<2>, std::move(error)) {}  // NOLINT

    // True once a value or an exception is held.
    bool available() const { return _v.index() != 0; }
    bool hasValue() const { return _v.index() == 1; }
    bool hasError() const { return _v.index() == 2; }

    // The value; rethrows the held exception, or throws std::logic_error when empty.
    T& value() & {
        check();
        return std::get<1>(_v);
    }
    const T& value() const& {
        check();
        return std::get<1>(_v);
    }
    T&& value() && {
        check();
        return std::move(std::get<1>(_v));
    }

    // The held exception, or null when there is none.
    std::exception_ptr exception() const {
        return hasError() ? std::get<2>(_v) : std::exception_ptr();
    }

    void setValue(T value) { _v.template emplace<1>(std::move(value)); }
    void setException(std::exception_ptr error) { _v.template emplace<2>(std::move(error)); }

  private:
    void check() const {
        if (hasError()) std::rethrow_exception(std::get<2>(_v));
        if (!hasValue()) throw std::logic_error("Try holds no value");
    }

    std::variant<std::monostate, T, std::exception_ptr> _v;
};

// Try<void>: completion without a value, or the exception that ended the task.
template <>
class Try<void> {
  public:
    Try() = default;
    Try(std::exception_ptr error) : _error(std::move(error)), _done(true) {}  // NOLINT

    // A completed Try<void> without error.
    static Try<void> Done() {
        Try<void> t;
        t._done = true;
        return t;
    }

    bool available() const { return _done; }
    bool hasValue() const { return _done && !_error; }
    bool hasError() const { return static_cast<bool>(_error); }

    // Rethrows the held exception; throws std::logic_error when not completed.
    void value() const {
        if (_error) std::rethrow_exception(_error);
        if (!_done) throw std::logic_error("Try holds no value");
    }
    std::exception_ptr exception() const { return _error; }

    void setValue() {
        _error = nullptr;
        _done = true;
    }
    void setException(std::exception_ptr error) {
        _error = std::move(error);
        _done = true;
    }

  private:
    std::exception_ptr _error;
    bool _done = false;
};

}  // namespace orvane::coro
