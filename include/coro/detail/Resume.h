// Resumption of a suspended coroutine on the worker it left. Every awaitable of
// the coroutine runtime records (executor, context) when it suspends a task and
// resumes it through here when the awaited event happens on some other thread.
#pragma once

#include <coroutine>

#include "coro/Executor.h"

namespace orvane::coro::detail {

// Where a suspended coroutine wants to be resumed.
struct ResumePoint {
    Executor* executor = nullptr;
    Executor::Context context = Executor::NULLCTX;

    // Records the calling worker of `ex` (or nothing when ex is null).
    static ResumePoint Here(Executor* ex) {
        return ResumePoint{ex, ex != nullptr ? ex->checkout() : Executor::NULLCTX};
    }
};

// Resumes h on the calling thread without nesting: when the thread is already
// inside an inline resumption (a resumed task woke another one, which woke a
// third, ...), h is queued and resumed by the outermost call once the running
// task suspends or ends. A chain of any length thus uses constant stack.
void ResumeInline(std::coroutine_handle<> h);

// Resumes h at `where`: inline when there is no executor, otherwise through
// checkin (inline as well when `prompt` is set and the caller already is that
// worker). When the executor refuses (it is stopping), h is resumed inline so
// that no task is ever lost with its frame and its waiters.
inline void ResumeAt(const ResumePoint& where, std::coroutine_handle<> h, bool prompt = true) {
    if (where.executor == nullptr) {
        ResumeInline(h);
        return;
    }
    ScheduleOptions opts;
    opts.prompt = prompt;
    if (!where.executor->checkin([h] { h.resume(); }, where.context, opts)) {
        ResumeInline(h);
    }
}

}  // namespace orvane::coro::detail
