// The ivf searcher: exact results when every list is scanned, recall growing
// with nprobe, the option refusals, the statistics and concurrent searches.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "IvfTestUtil.h"

namespace orvane::index::ivf {
namespace {

using api::SearchOptions;
using core::ErrorCode;
using testutil::BuildPlan;

// The exact k nearest ids of `query` by a plain double-precision scan.
std::vector<uint64_t> ExactTopK(const std::vector<float>& rows, uint32_t dim, const float* query,
                                uint32_t k) {
    const uint64_t n = rows.size() / dim;
    std::vector<std::pair<double, uint64_t>> all(n);
    for (uint64_t i = 0; i < n; ++i) {
        double d = 0;
        for (uint32_t j = 0; j < dim; ++j) {
            const double diff = double(rows[i * dim + j]) - query[j];
            d += diff * diff;
        }
        all[i] = {d, testutil::IdOf(i)};
    }
    std::sort(all.begin(), all.end());
    std::vector<uint64_t> ids;
    for (uint32_t i = 0; i < k && i < n; ++i) ids.push_back(all[i].second);
    return ids;
}

core::Result<api::SearchResult> SearchOnce(IvfSearcherBackend& searcher, const float* query,
                                           uint32_t dim, SearchOptions options) {
    return searcher.Search(api::Query(query, dim), options, *std::pmr::get_default_resource());
}

std::vector<uint64_t> Ids(const api::SearchResult& result) {
    std::vector<uint64_t> ids;
    for (const auto& hit : result.topk) ids.push_back(hit.id);
    return ids;
}

TEST(IvfSearchTest, EveryListScannedIsExact) {
    BuildPlan plan;
    plan.dim = 12;
    plan.numLists = 7;
    const std::vector<float> rows = testutil::ClusteredRows(300, plan.dim, 5, 11);
    const std::vector<float> queries = testutil::ClusteredRows(20, plan.dim, 5, 12);
    auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
    for (uint32_t q = 0; q < 20; ++q) {
        const float* query = queries.data() + q * plan.dim;
        auto result =
            SearchOnce(*searcher, query, plan.dim,
                       SearchOptions{{"search.topk", int64_t{10}}, {"search.nprobe", int64_t{7}}});
        ASSERT_TRUE(result.IsOk()) << result.GetStatus().Message();
        EXPECT_EQ(Ids(result.Value()), ExactTopK(rows, plan.dim, query, 10)) << "query " << q;
        const auto& hits = result.Value().topk;
        EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(), [](const auto& a, const auto& b) {
            return a.distance < b.distance;
        }));
        EXPECT_EQ(result.Value().searchStats.at("query_stats.distance_calculate_count"), "300");
        EXPECT_EQ(result.Value().searchStats.at("query_stats.filtered_count"), "0");
    }
}

// Recall@10 averaged over the queries, for nprobe 1, 2, 4, 8, 16 over 16 lists.
std::vector<double> RecallByNprobe(const std::string& encoding) {
    BuildPlan plan;
    plan.dim = 16;
    plan.numLists = 16;
    plan.encoding = encoding;
    const std::vector<float> rows = testutil::ClusteredRows(2000, plan.dim, 40, 21);
    const std::vector<float> queries = testutil::ClusteredRows(40, plan.dim, 40, 21 + 1);
    auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
    std::vector<double> recalls;
    for (int64_t nprobe : {1, 2, 4, 8, 16}) {
        double found = 0;
        for (uint32_t q = 0; q < 40; ++q) {
            const float* query = queries.data() + q * plan.dim;
            auto result =
                SearchOnce(*searcher, query, plan.dim,
                           SearchOptions{{"search.topk", int64_t{10}}, {"search.nprobe", nprobe}});
            EXPECT_TRUE(result.IsOk());
            if (!result.IsOk()) continue;
            const std::vector<uint64_t> truth = ExactTopK(rows, plan.dim, query, 10);
            for (uint64_t id : Ids(result.Value())) {
                found += std::count(truth.begin(), truth.end(), id);
            }
        }
        recalls.push_back(found / 400.0);
    }
    return recalls;
}

TEST(IvfSearchTest, RecallRisesWithNprobe) {
    struct Case {
        const char* encoding;
        double fullRecall;  // with every list scanned
    };
    for (const Case& c : {Case{"rawf32", 1.0}, Case{"sq8", 0.9}, Case{"pq", 0.5}}) {
        SCOPED_TRACE(c.encoding);
        const std::vector<double> recalls = RecallByNprobe(c.encoding);
        for (size_t i = 1; i < recalls.size(); ++i) EXPECT_GE(recalls[i], recalls[i - 1]);
        EXPECT_LT(recalls.front(), recalls.back());
        EXPECT_GE(recalls.back(), c.fullRecall);
    }
}

