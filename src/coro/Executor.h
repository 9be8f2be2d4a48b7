// Executor: the interface through which coroutine tasks and callbacks are put
// on worker threads. checkout/checkin let a suspended coroutine resume on the
// worker it left; with ScheduleOptions::prompt it resumes inline when the
// caller already is that worker.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace orvane::coro {

struct ScheduleOptions {
    bool prompt = true;
};

struct ExecutorStat {
    size_t pendingTaskCount = 0;
};

class Executor {
  public:
    using Func = std::function<void()>;
    using Context = void*;
    static constexpr Context NULLCTX = nullptr;

    explicit Executor(std::string name = "default") : _name(std::move(name)) {}
    virtual ~Executor() = default;
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Queues fn; false when the executor refuses it (for example while stopping).
    virtual bool schedule(Func fn) = 0;
    virtual bool currentThreadInExecutor() const { return false; }
    virtual ExecutorStat stat() const { return {}; }
    virtual size_t currentContextId() const { return 0; }
    // A token naming the calling worker, to resume work there later.
    virtual Context checkout() { return NULLCTX; }
    virtual bool checkin(Func fn, Context ctx, ScheduleOptions opts) {
        (void)ctx;
        (void)opts;
        return schedule(std::move(fn));
    }
    virtual bool checkin(Func fn, Context ctx) {
        return checkin(std::move(fn), ctx, ScheduleOptions{});
    }
    virtual Executor* getIOExecutor() { return nullptr; }
    // Why schedule refuses work (for example "Failed to start worker thread
    // [1] of [2]: Resource temporarily unavailable"); empty when it does not
    // or the executor cannot tell. Callers append it to their own message.
    virtual std::string refusalReason() { return {}; }
    // Runs fn after at least `delay`; the default sleeps on a worker first.
    virtual void schedule(Func fn, std::chrono::microseconds delay) {
        schedule([fn = std::move(fn), delay] {
            std::this_thread::sleep_for(delay);
            fn();
        });
    }

    const std::string& name() const { return _name; }

  private:
    std::string _name;
};

}  // namespace orvane::coro
