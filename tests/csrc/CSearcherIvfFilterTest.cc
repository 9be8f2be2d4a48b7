// The C interface's filtered search on an ivf index: a caller's allowed-id list
// (unsorted, with repeats and ids the index does not hold) yields the hit of
// every admitted row the index holds, nearest first, with one list of eight
// probed, and the rest of each row of outputs is padded.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "CHost.h"

namespace orvane::testing {
namespace {

constexpr int kDim = 8;
constexpr uint64_t kRows = 400;

TEST(CSearcherIvfFilterTest, AllowedIdsKeepTheirHitsWithOneListProbed) {
    ErrBuf err;
    const std::vector<float> data = RandomVectors(kRows, kDim, 17);
    const std::string path = TempIndexPath("ivf_filter");
    const std::string options =
        "{\"index.type\": \"ivf\", \"index.dimension\": \"8\", "
        "\"ivf.build.num_lists\": \"8\"}";
    orvane_builder_handle* b = orvane_builder_create(options.c_str(), err.data, err.len());
    ASSERT_NE(b, nullptr) << err.str();
    ASSERT_EQ(orvane_builder_pretrain(b, data.data(), kRows, 0, err.data, err.len()), 0)
        << err.str();
    ASSERT_EQ(orvane_builder_insert(b, data.data(), nullptr, kRows, kDim, err.data, err.len()), 0)
        << err.str();
    ASSERT_EQ(orvane_builder_dump(b, path.c_str(), err.data, err.len()), 0) << err.str();
    orvane_builder_destroy(b);

    orvane_searcher_handle* s = orvane_searcher_create(options.c_str(), err.data, err.len());
    ASSERT_NE(s, nullptr) << err.str();
    ASSERT_EQ(orvane_searcher_open(s, path.c_str(), err.data, err.len()), 0) << err.str();

    constexpr int kQueries = 4;
    constexpr int kTopk = 5;
    const std::vector<uint64_t> allowed = {350, 3, 3, 77, 1u << 30, 77, 201};
    const std::vector<uint64_t> held = {3, 77, 201, 350};
    const std::vector<float> queries = RandomVectors(kQueries, kDim, 18);
    std::vector<float> dist(kQueries * kTopk, -1.0f);
    std::vector<uint64_t> ids(kQueries * kTopk, 5);
    ASSERT_EQ(orvane_searcher_search_with_filter(s, queries.data(), kQueries, kTopk, dist.data(),
                                                 ids.data(), allowed.data(), allowed.size(),
                                                 "{\"search.nprobe\": \"1\"}", err.data, err.len()),
              0)
        << err.str();
    std::vector<float> heldRows;
    for (uint64_t id : held) {
        heldRows.insert(heldRows.end(), data.begin() + id * kDim, data.begin() + (id + 1) * kDim);
    }
    for (int q = 0; q < kQueries; ++q) {
        SCOPED_TRACE(q);
        std::vector<float> want;
        const std::vector<uint64_t> order =
            ExactNearest(heldRows, kDim, queries.data() + q * kDim, held.size(), &want);
        for (size_t j = 0; j < held.size(); ++j) {
            EXPECT_EQ(ids[q * kTopk + j], held[order[j]]);
            EXPECT_NEAR(dist[q * kTopk + j], want[j], 1e-4f);
        }
        EXPECT_EQ(ids[q * kTopk + 4], ~uint64_t{0});
    }
    orvane_searcher_destroy(s);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace orvane::testing
