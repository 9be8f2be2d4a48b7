#include "util/ExecutorManager.h"

#include "util/Env.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::util {

using core::ErrorCode;
using core::Status;

ExecutorManager& ExecutorManager::Instance() {
    // Never destroyed: workers may still be running when static destructors run.
    static ExecutorManager* instance = new ExecutorManager();
    return *instance;
}

core::Result<std::shared_ptr<coro::Executor>> ExecutorManager::Get(ExecutorPurpose purpose) {
    const uint32_t threadCount = GetEnvU32Or(kThreadCountEnv, kDefaultThreadCount);
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

}  // namespace orvane::util