TEST(IvfSearchTest, NprobeDecidesTheListsScanned) {
    struct Case {
        uint32_t numLists;
        std::optional<int64_t> nprobe;
        uint64_t listsScanned;
    };
    const Case cases[] = {
        {5, std::nullopt, 5}, {100, std::nullopt, 8}, {5, 9, 5}, {100, 3, 3}, {100, 100, 100},
    };
    // One row per list: 100 identical-size lists make the count of scored
    // rows the count of lists scanned.
    const uint32_t dim = 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.numLists);
        std::vector<float> rows(uint64_t{c.numLists} * dim);
        for (uint32_t i = 0; i < c.numLists; ++i) rows[i * dim] = 100.0f * i;
        BuildPlan plan;
        plan.dim = dim;
        plan.numLists = c.numLists;
        auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), dim);
        SearchOptions options{{"search.topk", int64_t{3}}};
        if (c.nprobe) options.Values()["search.nprobe"] = *c.nprobe;
        const float query[dim] = {};
        auto result = SearchOnce(*searcher, query, dim, options);
        ASSERT_TRUE(result.IsOk());
        EXPECT_EQ(result.Value().searchStats.at("query_stats.distance_calculate_count"),
                  std::to_string(c.listsScanned));
        // The nearest lists are scanned first: the row at the origin is found.
        EXPECT_EQ(result.Value().topk.front().id, testutil::IdOf(0));
    }
}

TEST(IvfSearchTest, RefusedSearches) {
    BuildPlan plan;
    const std::vector<float> rows = testutil::ClusteredRows(60, plan.dim, 4, 5);
    auto opened = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
    IvfSearcherBackend unopened(plan.dim, {});
    struct Case {
        const char* name;
        IvfSearcherBackend* searcher;
        SearchOptions options;
        uint64_t querySize;
        ErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {"not opened",
         &unopened,
         {{"search.topk", int64_t{3}}},
         8,
         ErrorCode::FailedPrecondition,
         "ivf searcher not opened"},
        {"topk missing", opened.get(), {}, 8, ErrorCode::InvalidArgument, "topk is missing"},
        {"topk not an integer",
         opened.get(),
         {{"search.topk", std::string("3")}},
         8,
         ErrorCode::InvalidArgument,
         "topk is missing"},
        {"nprobe zero",
         opened.get(),
         {{"search.topk", int64_t{3}}, {"search.nprobe", int64_t{0}}},
         8,
         ErrorCode::InvalidArgument,
         "Option nprobe must be > 0"},
        {"nprobe zero in the low 32 bits",
         opened.get(),
         {{"search.topk", int64_t{3}}, {"search.nprobe", int64_t{1} << 32}},
         8,
         ErrorCode::InvalidArgument,
         "Option search.nprobe must be in [1, 4294967295]"},
        {"nprobe one in the low 32 bits",
         opened.get(),
         {{"search.topk", int64_t{3}}, {"search.nprobe", (int64_t{1} << 32) + 1}},
         8,
         ErrorCode::InvalidArgument,
         "Option search.nprobe must be in [1, 4294967295]"},
        {"short query",
         opened.get(),
         {{"search.topk", int64_t{3}}},
         7,
         ErrorCode::InvalidArgument,
         "query data size does not match index dimension"},
    };
    const std::vector<float> query(8, 0.5f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto result = c.searcher->Search(api::Query(query.data(), c.querySize), c.options,
                                         *std::pmr::get_default_resource());
        ASSERT_FALSE(result.IsOk());
        EXPECT_EQ(result.GetStatus().Code(), c.code);
        EXPECT_EQ(result.GetStatus().Message(), c.message);
    }
}

TEST(IvfSearchTest, TopkEdges) {
    BuildPlan plan;
    const std::vector<float> rows = testutil::ClusteredRows(30, plan.dim, 2, 6);
    auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
    struct Case {
        int64_t topk;
        size_t hits;
    };
    // More than the rows scanned returns them all; a k beyond 32 bits is not
    // wrapped to its low bits.
    for (const Case& c : {Case{0, 0}, Case{1, 1}, Case{30, 30}, Case{1000, 30},
                          Case{(int64_t{1} << 32) + 2, 30}, Case{-1, 30}}) {
        SCOPED_TRACE(c.topk);
        auto result =
            SearchOnce(*searcher, rows.data(), plan.dim,
                       SearchOptions{{"search.topk", c.topk}, {"search.nprobe", int64_t{4}}});
        ASSERT_TRUE(result.IsOk());
        EXPECT_EQ(result.Value().topk.size(), c.hits);
        EXPECT_EQ(result.Value().searchStats.size(), 2u);
        EXPECT_EQ(result.Value().searchStats.at("query_stats.filtered_count"), "0");
        if (c.hits > 0) {
            EXPECT_EQ(result.Value().topk[0].id, testutil::IdOf(0));
        }
    }
}

