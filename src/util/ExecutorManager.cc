#include "util/ExecutorManager.h"

#include <pthread.h>
#include <sched.h>

#include <thread>

#include "util/Env.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::util {

using core::ErrorCode;
using core::Status;

ExecutorManager& ExecutorManager::Instance() {
    // Never destroyed: workers may still be running when static destructors run.
    // The map's mutex is held across fork() so a child never inherits it
    // locked; the pools themselves reset in the child (SimpleThreadPool).
    static ExecutorManager* instance = [] {
        auto* created = new ExecutorManager();
        ::pthread_atfork([] { Instance()._mutex.lock(); }, [] { Instance()._mutex.unlock(); },
                         [] { Instance()._mutex.unlock(); });
        return created;
    }();
    return *instance;
}

uint32_t ExecutorManager::DefaultThreadCount() {
    // The processors this process may run on: under taskset, a cpuset or a
    // container's CPU limit that is fewer than the machine has, and more
    // threads than that only take turns on the same cores.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0) return static_cast<uint32_t>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : static_cast<uint32_t>(hardware);
}

core::Result<std::shared_ptr<coro::Executor>> ExecutorManager::Get(ExecutorPurpose purpose) {
    const uint32_t threadCount = GetEnvU32Or(kThreadCountEnv, DefaultThreadCount());
    if (threadCount == 0) {
        return Status(ErrorCode::InvalidArgument, "Thread count must be > 0");
    }
    std::lock_guard<std::mutex> lock(_mutex);
    const uint64_t key = MakeKey(purpose);
    auto it = _executors.find(key);
    if (it != _executors.end()) return it->second;
    std::shared_ptr<coro::Executor> executor = std::make_shared<SimpleExecutor>(threadCount);
    _executors.emplace(key, executor);
    return executor;
}

std::string ExecutorManager::RefusalReason(ExecutorPurpose purpose) {
    std::shared_ptr<coro::Executor> executor;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = _executors.find(MakeKey(purpose));
        if (it == _executors.end()) return {};
        executor = it->second;
    }
    const std::string reason = executor->refusalReason();
    return reason.empty() ? reason : "worker threads unavailable: " + reason;
}

}  // namespace orvane::util
