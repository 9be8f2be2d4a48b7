// Status: the outcome of a fallible operation, a code plus a message for people.
// [[nodiscard]]: a dropped Status is a dropped failure; write (void) where that is meant.
// Callers branch on Code() only; the message is free text.
#pragma once

#include <string>
#include <utility>

#include "orvane/core/ErrorCode.h"

namespace orvane::core {

class [[nodiscard]] Status {
  public:
    Status() = default;
    explicit Status(ErrorCode code) : _code(code) {}
    Status(ErrorCode code, std::string msg) : _code(code), _msg(std::move(msg)) {}

    static Status Ok() { return Status(); }
    static Status InvalidArgument() {
        return Status(ErrorCode::InvalidArgument, "Invalid argument");
    }
    static Status IoError() { return Status(ErrorCode::IoError, "IO error"); }
    static Status IoError(std::string msg) { return Status(ErrorCode::IoError, std::move(msg)); }
    // An operation called in a state that does not allow it.
    static Status InvalidState() { return Status(ErrorCode::FailedPrecondition, "Invalid state"); }
    static Status InvalidState(std::string msg) {
        return Status(ErrorCode::FailedPrecondition, std::move(msg));
    }

    bool IsOk() const { return _code == ErrorCode::Ok; }
    bool operator!() const { return !IsOk(); }
    ErrorCode Code() const { return _code; }
    const std::string& Message() const { return _msg; }

  private:
    ErrorCode _code = ErrorCode::Ok;
    std::string _msg;
};

}  // namespace orvane::core
