// CallSite: the source file and line of a call, captured through a default
// argument, so a shared helper can log on behalf of the code that called it.
#pragma once

namespace orvane::util {

struct CallSite {
    // Used as `CallSite where = CallSite::Current()`; the builtins then name
    // the caller's location, as both GCC and clang evaluate them there.
    static constexpr CallSite Current(const char* file = __builtin_FILE(),
                                      int line = __builtin_LINE()) noexcept {
        return CallSite{file, line};
    }

    const char* file = "";
    int line = 0;
};

}  // namespace orvane::util
