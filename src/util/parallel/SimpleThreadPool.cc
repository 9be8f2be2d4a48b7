#include "util/parallel/SimpleThreadPool.h"

#include <pthread.h>

#include <exception>
#include <mutex>
#include <string>
#include <unordered_set>

#include "telemetry/Logger.h"

namespace orvane::util {

using core::ErrorCode;
using core::Status;

const WorkItem WorkItem::EOFWorkItem{};

namespace {

// Pool numbers start at 1 so the thread-local default (0) matches no pool.
std::atomic<uint64_t> g_nextPoolId{1};

uint32_t CheckedThreadNum(uint32_t threadNum) {
    if (threadNum == 0) {
        ORVANE_LOG_WARN("ThreadNum can not be zero, we will reset it to one.");
        return 1;
    }
    return threadNum;
}

}  // namespace

// The live pools, so that a forked child can reset each. The fork handlers hold
// the registry's mutex and every pool's start mutex across fork(), so the child
// sees no pool half-registered or half-started.
struct PoolForkRegistry {
    std::mutex mutex;
    std::unordered_set<SimpleThreadPool*> pools;

    static PoolForkRegistry& Instance() {
        // Never destroyed: pools may outlive static destruction.
        static PoolForkRegistry* registry = [] {
            auto* created = new PoolForkRegistry();
            ::pthread_atfork(&Prepare, &Parent, &Child);
            return created;
        }();
        return *registry;
    }
    static void Prepare() {
        auto& self = Instance();
        self.mutex.lock();
        for (SimpleThreadPool* pool : self.pools) pool->_startMutex.lock();
    }
    static void Parent() {
        auto& self = Instance();
        for (SimpleThreadPool* pool : self.pools) pool->_startMutex.unlock();
        self.mutex.unlock();
    }
    static void Child() {
        auto& self = Instance();
        // The forking thread may have been a worker; in the child it is not.
        GetCurrent() = {-1, 0};
        coro::CurrentWorkerHelper() = nullptr;
        for (SimpleThreadPool* pool : self.pools) {
            pool->ResetInForkedChild();
            pool->_startMutex.unlock();
        }
        self.mutex.unlock();
    }
    void Add(SimpleThreadPool* pool) {
        std::lock_guard<std::mutex> lock(mutex);
        pools.insert(pool);
    }
    void Remove(SimpleThreadPool* pool) {
        std::lock_guard<std::mutex> lock(mutex);
        pools.erase(pool);
    }
};

std::pair<int, uint64_t>& GetCurrent() {
    thread_local std::pair<int, uint64_t> current{-1, 0};
    return current;
}

SimpleThreadPool::SimpleThreadPool(uint32_t threadNum, ThreadStarter starter)
    : _threadNum(CheckedThreadNum(threadNum)),
      _poolId(g_nextPoolId.fetch_add(1, std::memory_order_relaxed)),
      _starter(std::move(starter)) {
    _stop.store(false, std::memory_order_relaxed);
    _queues.resize(_threadNum);
    _sleeping = std::make_unique<bool[]>(_threadNum);
    _mutexs.reserve(_threadNum);
    _conds.reserve(_threadNum);
    _helpers.reserve(_threadNum);
    for (uint32_t i = 0; i < _threadNum; ++i) {
        _mutexs.push_back(std::make_unique<SpinMutex>());
        _conds.push_back(std::make_unique<std::condition_variable_any>());
        _helpers.push_back(std::make_unique<Helper>(this, i));
    }
    PoolForkRegistry::Instance().Add(this);
}

void SimpleThreadPool::ResetInForkedChild() {
    // The parent's threads do not exist here: their handles, queued items and
    // locks (possibly held by a worker at the fork) are leaked on purpose, since
    // destroying a joinable thread handle or a held lock is undefined.
    if (!_threads.empty()) new std::vector<std::thread>(std::move(_threads));
    _threads.clear();
    for (uint32_t i = 0; i < _threadNum; ++i) {
        if (!_queues[i].empty()) new std::deque<WorkItem>(std::move(_queues[i]));
        _queues[i].clear();
        (void)_mutexs[i].release();
        _mutexs[i] = std::make_unique<SpinMutex>();
        (void)_conds[i].release();
        _conds[i] = std::make_unique<std::condition_variable_any>();
        _sleeping[i] = false;
    }
    _nextThread.store(0, std::memory_order_relaxed);
    _startStatus = Status();
    if (!_stop.load(std::memory_order_relaxed)) {
        _startState.store(StartState::NotStarted, std::memory_order_relaxed);
    }
}

Status SimpleThreadPool::Start() {
    if (_startState.load(std::memory_order_acquire) == StartState::Running) return Status();
    std::lock_guard<std::mutex> lock(_startMutex);
    return StartLocked();
}

Status SimpleThreadPool::StartLocked() {
    switch (_startState.load(std::memory_order_acquire)) {
        case StartState::Running:
            return Status();
        case StartState::Failed:
            return _startStatus;
        case StartState::NotStarted:
            break;
    }
    if (_stop.load(std::memory_order_acquire)) {
        return Status(ErrorCode::Unavailable, "Thread pool is stopped");
    }
    _threads.reserve(_threadNum);
    for (uint32_t i = 0; i < _threadNum; ++i) {
        try {
            std::function<void()> body = [this, i] { WorkerLoop(i); };
            _threads.push_back(_starter ? _starter(std::move(body)) : std::thread(std::move(body)));
        } catch (const std::exception& e) {
            _startStatus = Status(ErrorCode::Unavailable,
                                  "Failed to start worker thread [" + std::to_string(i) + "] of [" +
                                      std::to_string(_threadNum) + "]: " + e.what());
            ORVANE_LOG_ERROR("SimpleThreadPool[%p]: %s", static_cast<void*>(this),
                             _startStatus.Message().c_str());
            // The workers already running would otherwise wait for ever.
            StopWorkers(i);
            _startState.store(StartState::Failed, std::memory_order_release);
            return _startStatus;
        }
    }
    _startState.store(StartState::Running, std::memory_order_release);
    return Status();
}

void SimpleThreadPool::StopWorkers(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        {
            std::lock_guard<SpinMutex> lock(*_mutexs[i]);
            _queues[i].push_back(WorkItem::EOFWorkItem);
        }
        _conds[i]->notify_one();
    }
    const std::thread::id self = std::this_thread::get_id();
    for (auto& thread : _threads) {
        if (!thread.joinable()) continue;
        if (thread.get_id() == self) {
            // Joining oneself would throw; the caller broke the contract of WaitStop.
            ORVANE_LOG_ERROR("SimpleThreadPool[%p] stopped from its own worker.",
                             static_cast<void*>(this));
            thread.detach();
            continue;
        }
        thread.join();
    }
    _threads.clear();
}

