#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "index/diskann/search/SearcherTestUtil.h"
#include "orvane/extensions/SearchWithFilterExtension.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

using core::ErrorCode;
using namespace testutil;

constexpr uint32_t kDim = 16;
constexpr uint32_t kN = 2000;
constexpr uint32_t kQueries = 40;

const std::vector<float>& Data() {
    static const std::vector<float> data = Clustered(kN, kDim, 11);
    return data;
}
const std::vector<float>& Queries() {
    static const std::vector<float> queries = NearQueries(Data(), kDim, kQueries, 12);
    return queries;
}

api::BuilderOptions IndexOptions(const std::string& encoding, const std::string& metric,
                                 bool reorder) {
    api::BuilderOptions options = Options(kDim, 24, 2, 100);
    // "opq" is pq with a learned rotation.
    const bool pq = encoding == "pq" || encoding == "opq";
    options.Values()["encoding.type"] = pq ? std::string("pq") : encoding;
    options.Values()["distance.metric"] = metric;
    if (pq) options.Values()["encoding.pq.m"] = int64_t{8};
    if (encoding == "opq") options.Values()["encoding.pq.use_opq"] = true;
    options.Values()["diskann.build.reorder_layout"] = reorder;
    return options;
}

// Built images, one per configuration, shared by the tests.
const std::string& Image(const std::string& encoding, const std::string& metric = "l2",
                         bool reorder = false) {
    static std::map<std::string, std::string> images;
    const std::string key = encoding + metric + (reorder ? "r" : "");
    auto it = images.find(key);
    if (it == images.end()) {
        testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
        it = images.emplace(key, BuildImage(IndexOptions(encoding, metric, reorder), Data(), kDim))
                 .first;
    }
    return it->second;
}

// Mean recall@10 over the queries, checking every result for duplicates and order.
double Recall(DiskANNSearcherBackend& searcher, const api::SearchOptions& options, bool ip,
              const std::function<bool(uint64_t)>& keep = {}) {
    double hits = 0, total = 0;
    std::pmr::memory_resource& resource = *std::pmr::get_default_resource();
    for (uint32_t q = 0; q < kQueries; ++q) {
        const float* query = Queries().data() + q * kDim;
        auto result = keep ? searcher.SearchWithFilter({query, kDim}, keep, options, resource)
                           : searcher.Search({query, kDim}, options, resource);
        EXPECT_TRUE(result.IsOk()) << result.GetStatus().Message();
        if (!result.IsOk()) return 0;
        const auto found = Ids(result.Value());
        EXPECT_EQ(std::set<uint64_t>(found.begin(), found.end()).size(), found.size())
            << "duplicate hit in query " << q;
        for (size_t i = 1; i < result.Value().topk.size(); ++i) {
            const float a = result.Value().topk[i - 1].distance,
                        b = result.Value().topk[i].distance;
            EXPECT_TRUE(ip ? a >= b : a <= b) << "hits not best first";
        }
        const auto truth = ExactTopk(Data(), kDim, query, 10, ip, keep);
        for (uint64_t id : truth) hits += std::count(found.begin(), found.end(), id);
        total += static_cast<double>(truth.size());
    }
    return hits / total;
}

TEST(DiskANNSearcherTest, RecallWithoutDuplicatesPerEncodingMetricAndLayout) {
    struct Case {
        const char* encoding;
        const char* metric;
        bool reorder;
        int64_t cache;
    };
    const Case cases[] = {
        {"rawf32", "l2", false, 0},
        {"pq", "l2", false, 0},
        {"pq", "l2", true, 0},
        {"pq", "l2", true, 150},
        {"opq", "l2", true, 0},
        {"pq", "inner_product", true, 0},
        {"rawf32", "inner_product", false, 0},
        {"sq8", "l2", false, 100},
    };
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.encoding) + " " + c.metric + (c.reorder ? " reordered" : ""));
        auto opened = OpenInMemory(Image(c.encoding, c.metric, c.reorder), kDim, c.cache);
        ASSERT_TRUE(opened.status.IsOk()) << opened.status.Message();
        EXPECT_EQ(opened.searcher->GetMeta().count, kN);
        EXPECT_GE(
            Recall(*opened.searcher, SearchOpts(10, 100), std::string(c.metric) == "inner_product"),
            0.95);
        EXPECT_EQ(opened.searcher->CachedNodeCount(), static_cast<uint32_t>(c.cache));
        if (c.cache != 0) {
            EXPECT_GT(opened.searcher->CacheHitCount(), 0u);
        }
    }
}

