// Drives the searcher functions of the C interface as a foreign host would,
// over demo indexes built through the builder functions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "csrc/CHost.h"

namespace orvane::testing {
namespace {

constexpr uint64_t kAllOnes = 0xFFFFFFFFFFFFFFFFull;

TEST(CSearcherTest, CreateFailuresCarryTheLibraryMessage) {
    struct Case {
        const char* json;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, "index.type is required for searcher schema selection"},
        {"no braces at all", "index.type is required for searcher schema selection"},
        {R"({"index.type": "demo"})", "Missing required option: index.dimension"},
        {R"({"index.type": "demo", "index.dimension": -2})", "Option index.dimension must be > 0"},
    };
    for (const Case& c : cases) {
        ErrBuf err;
        EXPECT_EQ(orvane_searcher_create(c.json, err.data, err.len()), nullptr);
        EXPECT_EQ(err.str(), c.message);
    }
}

TEST(CSearcherTest, NullHandleIsRefusedEverywhere) {
    ErrBuf err;
    float q[4] = {0, 0, 0, 0};
    float d[2];
    uint64_t ids[2];
    EXPECT_EQ(orvane_searcher_open(nullptr, "/tmp/x", err.data, err.len()), -1);
    EXPECT_EQ(err.str(), "Invalid searcher handle");
    ErrBuf err2;
    EXPECT_EQ(orvane_searcher_search(nullptr, q, 1, 2, d, ids, nullptr, err2.data, err2.len()), -1);
    EXPECT_EQ(err2.str(), "Invalid searcher handle");
    ErrBuf err3;
    EXPECT_EQ(orvane_searcher_search_with_filter(nullptr, q, 1, 2, d, ids, nullptr, 0, nullptr,
                                                 err3.data, err3.len()),
              -1);
    EXPECT_EQ(err3.str(), "Invalid searcher handle");
    EXPECT_EQ(orvane_searcher_get_count(nullptr), 0u);
    EXPECT_EQ(orvane_searcher_get_dimension(nullptr), 0u);
    orvane_searcher_destroy(nullptr);
}

// A searcher opened on a demo index of kRows random vectors.
class CSearcherDemoTest : public ::testing::Test {
  protected:
    static constexpr int kDim = 8;
    static constexpr uint64_t kRows = 50;

    void SetUp() override {
        _path = TempIndexPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
        _data = RandomVectors(kRows, kDim, 42);
        const std::string built = BuildDemoIndex(_data, kDim, _path);
        ASSERT_EQ(built, "");
        _searcher = orvane_searcher_create(DemoOptions(kDim).c_str(), _err.data, _err.len());
        ASSERT_NE(_searcher, nullptr) << _err.str();
    }
    void TearDown() override {
        orvane_searcher_destroy(_searcher);
        std::remove(_path.c_str());
    }
    void Open() {
        ASSERT_EQ(orvane_searcher_open(_searcher, _path.c_str(), _err.data, _err.len()), 0)
            << _err.str();
    }

