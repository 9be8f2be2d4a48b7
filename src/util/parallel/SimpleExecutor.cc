#include "util/parallel/SimpleExecutor.h"

#include <utility>

namespace orvane::util {

using core::ErrorCode;

namespace {

constexpr uintptr_t kAnyWorkerContext = ~static_cast<uintptr_t>(0);

}  // namespace

SimpleExecutor::SimpleExecutor(uint32_t threadNum)
    : coro::Executor("default"), _pool(CreateSimpleThreadPool(threadNum)) {}

SimpleExecutor::SimpleExecutor(std::shared_ptr<SimpleThreadPool> pool)
    : coro::Executor("default"), _pool(std::move(pool)) {}

SimpleExecutor::~SimpleExecutor() {
    if (_pool) _pool->WaitStop();
}

bool SimpleExecutor::schedule(Func fn) {
    return _pool->ScheduleById(std::move(fn), -1) == ErrorCode::Ok;
}

std::string SimpleExecutor::refusalReason() {
    // Start is idempotent: a failed start sticks, so this reports that failure.
    const core::Status started = _pool->Start();
    return started.IsOk() ? std::string() : started.Message();
}

bool SimpleExecutor::currentThreadInExecutor() const {
    return _pool->GetCurrentId() != -1;
}

coro::ExecutorStat SimpleExecutor::stat() const {
    return coro::ExecutorStat{0};
}

size_t SimpleExecutor::currentContextId() const {
    const int32_t id = _pool->GetCurrentId();
    return id < 0 ? 0 : static_cast<size_t>(id);
}

coro::Executor::Context SimpleExecutor::checkout() {
    // Off the pool the index is -1, so the tagged value is all ones.
    const int32_t tagged = _pool->GetCurrentId() | static_cast<int32_t>(kContextTag);
    return reinterpret_cast<Context>(static_cast<intptr_t>(tagged));
}

bool SimpleExecutor::checkin(Func fn, Context ctx, coro::ScheduleOptions opts) {
    if (ctx == NULLCTX) return schedule(std::move(fn));
    const uintptr_t raw = reinterpret_cast<uintptr_t>(ctx);
    if (raw == kAnyWorkerContext) return _pool->ScheduleById(std::move(fn), -1) == ErrorCode::Ok;
    const int32_t index = static_cast<int32_t>(static_cast<uint32_t>(raw) & ~kContextTag);
    if (opts.prompt && _pool->GetCurrentId() == index) {
        fn();
        return true;
    }
    return _pool->ScheduleById(std::move(fn), index) == ErrorCode::Ok;
}

void SimpleExecutor::waitAllTaskFinish() {
    _pool->WaitStop();
}

}  // namespace orvane::util
