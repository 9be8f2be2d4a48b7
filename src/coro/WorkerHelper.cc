#include "coro/WorkerHelper.h"

namespace orvane::coro {

WorkerHelper*& CurrentWorkerHelper() {
    thread_local WorkerHelper* helper = nullptr;
    return helper;
}

}  // namespace orvane::coro