    std::string _path;
    std::vector<float> _data;
    orvane_searcher_handle* _searcher = nullptr;
    ErrBuf _err;
};

TEST_F(CSearcherDemoTest, OpenReportsCountAndDimension) {
    // Nothing is loaded yet (the demo kind already reports its configured dimension).
    EXPECT_EQ(orvane_searcher_get_count(_searcher), 0u);
    EXPECT_EQ(orvane_searcher_open(_searcher, nullptr, _err.data, _err.len()), -1);
    EXPECT_EQ(_err.str(), "path must not be null");
    const std::string missing = TempIndexPath("does_not_exist");
    EXPECT_EQ(orvane_searcher_open(_searcher, missing.c_str(), _err.data, _err.len()), -1);
    EXPECT_NE(_err.str(), "");
    Open();
    EXPECT_EQ(orvane_searcher_get_count(_searcher), kRows);
    EXPECT_EQ(orvane_searcher_get_dimension(_searcher), static_cast<uint32_t>(kDim));
    EXPECT_EQ(orvane_searcher_open(_searcher, _path.c_str(), _err.data, _err.len()), -1);
    EXPECT_EQ(_err.str(), "searcher already opened");
}

TEST_F(CSearcherDemoTest, SearchMatchesExactL2) {
    Open();
    constexpr int kQueries = 6;
    constexpr int kTopk = 7;
    const std::vector<float> queries = RandomVectors(kQueries, kDim, 7);
    std::vector<float> dist(kQueries * kTopk, -1.0f);
    std::vector<uint64_t> ids(kQueries * kTopk, 12345);
    ASSERT_EQ(orvane_searcher_search(_searcher, queries.data(), kQueries, kTopk, dist.data(),
                                     ids.data(), nullptr, _err.data, _err.len()),
              0)
        << _err.str();
    for (int q = 0; q < kQueries; ++q) {
        std::vector<float> expectedDist;
        const std::vector<uint64_t> expected =
            ExactNearest(_data, kDim, queries.data() + q * kDim, kTopk, &expectedDist);
        for (int j = 0; j < kTopk; ++j) {
            EXPECT_EQ(ids[q * kTopk + j], expected[j]) << "query " << q << " rank " << j;
            EXPECT_NEAR(dist[q * kTopk + j], expectedDist[j], 1e-4f);
        }
    }
}

TEST_F(CSearcherDemoTest, TopkArgumentOverridesTheJson) {
    Open();
    std::vector<float> dist(3);
    std::vector<uint64_t> ids(3);
    ASSERT_EQ(orvane_searcher_search(_searcher, _data.data(), 1, 3, dist.data(), ids.data(),
                                     R"({"search.topk": 1, "search.parallel_number": 1})",
                                     _err.data, _err.len()),
              0)
        << _err.str();
    // Three real hits, the query itself first.
    EXPECT_EQ(ids[0], 0u);
    EXPECT_FLOAT_EQ(dist[0], 0.0f);
    EXPECT_NE(ids[1], kAllOnes);
    EXPECT_NE(ids[2], kAllOnes);
    EXPECT_GT(dist[2], 0.0f);
}

TEST_F(CSearcherDemoTest, SearchRefusesBadArgumentsWithoutTouchingOutputs) {
    std::vector<float> dist(4, -1.0f);
    std::vector<uint64_t> ids(4, 5);
    EXPECT_EQ(orvane_searcher_search(_searcher, _data.data(), 1, 4, dist.data(), ids.data(),
                                     nullptr, _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "searcher not opened (dimension is zero)");
    Open();
    for (int topk : {0, -1, -1000}) {
        EXPECT_EQ(orvane_searcher_search(_searcher, _data.data(), 1, topk, dist.data(), ids.data(),
                                         nullptr, _err.data, _err.len()),
                  -1);
        EXPECT_EQ(_err.str(), "Option search.topk must be > 0");
    }
    EXPECT_EQ(orvane_searcher_search(_searcher, nullptr, 1, 4, dist.data(), ids.data(), nullptr,
                                     _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "queries must not be null");
    EXPECT_EQ(orvane_searcher_search(_searcher, _data.data(), 1, 4, nullptr, ids.data(), nullptr,
                                     _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "out_distances and out_ids must not be null");
    EXPECT_EQ(orvane_searcher_search(_searcher, _data.data(), 1, 4, dist.data(), nullptr, nullptr,
                                     _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "out_distances and out_ids must not be null");
    EXPECT_EQ(orvane_searcher_search(_searcher, _data.data(), 1, 4, dist.data(), ids.data(),
                                     R"({"search.parallel_number": "abc"})", _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "Invalid int value for search.parallel_number");
    EXPECT_EQ(orvane_searcher_search(_searcher, _data.data(), 1, 4, dist.data(), ids.data(),
                                     R"({"search.parallel_number": 0})", _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "Option search.parallel_number must be > 0");
    // No queries: success without reading or writing anything, even from null arrays.
    EXPECT_EQ(orvane_searcher_search(_searcher, nullptr, 0, 4, nullptr, nullptr, nullptr, _err.data,
                                     _err.len()),
              0);
    // A negative count is a caller's mistake, not an empty batch.
    EXPECT_EQ(orvane_searcher_search(_searcher, nullptr, -3, 4, nullptr, nullptr, nullptr,
                                     _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "n_queries must not be negative");
    EXPECT_EQ(dist, std::vector<float>(4, -1.0f));
    EXPECT_EQ(ids, std::vector<uint64_t>(4, 5));
}

TEST_F(CSearcherDemoTest, FilteredSearchOnDemoFailsEachQuery) {
    Open();
    std::vector<float> dist(2 * 3, -1.0f);
    std::vector<uint64_t> ids(2 * 3, 5);
    const uint64_t allowed[] = {1, 2, 3};
    EXPECT_EQ(
        orvane_searcher_search_with_filter(_searcher, _data.data(), 2, 3, dist.data(), ids.data(),
                                           allowed, 3, nullptr, _err.data, _err.len()),
        -1);
    EXPECT_EQ(_err.str(), "extension not attached");
    // An empty filter list may come without an array.
    EXPECT_EQ(
        orvane_searcher_search_with_filter(_searcher, _data.data(), 1, 3, dist.data(), ids.data(),
                                           nullptr, 0, nullptr, _err.data, _err.len()),
        -1);
    EXPECT_EQ(_err.str(), "extension not attached");
    EXPECT_EQ(dist, std::vector<float>(6, -1.0f));

    EXPECT_EQ(
        orvane_searcher_search_with_filter(_searcher, _data.data(), 1, 3, dist.data(), ids.data(),
                                           nullptr, 2, nullptr, _err.data, _err.len()),
        -1);
    EXPECT_EQ(_err.str(), "filter_ids must not be null when filter_count > 0");
    EXPECT_EQ(
        orvane_searcher_search_with_filter(_searcher, _data.data(), 1, 0, dist.data(), ids.data(),
                                           allowed, 3, nullptr, _err.data, _err.len()),
        -1);
    EXPECT_EQ(_err.str(), "Option search.topk must be > 0");
    EXPECT_EQ(orvane_searcher_search_with_filter(_searcher, nullptr, 1, 3, dist.data(), ids.data(),
                                                 allowed, 3, nullptr, _err.data, _err.len()),
              -1);
    EXPECT_EQ(_err.str(), "queries must not be null");
}

TEST_F(CSearcherDemoTest, MissingHitsArePadded) {
    const std::string small = TempIndexPath("padding_small");
    const std::vector<float> three = RandomVectors(3, kDim, 9);
    ASSERT_EQ(BuildDemoIndex(three, kDim, small), "");
    orvane_searcher_handle* s =
        orvane_searcher_create(DemoOptions(kDim).c_str(), _err.data, _err.len());
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(orvane_searcher_open(s, small.c_str(), _err.data, _err.len()), 0) << _err.str();

    constexpr int kTopk = 5;
    const std::vector<float> queries = RandomVectors(2, kDim, 10);
    std::vector<float> dist(2 * kTopk, -1.0f);
    std::vector<uint64_t> ids(2 * kTopk, 5);
    ASSERT_EQ(orvane_searcher_search(s, queries.data(), 2, kTopk, dist.data(), ids.data(), nullptr,
                                     _err.data, _err.len()),
              0)
        << _err.str();
    for (int q = 0; q < 2; ++q) {
        std::vector<float> expectedDist;
        const auto expected =
            ExactNearest(three, kDim, queries.data() + q * kDim, 3, &expectedDist);
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(ids[q * kTopk + j], expected[j]);
            EXPECT_NEAR(dist[q * kTopk + j], expectedDist[j], 1e-4f);
        }
        for (int j = 3; j < kTopk; ++j) {
            EXPECT_EQ(ids[q * kTopk + j], kAllOnes);
            EXPECT_EQ(dist[q * kTopk + j], 0.0f);
        }
    }
    orvane_searcher_destroy(s);
    std::remove(small.c_str());
}

TEST_F(CSearcherDemoTest, InsertWithoutIdsKeepsEveryBatchInOrder) {
    // 10000 rows arrive in batches of 4096, 4096 and 1808; each row must be
    // found at its own position.
    constexpr uint64_t kN = 10000;
    constexpr int kSmallDim = 2;
    std::vector<float> rows(kN * kSmallDim);
    for (uint64_t i = 0; i < kN; ++i) {
        rows[i * kSmallDim] = static_cast<float>(i);
        rows[i * kSmallDim + 1] = -static_cast<float>(i);
    }
    const std::string path = TempIndexPath("ten_thousand");
    ASSERT_EQ(BuildDemoIndex(rows, kSmallDim, path), "");
    orvane_searcher_handle* s =
        orvane_searcher_create(DemoOptions(kSmallDim).c_str(), _err.data, _err.len());
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(orvane_searcher_open(s, path.c_str(), _err.data, _err.len()), 0) << _err.str();
    EXPECT_EQ(orvane_searcher_get_count(s), kN);
    const uint64_t probes[] = {0, 4095, 4096, 8191, 8192, 9999};
    for (uint64_t probe : probes) {
        float d = -1.0f;
        uint64_t id = 0;
        ASSERT_EQ(orvane_searcher_search(s, rows.data() + probe * kSmallDim, 1, 1, &d, &id, nullptr,
                                         _err.data, _err.len()),
                  0);
        EXPECT_EQ(id, probe);
        EXPECT_EQ(d, 0.0f);
    }
    orvane_searcher_destroy(s);
    std::remove(path.c_str());
}

TEST_F(CSearcherDemoTest, DestroyClosesAnOpenedSearcher) {
    Open();
    orvane_searcher_destroy(_searcher);
    _searcher = nullptr;
    // The file can be opened again by a fresh searcher.
    orvane_searcher_handle* again =
        orvane_searcher_create(DemoOptions(kDim).c_str(), _err.data, _err.len());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(orvane_searcher_open(again, _path.c_str(), _err.data, _err.len()), 0) << _err.str();
    orvane_searcher_destroy(again);
}

}  // namespace
}  // namespace orvane::testing