SimpleThreadPool::~SimpleThreadPool() {
    WaitStop();
    PoolForkRegistry::Instance().Remove(this);
}

void SimpleThreadPool::RunItem(WorkItem& item) {
    try {
        item.fn();
    } catch (const std::exception& e) {
        ORVANE_LOG_ERROR("Task in simple thread pool throws an exception[%s]", e.what());
    } catch (...) {
        ORVANE_LOG_ERROR("Schedule failed: unknown exception");
    }
}

void SimpleThreadPool::WorkerLoop(uint32_t index) {
    GetCurrent() = {static_cast<int>(index), _poolId};
    coro::CurrentWorkerHelper() = _helpers[index].get();
    auto& queue = _queues[index];
    SpinMutex& mutex = *_mutexs[index];
    std::condition_variable_any& cond = *_conds[index];
    bool& sleeping = _sleeping[index];
    for (;;) {
        WorkItem item;
        {
            std::unique_lock<SpinMutex> lock(mutex);
            while (queue.empty()) {
                sleeping = true;
                cond.wait(lock);
                sleeping = false;
            }
            item = std::move(queue.front());
            queue.pop_front();
        }
        if (item.IsEOF()) break;
        RunItem(item);
    }
    coro::CurrentWorkerHelper() = nullptr;
}

