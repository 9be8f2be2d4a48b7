#include "io/TempFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::io {
namespace {

TEST(TempFilesTest, ListedFilesAreRemovedAndUnlistedOnesKept) {
    testing::TempDir dir;
    testing::WriteFileBytes(dir.File("listed"), "x");
    testing::WriteFileBytes(dir.File("released"), "x");
    const int listed = RegisterPendingTempFile(dir.File("listed"));
    const int released = RegisterPendingTempFile(dir.File("released"));
    ASSERT_GE(listed, 0);
    ASSERT_GE(released, 0);
    UnregisterPendingTempFile(released);
    RemovePendingTempFiles();
    EXPECT_EQ(dir.List(), std::vector<std::string>{"released"});
    UnregisterPendingTempFile(listed);
    EXPECT_EQ(RegisterPendingTempFile(std::string(5000, 'a')), -1);  // too long to list
    UnregisterPendingTempFile(-1);                                    // ignored
}

TEST(TempFilesTest, AFullTableRefusesMoreAndFreedSlotsAreReused) {
    std::vector<int> slots;
    for (int slot; (slot = RegisterPendingTempFile("/nonexistent/x")) >= 0;) slots.push_back(slot);
    EXPECT_FALSE(slots.empty());
    EXPECT_EQ(std::set<int>(slots.begin(), slots.end()).size(), slots.size());
    UnregisterPendingTempFile(slots.back());
    EXPECT_EQ(RegisterPendingTempFile("/nonexistent/y"), slots.back());
    for (int slot : slots) UnregisterPendingTempFile(slot);
}

// Writers on several threads claim and release slots at once: no slot is ever
// handed to two of them.
TEST(TempFilesStressTest, ConcurrentWritersNeverShareASlot) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::atomic<int> owners[64] = {};
    std::atomic<bool> clash{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string path = "/nonexistent/writer" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                const int slot = RegisterPendingTempFile(path);
                if (slot < 0) continue;
                if (owners[slot].fetch_add(1) != 0) clash = true;
                owners[slot].fetch_sub(1);
                UnregisterPendingTempFile(slot);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(clash.load());
}

}  // namespace
}  // namespace orvane::io
