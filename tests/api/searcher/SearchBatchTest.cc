// One search call over many queries on real index kinds: the same hits as one
// query at a time for any thread count, the call's checks, filters, and
// concurrent calls on one searcher.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "orvane/extensions/SearchWithFilterExtension.h"
#include "testing/TempDir.h"

namespace orvane::api {
namespace {

using core::ErrorCode;

constexpr int64_t kDim = 8;
constexpr uint64_t kRows = 300;
constexpr uint64_t kQueries = 40;

std::vector<float> RandomRows(uint64_t rows, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> out(rows * kDim);
    for (float& v : out) v = value(rng);
    return out;
}

struct Kind {
    std::string type;
    BuilderOptions build;
    SearchOptions search;  // kind keys of every search
};

std::vector<Kind> Kinds() {
    auto common = [](const char* type) {
        return BuilderOptions{{"index.type", std::string(type)}, {"index.dimension", kDim}};
    };
    Kind brute{"bruteforce", common("bruteforce"), {}};
    Kind ivf{"ivf", common("ivf"), {{"search.nprobe", int64_t{4}}}};
    ivf.build.Values()["ivf.build.num_lists"] = int64_t{8};
    Kind disk{"diskann", common("diskann"), {{"diskann.search.list_size", int64_t{24}}}};
    disk.build.Values()["diskann.build.neighbor_count"] = int64_t{12};
    return {brute, ivf, disk};
}

// A built and opened searcher of one kind, shared by the tests of a binary.
struct Opened {
    OrvaneSearcher searcher;
    SearchOptions search;
};

// Built once per test binary and closed before the process ends.
struct Shared {
    testing::TempDir dir;
    std::map<std::string, std::unique_ptr<Opened>> opened;
};
std::unique_ptr<Shared>& TheShared() {
    static std::unique_ptr<Shared> shared;
    return shared;
}

class SearchBatchTest : public ::testing::Test {
  protected:
    static void TearDownTestSuite() {
        if (!TheShared()) return;
        for (auto& [type, o] : TheShared()->opened) EXPECT_TRUE(o->searcher.Close().IsOk());
        TheShared().reset();
    }
};
class SearchBatchStressTest : public SearchBatchTest {};

Opened& Open(const Kind& kind) {
    if (!TheShared()) TheShared() = std::make_unique<Shared>();
    testing::TempDir& dir = TheShared()->dir;
    auto& slot = TheShared()->opened[kind.type];
    if (slot) return *slot;
    const std::string path = dir.File(kind.type + ".idx");
    auto builder = OrvaneBuilder::Create(kind.build);
    EXPECT_TRUE(builder.IsOk()) << builder.GetStatus().Message();
    const std::vector<float> rows = RandomRows(kRows, 7);
    EXPECT_TRUE(builder.Value().Pretrain(rows.data(), kRows).IsOk());
    std::vector<uint64_t> ids(kRows);
    for (uint64_t i = 0; i < kRows; ++i) ids[i] = 10 * i;
    EXPECT_TRUE(builder.Value().InsertBatch(rows.data(), ids.data(), kRows).IsOk());
    EXPECT_TRUE(builder.Value().Dump(IOOptions{{"index.path", path}}).IsOk());
    auto searcher = OrvaneSearcher::Create(
        SearcherOptions{{"index.type", kind.type}, {"index.dimension", kDim}});
    EXPECT_TRUE(searcher.IsOk());
    EXPECT_TRUE(searcher.Value().Open(IOOptions{{"index.path", path}}).IsOk());
    slot = std::make_unique<Opened>(Opened{searcher.TakeValue(), kind.search});
    return *slot;
}

SearchOptions With(SearchOptions options, int64_t topk, int64_t threads, int64_t parallel = 1) {
    options.Values()["search.topk"] = topk;
    options.Values()["search.batch_threads"] = threads;
    options.Values()["search.parallel_number"] = parallel;
    return options;
}

void ExpectSameHits(const std::vector<SearchResult>& got, const std::vector<SearchResult>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].topk.size(), want[i].topk.size()) << "query " << i;
        for (size_t j = 0; j < got[i].topk.size(); ++j) {
            EXPECT_EQ(got[i].topk[j].id, want[i].topk[j].id) << "query " << i << " hit " << j;
            EXPECT_EQ(got[i].topk[j].distance, want[i].topk[j].distance);
        }
    }
}

