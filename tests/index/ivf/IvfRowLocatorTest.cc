#include "index/ivf/IvfRowLocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory_resource>
#include <vector>

namespace orvane::index::ivf {
namespace {

std::vector<uint64_t> RowsOf(const IvfRowLocator& locator, uint64_t id) {
    std::vector<uint64_t> rows;
    locator.ForEachRow(id, [&](uint64_t row) { rows.push_back(row); });
    return rows;
}

TEST(IvfRowLocatorTest, FindsEveryRowOfAnIdAndNothingElse) {
    constexpr uint64_t kMax = ~uint64_t{0};
    struct Case {
        const char* name;
        std::vector<uint64_t> idOfRow;
        bool dense;
        std::vector<uint64_t> absent;  // ids no row holds
    };
    const Case cases[] = {
        {"identity", {0, 1, 2, 3}, true, {4, 5, kMax}},
        {"shuffled", {9, 2, 40, 7, 0}, true, {1, 3, 8, 10, 41, 2000}},
        {"ids from 1000", {1003, 1000, 1001}, true, {999, 1002, 1004}},
        {"a repeated id", {5, 3, 5, 8}, false, {4, 6, 9}},
        {"sparse ids", {1u << 20, 7, uint64_t{1} << 40}, false, {0, 8, (1u << 20) + 1}},
        {"extreme ids", {kMax, 0}, false, {1, kMax - 1}},
        {"empty", {}, false, {0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IvfRowLocator locator(std::pmr::get_default_resource());
        locator.Build(c.idOfRow);
        ASSERT_TRUE(locator.Available());
        EXPECT_EQ(locator.IsDense(), c.dense);
        for (uint64_t row = 0; row < c.idOfRow.size(); ++row) {
            std::vector<uint64_t> want;
            for (uint64_t r = 0; r < c.idOfRow.size(); ++r) {
                if (c.idOfRow[r] == c.idOfRow[row]) want.push_back(r);
            }
            EXPECT_EQ(RowsOf(locator, c.idOfRow[row]), want) << "row " << row;
        }
        for (uint64_t id : c.absent) EXPECT_TRUE(RowsOf(locator, id).empty()) << id;
    }
}

TEST(IvfRowLocatorTest, ARebuildForgetsThePreviousRowsAndClearDisablesIt) {
    IvfRowLocator locator(std::pmr::get_default_resource());
    const std::vector<uint64_t> first = {5, 3, 8};
    const std::vector<uint64_t> second = {1, 0};
    locator.Build(first);
    locator.Build(second);
    EXPECT_EQ(RowsOf(locator, 1), std::vector<uint64_t>{0});
    EXPECT_TRUE(RowsOf(locator, 5).empty());
    locator.Clear();
    EXPECT_FALSE(locator.Available());
}

}  // namespace
}  // namespace orvane::index::ivf
