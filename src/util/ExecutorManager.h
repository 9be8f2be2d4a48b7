// ExecutorManager: the process-wide executors, one per purpose, each a pool of
// ORVANE_EXECUTOR_THREAD_COUNT workers created on first request and kept until
// the process ends. Unset, a pool has as many workers as the machine has
// hardware threads: more would only make the workers of one query take turns
// on the same cores. A pool's threads start when it is first given work, so
// purposes a process never uses cost no threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Result.h"
#include "coro/Executor.h"

namespace orvane::util {

enum class ExecutorPurpose : uint32_t {
    IO = 0,
    Search = 1,
    Build = 2,
    Compute = 3,
};

class ExecutorManager : public core::NoCopyable, public core::NoMoveable {
  public:
    static constexpr const char* kThreadCountEnv = "ORVANE_EXECUTOR_THREAD_COUNT";
    // The worker count when the variable is unset or unusable: the number of
    // processors this process may run on (its affinity mask; at least 1).
    static uint32_t DefaultThreadCount();

    // The singleton; created on first call and never destroyed.
    static ExecutorManager& Instance();

    // The shared executor of `purpose`, created on the first request with the
    // thread count then in the environment. A count of 0 is refused with
    // InvalidArgument on every call, even when the executor already exists.
    core::Result<std::shared_ptr<coro::Executor>> Get(ExecutorPurpose purpose);

    // Why the executor of `purpose` refuses work, as "worker threads
    // unavailable: <reason>"; empty when it takes work or does not exist.
    std::string RefusalReason(ExecutorPurpose purpose);

  private:
    ExecutorManager() = default;
    ~ExecutorManager() = default;

    static uint64_t MakeKey(ExecutorPurpose purpose) {
        return static_cast<uint64_t>(purpose) << 32;
    }

    std::mutex _mutex;
    std::unordered_map<uint64_t, std::shared_ptr<coro::Executor>> _executors;
};

}  // namespace orvane::util
