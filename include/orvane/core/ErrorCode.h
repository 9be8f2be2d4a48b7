// ErrorCode: the numeric failure codes carried by every Status. The values are
// part of the external interface (the C interface and log lines print them).
#pragma once

#include <cstdint>

namespace orvane::core {
inline namespace v1 {

enum class ErrorCode : int32_t {
    Ok = 0,
    InvalidArgument = 1,
    NotFound = 2,
    AlreadyExists = 3,
    NotSupported = 4,
    IoError = 5,
    Timeout = 6,
    ResourceExhausted = 7,
    Unavailable = 8,
    PermissionDenied = 9,
    Unauthenticated = 10,
    Internal = 11,
    Corruption = 12,
    Cancelled = 13,
    DeadlineExceeded = 14,
    Conflict = 15,
    OutOfMemory = 16,
    PartialFailure = 17,
    RateLimited = 18,
    FailedPrecondition = 19,
};

}  // namespace v1
}  // namespace orvane::core
