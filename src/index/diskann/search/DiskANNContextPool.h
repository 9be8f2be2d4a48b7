// DiskANNContextPool: the search contexts of one DiskANN searcher, checked out
// for one search and given back when it ends. A search reuses an idle context
// (and its memory) when there is one and creates one otherwise; at most
// `maxIdle` idle contexts are kept, the others are freed when given back. So
// the memory held is bounded by the searches running at once plus maxIdle
// contexts, however many threads come and go.
//
// Thread-safety: Acquire and the release of a lease may run on any threads at
// once; a lease is used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <utility>
#include <vector>

#include "orvane/core/NoCopyable.h"
#include "index/diskann/graph/DiskANNContext.h"

namespace orvane::index::diskann {

class DiskANNContextPool : public core::NoCopyable {
  public:
    // A checked-out context, given back to its pool when the lease ends.
    class Lease {
      public:
        Lease(DiskANNContextPool& pool, std::unique_ptr<DiskANNContext> context)
            : _pool(pool), _context(std::move(context)) {}
        Lease(Lease&& other) noexcept : _pool(other._pool), _context(std::move(other._context)) {}
        Lease& operator=(Lease&&) = delete;
        ~Lease() {
            if (_context != nullptr) _pool.Release(std::move(_context));
        }

        DiskANNContext& operator*() const { return *_context; }
        DiskANNContext* operator->() const { return _context.get(); }

      private:
        DiskANNContextPool& _pool;
        std::unique_ptr<DiskANNContext> _context;
    };

    DiskANNContextPool(std::pmr::memory_resource* resource, size_t maxIdle)
        : _resource(resource), _maxIdle(maxIdle) {
        _idle.reserve(maxIdle);
    }

    Lease Acquire() {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (!_idle.empty()) {
                std::unique_ptr<DiskANNContext> context = std::move(_idle.back());
                _idle.pop_back();
                return Lease(*this, std::move(context));
            }
        }
        return Lease(*this, std::make_unique<DiskANNContext>(_resource));
    }

    // Idle contexts kept for later searches.
    size_t IdleCount() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _idle.size();
    }
    size_t MaxIdle() const { return _maxIdle; }

  private:
    void Release(std::unique_ptr<DiskANNContext> context) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_idle.size() < _maxIdle) {
                _idle.push_back(std::move(context));
                return;
            }
        }
        // Freed outside the lock: a large context takes a while to free.
        context.reset();
    }

    std::pmr::memory_resource* _resource;
    const size_t _maxIdle;
    mutable std::mutex _mutex;
    std::vector<std::unique_ptr<DiskANNContext>> _idle;
};

}  // namespace orvane::index::diskann