TEST(DiskANNSearcherTest, ReorderedIndexAnswersLikeThePlainOne) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto plain = OpenInMemory(Image("pq"), kDim);
    auto reordered = OpenInMemory(Image("pq", "l2", true), kDim);
    ASSERT_TRUE(plain.status.IsOk() && reordered.status.IsOk());
    const double a = Recall(*plain.searcher, SearchOpts(10, 50), false);
    const double b = Recall(*reordered.searcher, SearchOpts(10, 50), false);
    EXPECT_NEAR(a, b, 0.03);
    // The ids section follows the layout order: it differs from the plain one.
    auto plainStream = OpenImage(Image("pq"));
    auto reorderedStream = OpenImage(Image("pq", "l2", true));
    EXPECT_NE(SectionPayload(*plainStream, kIdsSection),
              SectionPayload(*reorderedStream, kIdsSection));
    auto refused =
        reordered.searcher->Search({Queries().data(), kDim},
                                   api::SearchOptions{{"diskann.search.list_size", int64_t{10}},
                                                      {"diskann.search.use_reorder_data", true}},
                                   *std::pmr::get_default_resource());
    EXPECT_EQ(refused.GetStatus().Code(), ErrorCode::NotSupported);
    EXPECT_EQ(refused.GetStatus().Message(), "Do not support search use reorder data yet");
}

TEST(DiskANNSearcherTest, LocalAndMmapReadersGiveIdenticalResults) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    const std::string path = ::testing::TempDir() + "/diskann_readers.idx";
    auto local = OpenFile(Image("pq"), path, "local", kDim, 100);
    auto mapped = OpenFile(Image("pq"), path + ".m", "mmap", kDim, 100);
    ASSERT_TRUE(local.status.IsOk()) << local.status.Message();
    ASSERT_TRUE(mapped.status.IsOk()) << mapped.status.Message();
    for (uint32_t q = 0; q < kQueries; ++q) {
        api::SearchOptions options = SearchOpts(10, 40);
        options.Values()["search.parallel_number"] = int64_t{1 + q % 4};
        auto a = local.searcher->Search({Queries().data() + q * kDim, kDim}, options,
                                        *std::pmr::get_default_resource());
        auto b = mapped.searcher->Search({Queries().data() + q * kDim, kDim}, options,
                                         *std::pmr::get_default_resource());
        ASSERT_TRUE(a.IsOk() && b.IsOk());
        EXPECT_EQ(Ids(a.Value()), Ids(b.Value()));
    }
    std::remove(path.c_str());
    std::remove((path + ".m").c_str());
}

