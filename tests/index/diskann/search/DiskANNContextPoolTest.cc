#include "index/diskann/search/DiskANNContextPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace orvane::index::diskann {
namespace {

// Leases held at once, and how many idle contexts the pool keeps afterwards.
struct PoolCase {
    const char* name;
    size_t maxIdle;
    size_t held;
    size_t idleAfter;
};

constexpr PoolCase kPoolCases[] = {
    {"fewer_than_bound", 4, 2, 2},
    {"exactly_bound", 3, 3, 3},
    {"more_than_bound", 2, 7, 2},
    {"keeps_none", 0, 3, 0},
};

TEST(DiskANNContextPoolTest, KeepsAtMostTheBoundAndReusesIdleContexts) {
    for (const PoolCase& c : kPoolCases) {
        SCOPED_TRACE(c.name);
        DiskANNContextPool pool(std::pmr::get_default_resource(), c.maxIdle);
        std::set<const DiskANNContext*> first;
        {
            std::vector<DiskANNContextPool::Lease> leases;
            for (size_t i = 0; i < c.held; ++i) {
                leases.push_back(pool.Acquire());
                first.insert(&*leases.back());
            }
            EXPECT_EQ(first.size(), c.held) << "a context was leased twice";
            EXPECT_EQ(pool.IdleCount(), 0u);
        }
        EXPECT_EQ(pool.IdleCount(), c.idleAfter);
        // The next leases take the idle contexts before creating new ones.
        std::vector<DiskANNContextPool::Lease> again;
        size_t reused = 0;
        for (size_t i = 0; i < c.idleAfter; ++i) {
            again.push_back(pool.Acquire());
            reused += first.count(&*again.back());
        }
        EXPECT_EQ(reused, c.idleAfter);
        EXPECT_EQ(pool.IdleCount(), 0u);
    }
}

TEST(DiskANNContextPoolStressTest, ConcurrentLeasesNeverShareAContext) {
    DiskANNContextPool pool(std::pmr::get_default_resource(), 4);
    std::atomic<int> shared{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                auto lease = pool.Acquire();
                // Each holder writes its own mark and checks nobody else did.
                lease->_topk = static_cast<uint32_t>(t * 1000 + i);
                lease->_visitMap.Resize(64);
                lease->_visitMap.Set(static_cast<size_t>(t));
                std::this_thread::yield();
                if (lease->_topk != static_cast<uint32_t>(t * 1000 + i)) ++shared;
                lease->_visitMap.Reset(static_cast<size_t>(t));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.load(), 0);
    EXPECT_LE(pool.IdleCount(), 4u);
    EXPECT_GE(pool.IdleCount(), 1u);
}

}  // namespace
}  // namespace orvane::index::diskann