std::vector<SearchResult> OneByOne(OrvaneSearcher& searcher, const std::vector<float>& queries,
                                   const SearchOptions& options) {
    std::vector<SearchResult> out;
    for (uint64_t i = 0; i < queries.size() / kDim; ++i) {
        auto result = searcher.Search(Query(queries.data() + i * kDim, kDim), options);
        EXPECT_TRUE(result.IsOk()) << result.GetStatus().Message();
        out.push_back(result.IsOk() ? result.TakeValue() : SearchResult{});
    }
    return out;
}

TEST_F(SearchBatchTest, BatchEqualsOneByOneForEveryKindAndThreadCount) {
    const std::vector<float> queries = RandomRows(kQueries, 11);
    struct Case {
        int64_t threads;
        int64_t parallel;
    };
    const Case cases[] = {{1, 1}, {2, 1}, {4, 1}, {8, 2}, {2, 2}, {1024, 1}};
    for (const Kind& kind : Kinds()) {
        Opened& opened = Open(kind);
        const auto want = OneByOne(opened.searcher, queries, With(opened.search, 5, 1));
        for (const Case& c : cases) {
            SCOPED_TRACE(kind.type + " threads " + std::to_string(c.threads) + " parallel " +
                         std::to_string(c.parallel));
            std::vector<SearchResult> got;
            ASSERT_TRUE(opened.searcher
                            .SearchBatch(queries.data(), kQueries,
                                         With(opened.search, 5, c.threads, c.parallel), got)
                            .IsOk());
            ExpectSameHits(got, want);
        }
    }
}

