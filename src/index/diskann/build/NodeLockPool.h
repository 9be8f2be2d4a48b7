// NodeLockPool: the mutexes that guard the neighbour lists of a graph being
// built. Node n uses mutex n & 255, so the mutex count stays fixed however
// large the graph; a thread holds at most one of them at a time, so no lock
// order is needed.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>

#include "orvane/core/NoCopyable.h"
#include "index/diskann/format/DiskANNRecords.h"

namespace orvane::index::diskann {

class NodeLockPool : public core::NoCopyable, public core::NoMoveable {
  public:
    static constexpr size_t kSize = 256;

    std::mutex& Of(node_id_t node) { return _mutexes[node & (kSize - 1)].mutex; }

  private:
    // One cache line per mutex: workers locking different nodes do not contend
    // for a line that happens to hold both mutexes.
    struct alignas(64) PaddedMutex {
        std::mutex mutex;
    };
    std::array<PaddedMutex, kSize> _mutexes;
};

}  // namespace orvane::index::diskann
