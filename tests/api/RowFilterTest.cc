#include "orvane/api/RowFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace orvane::api {
namespace {

TEST(RowFilterTest, AllowedIdListsAreSortedAndDeduplicatedOnce) {
    struct Case {
        const char* name;
        std::vector<uint64_t> ids;
        std::vector<uint64_t> list;  // the filter's allowed ids
        bool copied;                 // whether the caller's array had to be copied
    };
    const Case cases[] = {
        {"ascending", {1, 4, 9}, {1, 4, 9}, false},
        {"empty", {}, {}, false},
        {"unsorted", {9, 1, 4}, {1, 4, 9}, true},
        {"repeats", {4, 4, 1, 9, 1}, {1, 4, 9}, true},
        {"ascending with a repeat", {1, 4, 4, 9}, {1, 4, 9}, true},
        {"extreme ids", {~uint64_t{0}, 0}, {0, ~uint64_t{0}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint64_t> storage;
        const RowFilter filter = MakeAllowedIdFilter(c.ids, storage);
        EXPECT_TRUE(filter.IsActive());
        ASSERT_TRUE(filter.HasList());
        const auto allowed = filter.AllowedIds();
        EXPECT_EQ(std::vector<uint64_t>(allowed.begin(), allowed.end()), c.list);
        EXPECT_EQ(filter.Count(), c.list.size());
        if (!c.list.empty()) {
            EXPECT_EQ(allowed.data() != c.ids.data(), c.copied);
        }
        for (uint64_t id : {uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{4}, uint64_t{9},
                            uint64_t{10}, ~uint64_t{0}}) {
            const bool listed = std::find(c.list.begin(), c.list.end(), id) != c.list.end();
            EXPECT_EQ(filter.Allows(id), listed) << id;
            EXPECT_EQ(filter(id), listed) << id;
        }
    }
}

TEST(RowFilterTest, PredicatesAndTheOpenFilter) {
    const std::function<bool(uint64_t)> none;
    struct Case {
        const char* name;
        RowFilter filter;
        bool active;
        bool allows3, allows4;
    };
    const Case cases[] = {
        {"default", RowFilter(), false, true, true},
        {"lambda", RowFilter([](uint64_t id) { return id % 2 == 0; }), true, false, true},
        {"from predicate", RowFilter::FromPredicate([](uint64_t id) { return id == 3; }), true,
         true, false},
        {"empty function", RowFilter(none), false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.filter.IsActive(), c.active);
        EXPECT_EQ(static_cast<bool>(c.filter), c.active);
        EXPECT_FALSE(c.filter.HasList());
        EXPECT_FALSE(c.filter.Count().has_value());
        EXPECT_EQ(c.filter.Allows(3), c.allows3);
        EXPECT_EQ(c.filter.Allows(4), c.allows4);
    }
    // A predicate filter keeps its own copy: the callable may go out of scope.
    RowFilter kept;
    {
        std::vector<uint64_t> allowed = {5};
        kept = RowFilter([allowed](uint64_t id) { return id == allowed[0]; });
    }
    EXPECT_TRUE(kept.Allows(5));
    EXPECT_FALSE(kept.Allows(6));
}

}  // namespace
}  // namespace orvane::api