TEST_F(SearchBatchTest, BadCallsAreRefusedAndTheSearcherStaysUsable) {
    std::vector<float> queries = RandomRows(4, 3);
    std::vector<float> nanAtRow2 = queries;
    nanAtRow2[2 * kDim + 5] = std::nanf("");
    std::vector<float> infAtRow3 = queries;
    infAtRow3[3 * kDim] = -std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        const float* data;
        uint64_t n;
        SearchOptions options;
        std::string message;
    };
    Opened& opened = Open(Kinds()[0]);
    const std::vector<Case> cases = {
        {"nan row 2", nanAtRow2.data(), 4, With({}, 3, 2),
         "query data holds a NaN or infinite value: row 2"},
        {"inf row 3", infAtRow3.data(), 4, With({}, 3, 1),
         "query data holds a NaN or infinite value: row 3"},
        {"topk 0", queries.data(), 4, With({}, 0, 1), "Option search.topk must be > 0"},
        {"threads 0", queries.data(), 4, With({}, 3, 0),
         "Option search.batch_threads must be within 1..1024"},
        {"threads -2", queries.data(), 4, With({}, 3, -2),
         "Option search.batch_threads must be within 1..1024"},
        {"threads 1025", queries.data(), 4, With({}, 3, 1025),
         "Option search.batch_threads must be within 1..1024"},
        {"threads as text", queries.data(), 4,
         SearchOptions{{"search.topk", int64_t{3}}, {"search.batch_threads", std::string("2")}},
         "Type mismatch for search.batch_threads"},
        // The result lists would not fit; refused before any row is read.
        {"n x topk", queries.data(), uint64_t{1} << 24, With({}, 1 << 10, 1),
         "n_queries x topk exceeds the result limit of 2^32 hits"},
        {"null queries", nullptr, 2, With({}, 3, 1), "query data is null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SearchResult> results(1);
        core::Status status = opened.searcher.SearchBatch(c.data, c.n, c.options, results);
        EXPECT_EQ(status.Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(status.Message(), c.message);
        EXPECT_TRUE(results.empty());
    }
    std::vector<SearchResult> results;
    ASSERT_TRUE(opened.searcher.SearchBatch(queries.data(), 4, With({}, 3, 2), results).IsOk());
    EXPECT_EQ(results.size(), 4u);
    ASSERT_TRUE(opened.searcher.SearchBatch(queries.data(), 0, With({}, 3, 2), results).IsOk());
    EXPECT_TRUE(results.empty());
}

TEST_F(SearchBatchTest, FiltersRestrictEveryQueryOfTheBatch) {
    const std::vector<float> queries = RandomRows(kQueries, 5);
    const std::vector<uint64_t> allowed = {30, 40, 1230, 2990, 77777};  // 77777 is not held
    const std::vector<uint64_t> none;
    struct Case {
        const char* name;
        RowFilter filter;
        size_t hits;
    };
    const RowFilter::Predicate even = [](uint64_t id) { return id % 20 == 0; };
    const Case cases[] = {
        {"list", RowFilter::FromSortedIds(allowed), 4},
        {"empty list", RowFilter::FromSortedIds(none), 0},
        {"predicate", RowFilter::FromPredicate(even), 5},
    };
    for (int kindIndex : {0, 2}) {  // the kinds that filter
        const Kind kind = Kinds()[kindIndex];
        Opened& opened = Open(kind);
        for (const Case& c : cases) {
            SCOPED_TRACE(kind.type + " " + c.name);
            std::vector<SearchResult> results;
            ASSERT_TRUE(opened.searcher
                            .SearchBatch(queries.data(), kQueries, With(opened.search, 5, 2),
                                         results, &c.filter)
                            .IsOk());
            ASSERT_EQ(results.size(), kQueries);
            for (const SearchResult& r : results) {
                if (kindIndex == 0) {
                    EXPECT_EQ(r.topk.size(), c.hits);
                }
                for (const SearchHit& hit : r.topk) EXPECT_TRUE(c.filter.Allows(hit.id));
            }
        }
    }
}

// The filter extension searches through the facade: a non-finite query is
// refused there as on the plain path.
TEST_F(SearchBatchTest, FilterExtensionRefusesNonFiniteQueries) {
    for (int kindIndex : {0, 2}) {
        Opened& opened = Open(Kinds()[kindIndex]);
        extensions::SearchWithFilterExtension extension;
        ASSERT_TRUE(opened.searcher.Attach(extension).IsOk());
        std::vector<float> query = RandomRows(1, 9);
        query[1] = std::nanf("");
        auto result = extension.Call(
            Query(query.data(), kDim), [](uint64_t) { return true; }, With(opened.search, 3, 1),
            *std::pmr::get_default_resource());
        ASSERT_FALSE(result.IsOk());
        EXPECT_EQ(result.GetStatus().Code(), ErrorCode::InvalidArgument);
        EXPECT_EQ(result.GetStatus().Message(), "query data holds a NaN or infinite value");
    }
}

TEST_F(SearchBatchStressTest, ConcurrentBatchCallsOnOneSearcher) {
    const std::vector<float> queries = RandomRows(kQueries, 13);
    for (const Kind& kind : Kinds()) {
        Opened& opened = Open(kind);
        const SearchOptions options = With(opened.search, 4, 3);
        const auto want = OneByOne(opened.searcher, queries, options);
        std::vector<std::vector<SearchResult>> got(4);
        std::vector<std::thread> callers;
        for (auto& slot : got) {
            callers.emplace_back([&] {
                for (int round = 0; round < 3; ++round) {
                    EXPECT_TRUE(opened.searcher.SearchBatch(queries.data(), kQueries, options, slot)
                                    .IsOk());
                }
            });
        }
        for (auto& t : callers) t.join();
        for (const auto& g : got) ExpectSameHits(g, want);
    }
}

}  // namespace
}  // namespace orvane::api
