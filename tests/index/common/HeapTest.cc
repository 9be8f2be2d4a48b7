#include "index/common/Heap.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace orvane::index {
namespace {

using Pair = std::pair<uint32_t, float>;

std::vector<Pair> Drain(TopkHeap& heap) {
    auto sorted = heap.ExtractSorted();
    return {sorted.begin(), sorted.end()};
}

struct TopkCase {
    const char* name;
    size_t limit;
    std::vector<Pair> pushes;
    std::vector<Pair> nearestFirst;
};

TEST(HeapTest, TopkHeapKeepsTheNearestAndReplacesOnlyAStrictlyFartherRoot) {
    const TopkCase cases[] = {
        {"below the limit everything stays",
         5,
         {{1, 3.f}, {2, 1.f}, {3, 2.f}},
         {{2, 1.f}, {3, 2.f}, {1, 3.f}}},
        {"a nearer pair evicts the farthest",
         2,
         {{1, 3.f}, {2, 1.f}, {3, 2.f}},
         {{2, 1.f}, {3, 2.f}}},
        {"a farther pair is dropped", 2, {{1, 1.f}, {2, 2.f}, {3, 5.f}}, {{1, 1.f}, {2, 2.f}}},
        // Equal to the root: the root is not strictly greater, the first one stays.
        {"ties keep the first offered", 2, {{1, 1.f}, {2, 2.f}, {3, 2.f}}, {{1, 1.f}, {2, 2.f}}},
        {"limit one", 1, {{1, 4.f}, {2, 3.f}, {3, 9.f}, {4, 0.5f}}, {{4, 0.5f}}},
        {"limit zero keeps nothing", 0, {{1, 4.f}, {2, 3.f}}, {}},
    };
    for (const TopkCase& c : cases) {
        TopkHeap heap(c.limit);
        for (const Pair& p : c.pushes) heap.Push(p);
        EXPECT_LE(heap.Size(), c.limit) << c.name;
        EXPECT_EQ(Drain(heap), c.nearestFirst) << c.name;
        EXPECT_TRUE(heap.Empty()) << c.name;
    }
}

TEST(HeapTest, RootsAreTheFarthestForTopkAndTheNearestForCandidates) {
    TopkHeap topk;
    CandidateHeap candidates;
    EXPECT_EQ(topk.Limit(), std::numeric_limits<size_t>::max());
    EXPECT_FALSE(candidates.Full());
    for (Pair p : std::vector<Pair>{{7, 0.7f}, {2, 0.2f}, {9, 0.9f}, {4, 0.4f}}) {
        topk.Push(p);
        candidates.Push(p);
    }
    EXPECT_EQ(topk.Top(), (Pair{9, 0.9f}));
    std::vector<uint32_t> popped;
    while (!candidates.Empty()) {
        popped.push_back(candidates.Top().first);
        candidates.Pop();
    }
    EXPECT_EQ(popped, (std::vector<uint32_t>{2, 4, 7, 9}));
}

TEST(HeapTest, SetLimitShrinksToTheNearestAndFullFollowsTheLimit) {
    TopkHeap heap;
    for (uint32_t i = 0; i < 10; ++i) heap.Push({i, static_cast<float>(10 - i)});
    heap.SetLimit(3);
    EXPECT_TRUE(heap.Full());
    EXPECT_EQ(Drain(heap), (std::vector<Pair>{{9, 1.f}, {8, 2.f}, {7, 3.f}}));
    EXPECT_EQ(heap.Limit(), 3u);
    EXPECT_FALSE(heap.Full());
}

// Against a sorted reference over random streams, the bounded heap keeps the k
// smallest distances (distinct values, so the set is unique).
TEST(HeapTest, BoundedHeapMatchesASortedReference) {
    std::mt19937 rng(7);
    for (size_t k : {1u, 3u, 16u, 100u}) {
        std::vector<Pair> all;
        TopkHeap heap(k);
        for (uint32_t i = 0; i < 500; ++i) {
            const Pair p{i, static_cast<float>(rng() % 100000) + i * 1e-6f};
            all.push_back(p);
            heap.Push(p);
        }
        std::sort(all.begin(), all.end(),
                  [](const Pair& a, const Pair& b) { return a.second < b.second; });
        all.resize(std::min(k, all.size()));
        EXPECT_EQ(Drain(heap), all) << "k=" << k;
    }
}

}  // namespace
}  // namespace orvane::index
