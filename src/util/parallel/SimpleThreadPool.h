// SimpleThreadPool: a fixed set of worker threads, each with its own FIFO queue
// guarded by its own spin mutex, so producers aimed at different workers never
// contend and the many small tasks of search and build stay cheap to queue.
// Items are pinned to the worker whose queue they were put on (no stealing).
// A worker that waits inside an item (on a Baton) keeps running the
// items queued to it meanwhile (coro::WorkerHelper), so no item is stuck
// behind a waiting worker.
//
// The workers start on the first schedule (or an explicit Start), so a pool a
// process never uses costs no threads. When the system refuses a thread (a
// per-user thread limit, a container's pids limit) the pool stops the workers
// it had started and refuses all work with Unavailable; nothing hangs.
//
// A child made by fork() inherits the pools but none of their threads: every
// live pool is reset in the child (its old workers, queues and locks are let go
// without being touched), so it starts fresh workers on its next schedule.
// Items queued in the parent and not yet run are not run in the child.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "orvane/core/ErrorCode.h"
#include "orvane/core/NoCopyable.h"
#include "orvane/core/Status.h"
#include "coro/WorkerHelper.h"
#include "util/parallel/SpinMutex.h"

namespace orvane::util {

// One queued callable; an empty callable is the end marker that stops a worker.
struct WorkItem {
    std::function<void()> fn;

    bool IsEOF() const { return !fn; }
    static const WorkItem EOFWorkItem;
};

// The calling thread's (worker index, pool number). Worker threads set it when
// they start; every other thread keeps (-1, 0), which matches no pool.
std::pair<int, uint64_t>& GetCurrent();

class SimpleThreadPool : public core::NoCopyable, public core::NoMoveable {
  public:
    // Starts one thread running `body`; throws (std::system_error, as
    // std::thread does) when the system refuses. Tests substitute one.
    using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

    // A count of 0 is raised to 1 with a warning. No thread starts here.
    explicit SimpleThreadPool(uint32_t threadNum, ThreadStarter starter = {});
    // Stops the pool (see WaitStop).
    ~SimpleThreadPool();

    // Starts the workers unless they run already; safe to call from any thread
    // and more than once. Unavailable "Failed to start worker thread [i] of
    // [n]: <reason>" when a thread cannot be created (the outcome sticks: the
    // pool then refuses all work) or "Thread pool is stopped" after WaitStop.
    core::Status Start();
    // True once the workers run.
    bool IsStarted() const {
        return _startState.load(std::memory_order_acquire) == StartState::Running;
    }

    // Queues fn on the next worker in round-robin order.
    core::ErrorCode Schedule(std::function<void()> fn);
    // Queues fn on worker `id` (-1: any worker), starting the workers first if
    // needed. InvalidArgument for an empty fn or an index out of range;
    // Unavailable once the pool is stopping or when its workers cannot start.
    core::ErrorCode ScheduleById(std::function<void()> fn, int32_t id = -1);

    // The calling thread's worker index in this pool, or -1 off the pool.
    int32_t GetCurrentId() const;
    uint32_t GetThreadNum() const { return _threadNum; }
    uint64_t GetPoolId() const { return _poolId; }

    // Refuses new work, lets every worker finish the items queued before the
    // stop, and joins the workers. A second call returns at once. Must not be
    // called from one of this pool's own workers.
    void WaitStop();

  private:
    friend struct PoolForkRegistry;

    // The helper installed on worker `index`.
    class Helper : public coro::WorkerHelper {
      public:
        Helper(SimpleThreadPool* pool, uint32_t index) : _pool(pool), _index(index) {}
        void HelpUntil(const std::atomic<bool>& done) override;
        void Signal(std::atomic<bool>& done) override;

      private:
        SimpleThreadPool* const _pool;
        const uint32_t _index;
    };

    enum class StartState : int { NotStarted, Running, Failed };

    void WorkerLoop(uint32_t index);
    // Creates the threads; requires _startMutex.
    core::Status StartLocked();
    // Queues the end marker to workers [0, count) and joins their threads.
    void StopWorkers(uint32_t count);
    // Runs one item, logging what it throws.
    static void RunItem(WorkItem& item);
    // In a forked child (one thread): drops the parent's workers, queues and
    // locks without destroying them and returns the pool to NotStarted.
    void ResetInForkedChild();

    uint32_t _threadNum;
    std::atomic<uint32_t> _nextThread{0};
    std::vector<std::thread> _threads;
    std::vector<std::deque<WorkItem>> _queues;
    std::vector<std::unique_ptr<SpinMutex>> _mutexs;
    std::vector<std::unique_ptr<std::condition_variable_any>> _conds;
    // Per worker, guarded by its spin mutex: true while it waits on its condition.
    std::unique_ptr<bool[]> _sleeping;
    std::vector<std::unique_ptr<Helper>> _helpers;
    const uint64_t _poolId;
    std::atomic<bool> _stop{false};
    ThreadStarter _starter;
    std::atomic<StartState> _startState{StartState::NotStarted};
    std::mutex _startMutex;  // guards starting, _threads and _startStatus
    core::Status _startStatus;
};

// Creates a pool of threadNum workers (0 is raised to 1 with a warning).
std::unique_ptr<SimpleThreadPool> CreateSimpleThreadPool(uint32_t threadNum);

}  // namespace orvane::util
