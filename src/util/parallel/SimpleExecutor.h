// SimpleExecutor: the adapter that lets coroutine tasks run on a
// SimpleThreadPool. Besides plain scheduling it hands out a context naming the
// calling worker (checkout) and later queues work back onto that worker
// (checkin), which is how a suspended coroutine resumes where it left off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "coro/Executor.h"
#include "util/parallel/SimpleThreadPool.h"

namespace orvane::util {

class SimpleExecutor : public coro::Executor {
  public:
    // The bit that marks a context value as a worker index.
    static constexpr uint32_t kContextTag = 0x40000000u;

    // Creates its own pool of threadNum workers (0 is raised to 1).
    explicit SimpleExecutor(uint32_t threadNum);
    // Runs on an existing pool, which it stops when destroyed.
    explicit SimpleExecutor(std::shared_ptr<SimpleThreadPool> pool);
    ~SimpleExecutor() override;

    using coro::Executor::checkin;
    using coro::Executor::schedule;

    bool schedule(Func fn) override;
    bool currentThreadInExecutor() const override;
    coro::ExecutorStat stat() const override;
    size_t currentContextId() const override;
    // The calling worker's index tagged with kContextTag; all ones off the pool.
    Context checkout() override;
    // Queues fn on the worker named by ctx (a null or all-ones context: any
    // worker). With opts.prompt set and the caller being that worker, fn runs
    // inline before checkin returns.
    bool checkin(Func fn, Context ctx, coro::ScheduleOptions opts) override;
    coro::Executor* getIOExecutor() override { return nullptr; }
    // The pool's start failure, or "Thread pool is stopped"; empty while it runs.
    std::string refusalReason() override;

    // Stops the pool after every queued item has run; later schedules fail.
    void waitAllTaskFinish();

    SimpleThreadPool& pool() { return *_pool; }

  private:
    std::shared_ptr<SimpleThreadPool> _pool;
};

}  // namespace orvane::util
