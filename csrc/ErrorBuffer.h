// ErrorBuffer: copies a failure message into a C caller's buffer. At most
// len-1 characters are copied (the rest of the buffer is zero-filled, as
// strncpy does) and the last byte is always a terminating zero. A null buffer
// or a length of 0 or less receives nothing. Internal to liborvane_py.
#pragma once

#include <cstring>
#include <string_view>

#pragma GCC visibility push(hidden)

namespace orvane::csrc {

inline void CopyError(std::string_view message, char* err, int len) {
    if (err == nullptr || len <= 0) return;
    // Like strncpy, the copy stops at an embedded zero byte.
    message = message.substr(0, message.find('\0'));
    const size_t room = static_cast<size_t>(len) - 1;
    const size_t n = message.size() < room ? message.size() : room;
    if (n != 0) std::memcpy(err, message.data(), n);
    std::memset(err + n, 0, static_cast<size_t>(len) - n);
}

}  // namespace orvane::csrc

#pragma GCC visibility pop
