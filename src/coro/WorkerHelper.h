// WorkerHelper: lets a worker thread that has to wait keep running the work
// queued to it. A worker blocked on work queued behind itself would wait for
// ever; while it helps, every item queued to it still runs, so a wait on a
// worker of the very executor the awaited work runs on cannot deadlock.
//
// A thread pool installs one helper per worker thread (CurrentWorkerHelper);
// other threads have none and block as usual.
#pragma once

#include <atomic>

namespace orvane::coro {

class WorkerHelper {
  public:
    virtual ~WorkerHelper() = default;

    // Runs items queued to the calling worker, one at a time, until `done` is
    // true, sleeping while there are none. Called only on the helper's worker.
    virtual void HelpUntil(const std::atomic<bool>& done) = 0;
    // Stores true into `done` and wakes the worker if it sleeps in HelpUntil.
    // May be called from any thread; once it returns, neither `done` nor the
    // helper is touched again, so the waiter may free `done` right away.
    virtual void Signal(std::atomic<bool>& done) = 0;
};

// The calling thread's helper: set by a pool on each of its workers, null on
// every other thread.
WorkerHelper*& CurrentWorkerHelper();

}  // namespace orvane::coro