TEST(DiskANNSearcherStressTest, ManyThreadsOnOneSearcherMatchOneThread) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    const std::string path = ::testing::TempDir() + "/diskann_stress.idx";
    for (const char* type : {"local", "mmap"}) {
        auto opened = OpenFile(Image("pq"), path, type, kDim, 50);
        ASSERT_TRUE(opened.status.IsOk());
        api::SearchOptions options = SearchOpts(10, 30);
        options.Values()["search.parallel_number"] = int64_t{4};
        options.Values()["diskann.search.beam_width"] = int64_t{4};
        std::vector<std::vector<uint64_t>> expected(kQueries);
        for (uint32_t q = 0; q < kQueries; ++q) {
            auto r = opened.searcher->Search({Queries().data() + q * kDim, kDim}, options,
                                             *std::pmr::get_default_resource());
            ASSERT_TRUE(r.IsOk());
            expected[q] = Ids(r.Value());
        }
        std::atomic<int> mismatches{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (uint32_t i = 0; i < 3 * kQueries; ++i) {
                    const uint32_t q = (i + t * 7) % kQueries;
                    auto r = opened.searcher->Search({Queries().data() + q * kDim, kDim}, options,
                                                     *std::pmr::get_default_resource());
                    if (!r.IsOk() || Ids(r.Value()) != expected[q]) ++mismatches;
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(mismatches.load(), 0) << type;
        // The searches gave their contexts back, and no more are kept idle
        // than the pool's bound.
        EXPECT_GE(opened.searcher->ContextCount(), 1u);
        EXPECT_LE(opened.searcher->ContextCount(), opened.searcher->MaxIdleContexts());
    }
    std::remove(path.c_str());
}

// Threads that each run a couple of searches and end, many more of them over
// the searcher's life than it keeps contexts for: every search still answers
// as a single thread does, and the contexts kept stay within the pool's bound
// (a context per thread ever seen would grow with every wave).
TEST(DiskANNSearcherStressTest, ShortLivedThreadsKeepContextsBounded) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto opened = OpenInMemory(Image("sq8"), kDim, 50);
    ASSERT_TRUE(opened.status.IsOk());
    api::SearchOptions options = SearchOpts(10, 30);
    options.Values()["search.parallel_number"] = int64_t{2};
    options.Values()["diskann.search.beam_width"] = int64_t{3};
    std::vector<std::vector<uint64_t>> expected(kQueries);
    for (uint32_t q = 0; q < kQueries; ++q) {
        auto r = opened.searcher->Search({Queries().data() + q * kDim, kDim}, options,
                                         *std::pmr::get_default_resource());
        ASSERT_TRUE(r.IsOk());
        expected[q] = Ids(r.Value());
    }
    const size_t bound = opened.searcher->MaxIdleContexts();
    std::atomic<int> mismatches{0};
    constexpr int kWaves = 12;
    constexpr int kThreadsPerWave = 24;
    for (int wave = 0; wave < kWaves; ++wave) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreadsPerWave; ++t) {
            threads.emplace_back([&, wave, t] {
                for (uint32_t i = 0; i < 2; ++i) {
                    const uint32_t q = (wave * 31 + t * 7 + i) % kQueries;
                    auto r = opened.searcher->Search({Queries().data() + q * kDim, kDim}, options,
                                                     *std::pmr::get_default_resource());
                    if (!r.IsOk() || Ids(r.Value()) != expected[q]) ++mismatches;
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_LE(opened.searcher->ContextCount(), bound) << "wave " << wave;
    }
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GE(opened.searcher->ContextCount(), 1u);
}

// Closing the file while searches run: every read of a search has finished
// when it returns, and reads after the close are refused, so each search
// either succeeds or fails with a status.
TEST(DiskANNSearcherStressTest, CloseWhileSearchingFailsCleanly) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    const std::string path = ::testing::TempDir() + "/diskann_close.idx";
    for (const char* type : {"local", "mmap"}) {
        auto opened = OpenFile(Image("pq"), path, type, kDim);
        ASSERT_TRUE(opened.status.IsOk());
        api::SearchOptions options = SearchOpts(10, 60);
        options.Values()["search.parallel_number"] = int64_t{3};
        options.Values()["diskann.search.beam_width"] = int64_t{3};
        std::atomic<int> failed{0};
        std::atomic<bool> closed{false};
        std::latch searched(4);
        std::vector<std::thread> threads;
        // Each thread searches until its last search starts after the close
        // (however fast the searches before it ran), and that one must fail.
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (uint32_t i = 0;; ++i) {
                    const bool afterClose = closed.load();
                    const uint32_t q = (i + t) % kQueries;
                    auto r = opened.searcher->Search({Queries().data() + q * kDim, kDim}, options,
                                                     *std::pmr::get_default_resource());
                    if (!r.IsOk()) ++failed;
                    if (i == 0) searched.count_down();
                    if (afterClose) {
                        EXPECT_FALSE(r.IsOk()) << "a search begun after the close";
                        break;
                    }
                }
            });
        }
        searched.wait();
        EXPECT_TRUE(opened.stream->Close().IsOk());
        closed.store(true);
        for (auto& thread : threads) thread.join();
        EXPECT_GT(failed.load(), 0) << type;
    }
    std::remove(path.c_str());
}

