// Slack-factor pruning of candidate lists, and the connectivity repair.
#include <gtest/gtest.h>

#include <map>
#include <memory_resource>
#include <utility>
#include <vector>

#include "index/diskann/build/BuildMemoryStorage.h"
#include "index/diskann/build/GraphConnectivity.h"
#include "index/diskann/build/GraphPruning.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

struct PruneCase {
    const char* name;
    uint64_t degree;
    float slack;
    std::vector<PruneNode> candidates;
    // Symmetric distances between candidate ids; absent pairs are far (100).
    std::map<std::pair<uint32_t, uint32_t>, float> between;
    std::vector<uint32_t> kept;
};

const PruneCase kPruneCases[] = {
    {"second_occluded_third_kept_fourth_not_tried",
     2,
     1.0f,
     {{4, -1, 4.0f}, {2, -1, 2.0f}, {1, -1, 1.0f}, {3, -1, 3.0f}},
     {{{1, 2}, 1.5f}},
     {1, 3}},
    {"third_also_occluded_then_fourth_tried",
     2,
     1.0f,
     {{1, -1, 1.0f}, {2, -1, 2.0f}, {3, -1, 3.0f}, {4, -1, 4.0f}},
     {{{1, 2}, 1.5f}, {{1, 3}, 2.0f}},
     {1, 4}},
    {"slack_one_drops_only_strictly_closer",
     4,
     1.0f,
     {{1, -1, 1.0f}, {2, -1, 2.0f}, {3, -1, 3.0f}},
     {{{1, 2}, 2.0f}, {{1, 3}, 2.9f}},
     {1, 2}},
    {"larger_slack_keeps_longer_edges",
     4,
     1.5f,
     {{1, -1, 1.0f}, {2, -1, 3.0f}},
     {{{1, 2}, 2.5f}},
     {1, 2}},
    {"two_coinciding_with_base_only_even_position_survives",
     4,
     1.0f,
     {{8, -1, 5e-10f}, {7, -1, 0.0f}, {9, -1, 1.0f}},
     {{{7, 9}, 0.1f}, {{8, 9}, 0.1f}},
     {7, 9}},
    {"previous_survivors_are_not_compared_again",
     4,
     1.0f,
     {{1, 0, 1.0f}, {2, 1, 2.0f}, {3, -1, 3.0f}},
     {{{1, 2}, 0.5f}, {{2, 3}, 0.5f}},
     {1, 2}},
};

TEST(DiskANNPruneTest, Cases) {
    for (const PruneCase& c : kPruneCases) {
        SCOPED_TRACE(c.name);
        std::vector<PruneNode> list = c.candidates;
        auto distance = [&c](uint32_t a, uint32_t b) {
            auto it = c.between.find({std::min(a, b), std::max(a, b)});
            return it == c.between.end() ? 100.0f : it->second;
        };
        auto isMinDist = [](float d) { return -1e-9f < d && d < 1e-9f; };
        PruneNeighbor(list, c.degree, c.slack, distance, isMinDist);
        std::vector<uint32_t> kept;
        for (const PruneNode& n : list) kept.push_back(n.nodeId);
        EXPECT_EQ(kept, c.kept);
    }
}

// A storage of `count` nodes with the given lists and entry point 0.
void MakeGraph(BuildMemoryStorage& storage, uint32_t count, uint64_t degree,
               const std::vector<std::vector<uint32_t>>& lists) {
    ASSERT_TRUE(storage.Init(count, 1, degree).IsOk());
    for (uint32_t v = 0; v < lists.size(); ++v) {
        for (uint32_t j = 0; j < lists[v].size(); ++j) storage.NeighborRow(v)[j] = lists[v][j];
        storage.NeighborSize(v) = static_cast<uint32_t>(lists[v].size());
    }
    storage.entryPoints = {0};
}

TEST(DiskANNRepairTest, AttachesEveryUnreachableNode) {
    const struct {
        const char* name;
        uint64_t degree;
        std::vector<std::vector<uint32_t>> lists;
        std::vector<std::vector<uint32_t>> repaired;  // lists expected afterwards
    } cases[] = {
        {"free_slots_take_unreachable_nodes", 3, {{1}, {0}, {}, {2}}, {{1, 2, 3}, {0}, {}, {2}}},
        {"full_list_replaces_neighbour_with_second_in_edge",
         2,
         {{1, 2}, {2, 0}, {0, 1}, {}, {}},
         {{3, 2}, {4, 0}, {0, 1}, {}, {}}},
        {"already_connected_is_unchanged", 2, {{1}, {0}}, {{1}, {0}}},
        // Node 1's second in-edge comes from unreachable node 3: giving up
        // 0 -> 1 for node 2 cuts 1 and 3 off, and the later pass hangs them
        // below 2 without touching the edges it reached them through.
        {"cut_off_by_in_degree_replacement_is_mended",
         1,
         {{1}, {0}, {}, {1}},
         {{2}, {3}, {1}, {1}}},
        // The entry point needs no in-edge: its only one can take node 2.
        {"entry_point_in_edge_gives_way", 1, {{1}, {0}, {}}, {{1}, {2}, {}}},
        // Node 2 reaches 3 once attached, so 3 is not attached again.
        {"attached_node_brings_its_own_neighbours", 1, {{1}, {0}, {3}, {2}}, {{1}, {2}, {3}, {2}}},
    };
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BuildMemoryStorage storage(std::pmr::get_default_resource());
        const auto count = static_cast<uint32_t>(c.lists.size());
        MakeGraph(storage, count, c.degree, c.lists);
        EXPECT_TRUE(RepairConnectivity(storage, count, std::pmr::get_default_resource()));
        for (uint32_t v = 0; v < count; ++v) {
            const auto list = storage.Neighbors(v);
            EXPECT_EQ(std::vector<uint32_t>(list.begin(), list.end()), c.repaired[v]) << v;
        }
        EXPECT_TRUE(CheckConnectivity(storage, count, std::pmr::get_default_resource()).first);
    }
}

TEST(DiskANNRepairTest, LogsNodesAttachedOverAllPasses) {
    BuildMemoryStorage storage(std::pmr::get_default_resource());
    MakeGraph(storage, 4, 1, {{1}, {0}, {}, {1}});
    testing::LogCapture logs;
    EXPECT_TRUE(RepairConnectivity(storage, 4, std::pmr::get_default_resource()));
    EXPECT_TRUE(logs.Contains(telemetry::LogLevel::Info,
                              "Check connectivity, totalVisitedCount: [2], globalNodeId: [4]"));
    EXPECT_TRUE(logs.Contains(telemetry::LogLevel::Info,
                              "DiskANN builder repair connectivity end, repairCount[3], "
                              "unreachNodes[2], time [0] seconds"));
}

TEST(DiskANNRepairTest, GraphWithoutEntryPointCannotBeRepaired) {
    BuildMemoryStorage storage(std::pmr::get_default_resource());
    MakeGraph(storage, 2, 1, {{1}, {0}});
    storage.entryPoints.clear();
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    EXPECT_FALSE(RepairConnectivity(storage, 2, std::pmr::get_default_resource()));
}

}  // namespace
}  // namespace orvane::index::diskann