void SimpleThreadPool::Helper::HelpUntil(const std::atomic<bool>& done) {
    auto& queue = _pool->_queues[_index];
    SpinMutex& mutex = *_pool->_mutexs[_index];
    std::condition_variable_any& cond = *_pool->_conds[_index];
    bool& sleeping = _pool->_sleeping[_index];
    for (;;) {
        WorkItem item;
        {
            // `done` is read under the queue's lock and Signal sets it under the
            // same lock, so its wake-up cannot be lost. The end marker is left
            // for the worker loop: this wait ends by `done` alone.
            std::unique_lock<SpinMutex> lock(mutex);
            while (!done.load(std::memory_order_acquire) &&
                   (queue.empty() || queue.front().IsEOF())) {
                sleeping = true;
                cond.wait(lock);
                sleeping = false;
            }
            if (done.load(std::memory_order_acquire)) return;
            item = std::move(queue.front());
            queue.pop_front();
        }
        RunItem(item);
    }
}

void SimpleThreadPool::Helper::Signal(std::atomic<bool>& done) {
    std::lock_guard<SpinMutex> lock(*_pool->_mutexs[_index]);
    done.store(true, std::memory_order_release);
    _pool->_conds[_index]->notify_one();
}

ErrorCode SimpleThreadPool::Schedule(std::function<void()> fn) {
    return ScheduleById(std::move(fn), -1);
}

ErrorCode SimpleThreadPool::ScheduleById(std::function<void()> fn, int32_t id) {
    if (!fn) {
        ORVANE_LOG_ERROR("Fn can not be nullptr.");
        return ErrorCode::InvalidArgument;
    }
    if (_stop.load(std::memory_order_acquire)) return ErrorCode::Unavailable;
    if (id == -1) {
        id = static_cast<int32_t>(_nextThread.fetch_add(1, std::memory_order_relaxed) % _threadNum);
    }
    if (id < -1 || static_cast<uint32_t>(id) >= _threadNum) return ErrorCode::InvalidArgument;
    if (_startState.load(std::memory_order_acquire) != StartState::Running && !Start().IsOk()) {
        return ErrorCode::Unavailable;
    }
    bool wake = false;
    {
        // _stop is checked again under the queue's lock: WaitStop queues the end
        // marker under the same lock, so nothing can land behind it.
        std::lock_guard<SpinMutex> lock(*_mutexs[id]);
        if (_stop.load(std::memory_order_acquire)) return ErrorCode::Unavailable;
        _queues[id].push_back(WorkItem{std::move(fn)});
        wake = _sleeping[id];
    }
    // A busy worker finds the item when it next looks at its queue, so only a
    // sleeping one is woken; that spares the condition variable's internal
    // mutex on most schedules. No wake-up is lost: a worker sets the flag under
    // the queue's lock and the wait releases that lock atomically.
    if (wake) _conds[id]->notify_one();
    return ErrorCode::Ok;
}

int32_t SimpleThreadPool::GetCurrentId() const {
    const auto& current = GetCurrent();
    return current.second == _poolId ? current.first : -1;
}

void SimpleThreadPool::WaitStop() {
    bool expected = false;
    if (!_stop.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return;
    ORVANE_LOG_INFO("SimpleThreadPool[%p] is stopping.", static_cast<void*>(this));
    {
        // A start in progress finishes first; later ones see _stop and refuse.
        std::lock_guard<std::mutex> lock(_startMutex);
        if (_startState.load(std::memory_order_acquire) == StartState::Running) {
            StopWorkers(_threadNum);
        }
    }
    ORVANE_LOG_INFO("SimpleThreadPool[%p] is stopped.", static_cast<void*>(this));
}

std::unique_ptr<SimpleThreadPool> CreateSimpleThreadPool(uint32_t threadNum) {
    return std::make_unique<SimpleThreadPool>(CheckedThreadNum(threadNum));
}

}  // namespace orvane::util