TEST(DiskANNSearcherTest, FiltersRestrictHitsAndCountRejections) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto opened = OpenInMemory(Image("rawf32"), kDim);
    ASSERT_TRUE(opened.status.IsOk());
    auto even = [](uint64_t id) { return id % 2 == 0; };
    EXPECT_GE(Recall(*opened.searcher, SearchOpts(10, 100), false, even), 0.95);

    extensions::SearchWithFilterExtension extension;
    ASSERT_TRUE(opened.searcher->Attach(extension).IsOk());
    auto none = extension.Call(
        {Queries().data(), kDim}, [](uint64_t) { return false; }, SearchOpts(10, 50),
        *std::pmr::get_default_resource());
    ASSERT_TRUE(none.IsOk());
    EXPECT_TRUE(none.Value().topk.empty());
    // Rejected nodes are still traversed: the list of 50 is explored in full.
    EXPECT_GE(std::stoul(none.Value().searchStats.at("query_stats.filtered_count")), 50u);
    EXPECT_GT(std::stoul(none.Value().searchStats.at("query_stats.distance_calculate_count")), 50u);
}

TEST(DiskANNSearcherTest, OptionsShapeTheSearch) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto opened = OpenInMemory(Image("rawf32"), kDim);
    ASSERT_TRUE(opened.status.IsOk());
    auto run = [&](api::SearchOptions options) {
        return opened.searcher->Search({Queries().data(), kDim}, options,
                                       *std::pmr::get_default_resource());
    };
    struct Case {
        int64_t topk, listSize, ioLimit, beamWidth;
        size_t maxHits, minHits;
    };
    const Case cases[] = {
        {10, 5, 0, 0, 10, 10},   // ef = max(topk, list size)
        {10, 50, 0, 0, 10, 10},  // a longer list still cuts to topk
        {1, 100, 1, 2, 1, 1},    // the budget covers one round
        {0, 100, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        api::SearchOptions options = SearchOpts(c.topk, c.listSize);
        if (c.ioLimit) options.Values()["diskann.search.io_limit"] = c.ioLimit;
        if (c.beamWidth) options.Values()["diskann.search.beam_width"] = c.beamWidth;
        auto r = run(options);
        ASSERT_TRUE(r.IsOk());
        EXPECT_LE(r.Value().topk.size(), c.maxHits) << c.listSize << " " << c.ioLimit;
        EXPECT_GE(r.Value().topk.size(), c.minHits) << c.listSize << " " << c.ioLimit;
    }
    // The index has one entry point, read alone in the first round; a budget
    // of two reads ends the search after the second round, so the rejecting
    // filter counts the entry point and one beam.
    for (int64_t width : {1, 2, 3}) {
        api::SearchOptions options = SearchOpts(1, 100);
        options.Values()["diskann.search.io_limit"] = int64_t{2};
        options.Values()["diskann.search.beam_width"] = width;
        auto r = opened.searcher->SearchWithFilter(
            {Queries().data(), kDim}, [](uint64_t) { return false; }, options,
            *std::pmr::get_default_resource());
        ASSERT_TRUE(r.IsOk());
        EXPECT_EQ(r.Value().searchStats.at("query_stats.filtered_count"),
                  std::to_string(1 + width));
    }
    api::SearchOptions maxParallel = SearchOpts(10, 20);
    maxParallel.Values()["search.parallel_number"] = int64_t{1000};
    EXPECT_TRUE(run(maxParallel).IsOk());
}

// Every node is reached, the entry point through its neighbours as well: it
// must still be reported once.
TEST(DiskANNSearcherTest, TinyIndexSearchesAllItsNodes) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    const std::vector<float> data = Clustered(8, kDim, 5);
    auto opened =
        OpenInMemory(BuildImage(IndexOptions("rawf32", "l2", false), data, kDim), kDim, 5);
    ASSERT_TRUE(opened.status.IsOk()) << opened.status.Message();
    // A k far beyond the row count reserves for the rows, not for k.
    for (int64_t k : {int64_t{10}, int64_t{INT32_MAX}, int64_t{1} << 40}) {
        SCOPED_TRACE(k);
        auto r = opened.searcher->Search({data.data(), kDim}, SearchOpts(k, 100),
                                         *std::pmr::get_default_resource());
        ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
        auto ids = Ids(r.Value());
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, (std::vector<uint64_t>{100, 101, 102, 103, 104, 105, 106, 107}));
        EXPECT_EQ(r.Value().topk[0].id, 100u);
        EXPECT_EQ(r.Value().topk[0].distance, 0.0f);
    }
}

