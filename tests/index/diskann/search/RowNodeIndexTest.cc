#include "index/diskann/search/RowNodeIndex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <vector>

namespace orvane::index::diskann {
namespace {

TEST(RowNodeIndexTest, FindsTheNodeOfEveryRowAndNothingElse) {
    struct Case {
        const char* name;
        std::vector<uint64_t> rowIds;  // row id of each node
        std::vector<uint64_t> absent;  // rows no node holds
    };
    const Case cases[] = {
        {"identity", {0, 1, 2, 3, 4}, {5, 6, ~uint64_t{0}}},
        {"offset", {100, 101, 102}, {0, 99, 103}},
        {"shuffled", {9, 2, 40, 7, 0}, {1, 3, 8, 10, 41}},
        {"identity prefix then a gap", {0, 1, 2, 10}, {3, 9, 11}},
        {"extreme ids", {~uint64_t{0}, 0}, {1, ~uint64_t{0} - 1}},
        {"empty", {}, {0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RowNodeIndex index(std::pmr::get_default_resource());
        index.Build(c.rowIds);
        for (uint32_t node = 0; node < c.rowIds.size(); ++node) {
            EXPECT_EQ(index.Find(c.rowIds[node]), std::optional<uint32_t>(node));
        }
        for (uint64_t row : c.absent) EXPECT_EQ(index.Find(row), std::nullopt) << row;
    }
}

TEST(RowNodeIndexTest, ARebuildForgetsThePreviousRows) {
    RowNodeIndex index(std::pmr::get_default_resource());
    const std::vector<uint64_t> first = {5, 3, 8};
    const std::vector<uint64_t> second = {0, 1};
    index.Build(first);
    index.Build(second);
    EXPECT_EQ(index.Find(1), std::optional<uint32_t>(1));
    EXPECT_EQ(index.Find(5), std::nullopt);
    EXPECT_EQ(index.Find(2), std::nullopt);
}

}  // namespace
}  // namespace orvane::index::diskann
