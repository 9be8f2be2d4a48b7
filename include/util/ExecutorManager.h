// ExecutorManager: the process-wide executors, one per purpose, each a pool of
// ORVANE_EXECUTOR_THREAD_COUNT workers (32 when unset) created on first request
// and kept until the process ends.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "api/NoCopyable.h"
#include "api/Result.h"
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
    static constexpr uint32_t kDefaultThreadCount = 32;

    // The singleton; created on first call and never destroyed.
    static ExecutorManager& Instance();

    // The shared executor of `purpose`, created on the first request with the
    // thread count then in the environment. A count of 0 is refused with
    // InvalidArgument on every call, even when the executor already exists.
    core::Result<std::shared_ptr<coro::Executor>> Get(ExecutorPurpose purpose);

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