// A batch is scanned list by list (rawf32, sq8) or query by query (pq); either
// way every row gets the hits and distances of searching it alone. Repeated
// rows tie exactly, so a batch that offered rows in another order would keep
// other ids at the k-th place.
TEST(IvfSearchTest, BatchEqualsSearchingEachQueryAlone) {
    constexpr uint64_t kQueries = 300;  // more than one block of the list scan
    // Ivf indexes are l2 only.
    for (const char* encoding : {"rawf32", "sq8", "pq"}) {
        BuildPlan plan;
        plan.numLists = 6;
        plan.encoding = encoding;
        std::vector<float> rows = testutil::ClusteredRows(200, plan.dim, 4, 21);
        // Rows 100..199 repeat rows 0..99: every distance ties with another row's.
        std::copy(rows.begin(), rows.begin() + 100 * plan.dim, rows.begin() + 100 * plan.dim);
        const std::vector<float> queries = testutil::ClusteredRows(kQueries, plan.dim, 4, 22);
        auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
        for (const int64_t nprobe : {int64_t{1}, int64_t{2}, int64_t{6}, int64_t{50}}) {
            for (const int64_t topk : {int64_t{1}, int64_t{3}, int64_t{500}}) {
                SCOPED_TRACE(std::string(encoding) + " nprobe " + std::to_string(nprobe) +
                             " topk " + std::to_string(topk));
                const SearchOptions options{{"search.topk", topk}, {"search.nprobe", nprobe}};
                api::BatchSearchRequest request;
                request.queries = queries.data();
                request.n = kQueries;
                request.dim = plan.dim;
                request.topk = static_cast<uint64_t>(topk);
                request.options = &options;
                request.resource = std::pmr::get_default_resource();
                std::vector<api::SearchResult> batch(kQueries);
                const core::Status st = searcher->SearchBatch(request, batch);
                ASSERT_TRUE(st.IsOk()) << st.Message();
                for (uint64_t q = 0; q < kQueries; ++q) {
                    auto one =
                        SearchOnce(*searcher, queries.data() + q * plan.dim, plan.dim, options);
                    ASSERT_TRUE(one.IsOk());
                    ASSERT_EQ(batch[q].topk.size(), one.Value().topk.size()) << "query " << q;
                    for (size_t j = 0; j < batch[q].topk.size(); ++j) {
                        EXPECT_EQ(batch[q].topk[j].id, one.Value().topk[j].id) << "query " << q;
                        EXPECT_EQ(batch[q].topk[j].distance, one.Value().topk[j].distance);
                    }
                    EXPECT_EQ(batch[q].searchStats, one.Value().searchStats) << "query " << q;
                }
            }
        }
    }
}

TEST(IvfSearchTest, MetaBeforeAndAfterOpen) {
    BuildPlan plan;
    const std::vector<float> rows = testutil::ClusteredRows(30, plan.dim, 2, 8);
    IvfSearcherBackend fresh(plan.dim, {});
    EXPECT_EQ(fresh.GetMeta().count, 0u);
    EXPECT_EQ(fresh.GetMeta().dim, plan.dim);
    auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
    EXPECT_EQ(searcher->GetMeta().count, 30u);
    EXPECT_EQ(searcher->GetMeta().dim, plan.dim);
}

// Many threads search one opened searcher; each gets what a lone search gets.
TEST(IvfSearchTest, ConcurrentSearchesStress) {
    BuildPlan plan;
    plan.numLists = 8;
    plan.encoding = "sq8";
    const std::vector<float> rows = testutil::ClusteredRows(400, plan.dim, 8, 9);
    const std::vector<float> queries = testutil::ClusteredRows(32, plan.dim, 8, 10);
    auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
    const SearchOptions options{{"search.topk", int64_t{5}}, {"search.nprobe", int64_t{3}}};
    std::vector<std::vector<uint64_t>> expected;
    for (uint32_t q = 0; q < 32; ++q) {
        expected.push_back(
            Ids(SearchOnce(*searcher, queries.data() + q * plan.dim, plan.dim, options).Value()));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                const uint32_t q = (t * 7 + round) % 32;
                auto result =
                    SearchOnce(*searcher, queries.data() + q * plan.dim, plan.dim, options);
                if (!result.IsOk() || Ids(result.Value()) != expected[q]) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace orvane::index::ivf