TEST(DiskANNSearcherTest, BadOptionsAreRefusedWithTheirMessages) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto opened = OpenInMemory(Image("rawf32"), kDim);
    ASSERT_TRUE(opened.status.IsOk());
    struct Case {
        api::SearchOptions options;
        bool filtered;
        ErrorCode code;
        const char* message;
    };
    const api::OptionValue list = int64_t{10};
    const Case cases[] = {
        {{{"search.topk", int64_t{5}}}, false, ErrorCode::InvalidArgument, "List size is required"},
        {{{"diskann.search.list_size", std::string("10")}},
         false,
         ErrorCode::InvalidArgument,
         "List size is required"},
        {{{"diskann.search.list_size", int64_t{0}}},
         false,
         ErrorCode::InvalidArgument,
         "List size must be > 0"},
        {{{"diskann.search.list_size", int64_t{4294967297}}},
         false,
         ErrorCode::InvalidArgument,
         "Option diskann.search.list_size must be in [1, 4294967295]"},
        {{{"diskann.search.list_size", list}, {"diskann.search.beam_width", int64_t{1} << 40}},
         false,
         ErrorCode::InvalidArgument,
         "Option diskann.search.beam_width must be in [1, 4294967295]"},
        {{{"diskann.search.list_size", list}, {"diskann.search.io_limit", int64_t{0}}},
         false,
         ErrorCode::InvalidArgument,
         "IO limit must be > 0"},
        {{{"diskann.search.list_size", list}, {"diskann.search.beam_width", int64_t{0}}},
         false,
         ErrorCode::InvalidArgument,
         "BeamSearch Width must be > 0"},
        {{{"diskann.search.list_size", list}, {"search.parallel_number", int64_t{0}}},
         false,
         ErrorCode::InvalidArgument,
         "ParallelNumber is out of range"},
        {{{"diskann.search.list_size", list}, {"search.parallel_number", int64_t{1001}}},
         true,
         ErrorCode::InvalidArgument,
         "ParallelNumber is out of range"},
        {{{"diskann.search.list_size", list}, {"search.parallel_number", int64_t{2}}},
         true,
         ErrorCode::InvalidArgument,
         "Multi threaded search when filter is not thread safe"},
        {{{"diskann.search.list_size", list}, {"diskann.search.use_reorder_data", true}},
         false,
         ErrorCode::NotSupported,
         "Do not support search use reorder data yet"},
    };
    for (const Case& c : cases) {
        auto r = c.filtered ? opened.searcher->SearchWithFilter(
                                  {Queries().data(), kDim}, [](uint64_t) { return true; },
                                  c.options, *std::pmr::get_default_resource())
                            : opened.searcher->Search({Queries().data(), kDim}, c.options,
                                                      *std::pmr::get_default_resource());
        EXPECT_EQ(r.GetStatus().Code(), c.code) << c.message;
        EXPECT_EQ(r.GetStatus().Message(), c.message);
    }
    api::SearchOptions safe{{"diskann.search.list_size", list},
                            {"search.parallel_number", int64_t{2}},
                            {"search.thread_safe_filter", true}};
    EXPECT_TRUE(opened.searcher
                    ->SearchWithFilter(
                        {Queries().data(), kDim}, [](uint64_t) { return true; }, safe,
                        *std::pmr::get_default_resource())
                    .IsOk());

    class OtherExtension : public api::ISearchExtension {
        std::string_view Name() const override { return "extension.other"; }
    } other;
    const core::Status refused = opened.searcher->Attach(other);
    EXPECT_EQ(refused.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(refused.Message(), "Extension is not supported by diskann searcher");
}

TEST(DiskANNSearcherTest, DimensionMismatchIsRefusedAtOpen) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto opened = OpenInMemory(Image("rawf32"), kDim + 1);
    EXPECT_FALSE(opened.status.IsOk());
}

}  // namespace
}  // namespace orvane::index::diskann
