#include "coro/detail/Resume.h"

#include <vector>

namespace orvane::coro::detail {

namespace {

// The calling thread's inline resumptions still to run. The vector keeps its
// capacity, so a thread's steady state allocates nothing.
struct InlineResumer {
    bool active = false;
    size_t head = 0;
    std::vector<std::coroutine_handle<>> pending;
};

}  // namespace

void ResumeInline(std::coroutine_handle<> h) {
    thread_local InlineResumer resumer;
    if (resumer.active) {
        resumer.pending.push_back(h);
        return;
    }
    resumer.active = true;
    h.resume();
    // Resumed tasks may queue more; the index (not an iterator) survives growth.
    while (resumer.head < resumer.pending.size()) {
        const std::coroutine_handle<> next = resumer.pending[resumer.head++];
        next.resume();
    }
    resumer.pending.clear();
    resumer.head = 0;
    resumer.active = false;
}

}  // namespace orvane::coro::detail
