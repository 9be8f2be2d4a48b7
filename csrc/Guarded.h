// Guarded: runs the body of a C entry point, turning any escaping exception into
// a message in the caller's error buffer and the entry point's failure value, so
// that nothing is thrown across the C boundary. Internal to liborvane_py.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "ErrorBuffer.h"

#pragma GCC visibility push(hidden)

namespace orvane::csrc {

template <typename T, typename Body>
T Guarded(char* err, int errLen, T failed, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        CopyError("Out of memory", err, errLen);
    } catch (const std::exception& e) {
        CopyError(std::string("Internal error: ") + e.what(), err, errLen);
    } catch (...) {
        CopyError("Internal error", err, errLen);
    }
    return failed;
}

}  // namespace orvane::csrc

#pragma GCC visibility pop
