// Filtered ivf searches keep their hits: over rawf32, sq8 and pq codes, for
// allowed-id lists and predicates, at every selectivity, they return
// min(k, admitted) distinct admitted hits, and the exact filtered top-k (the
// bruteforce kind's, over the same encoding) once every list is scanned or
// the admitted rows are scored directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <memory_resource>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "IvfTestUtil.h"
#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "orvane/api/RowFilter.h"
#include "orvane/extensions/SearchWithFilterExtension.h"
#include "testing/LogCapture.h"
#include "testing/TempDir.h"

namespace orvane::index::ivf {
namespace {

using api::SearchOptions;
using core::ErrorCode;
using extensions::SearchWithFilterExtension;

constexpr uint32_t kDim = 16;
constexpr uint32_t kLists = 16;
constexpr uint64_t kN = 2000;
constexpr uint32_t kQueries = 20;
constexpr int64_t kTopk = 10;

const std::vector<float>& Rows() {
    static const std::vector<float> rows = testutil::ClusteredRows(kN, kDim, 40, 31);
    return rows;
}
const std::vector<float>& Queries() {
    static const std::vector<float> queries = testutil::ClusteredRows(kQueries, kDim, 40, 32);
    return queries;
}

// An ivf index and a bruteforce index over the same rows and encoding, opened
// through the facade with the filter extension attached.
struct Pair {
    testing::TempDir dir;
    std::optional<api::OrvaneSearcher> ivf;
    std::optional<api::OrvaneSearcher> brute;
    SearchWithFilterExtension ivfFilter;
    SearchWithFilterExtension bruteFilter;

    ~Pair() {
        if (ivf) {
            EXPECT_TRUE(ivf->Close().IsOk());
        }
        if (brute) {
            EXPECT_TRUE(brute->Close().IsOk());
        }
    }
};

// Row ids 0..n-1 (dense: the searcher maps ids to rows by a table) or spread
// apart (IdOf: by binary search).
uint64_t RowId(bool dense, uint64_t row) {
    return dense ? row : testutil::IdOf(row);
}

api::OrvaneSearcher BuildAndOpen(api::BuilderOptions options, const std::string& path, bool dense) {
    const std::string kind = std::get<std::string>(options.Values().at("index.type"));
    std::vector<uint64_t> ids(kN);
    for (uint64_t i = 0; i < kN; ++i) ids[i] = RowId(dense, i);
    auto builder = api::OrvaneBuilder::Create(options);
    EXPECT_TRUE(builder.IsOk()) << builder.GetStatus().Message();
    EXPECT_TRUE(builder.Value().Pretrain(Rows().data(), kN).IsOk());
    EXPECT_TRUE(builder.Value().InsertBatch(Rows().data(), ids.data(), kN).IsOk());
    EXPECT_TRUE(builder.Value().Dump(api::IOOptions{{"index.path", path}}).IsOk());
    auto searcher = api::OrvaneSearcher::Create(
        api::SearcherOptions{{"index.type", kind}, {"index.dimension", int64_t{kDim}}});
    EXPECT_TRUE(searcher.IsOk());
    EXPECT_TRUE(searcher.Value().Open(api::IOOptions{{"index.path", path}}).IsOk());
    return searcher.TakeValue();
}

Pair& Indexes(const std::string& encoding, bool dense = false) {
    static std::map<std::string, std::unique_ptr<Pair>> cache;
    auto& slot = cache[encoding + (dense ? " dense" : "")];
    if (!slot) {
        testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
        auto pair = std::make_unique<Pair>();
        testutil::BuildPlan plan;
        plan.dim = kDim;
        plan.numLists = kLists;
        plan.encoding = encoding;
        api::BuilderOptions ivfOptions = testutil::OptionsOf(plan);
        api::BuilderOptions bruteOptions = ivfOptions;
        bruteOptions.Values()["index.type"] = std::string("bruteforce");
        bruteOptions.Values().erase("ivf.build.num_lists");
        bruteOptions.Values().erase("ivf.build.thread_count");
        pair->ivf.emplace(BuildAndOpen(ivfOptions, pair->dir.File("ivf.idx"), dense));
        pair->brute.emplace(BuildAndOpen(bruteOptions, pair->dir.File("brute.idx"), dense));
        EXPECT_TRUE(pair->ivf->Attach(pair->ivfFilter).IsOk());
        EXPECT_TRUE(pair->brute->Attach(pair->bruteFilter).IsOk());
        slot = std::move(pair);
    }
    return *slot;
}

// `count` ids of rows spread over the index (a fixed shuffle), ascending;
// `absent` ids the index does not hold are added.
std::vector<uint64_t> AllowedIds(uint64_t count, uint64_t absent = 0, bool dense = false) {
    std::vector<uint64_t> rows(kN);
    std::iota(rows.begin(), rows.end(), uint64_t{0});
    std::shuffle(rows.begin(), rows.end(), std::mt19937_64(41));
    std::vector<uint64_t> ids;
    for (uint64_t i = 0; i < count; ++i) ids.push_back(RowId(dense, rows[i]));
    // IdOf is 1000 + 7 * row: ids 1 apart from a held one are never held.
    for (uint64_t i = 0; i < absent; ++i) {
        ids.push_back(dense ? kN + 3 * i : testutil::IdOf(rows[kN - 1 - i]) + 1);
    }
    api::NormalizeAllowedIds(ids);
    return ids;
}

core::Result<api::SearchResult> Call(const SearchWithFilterExtension& ext, const float* query,
                                     const api::RowFilter& filter, int64_t nprobe) {
    return ext.Call(api::Query(query, kDim), filter,
                    SearchOptions{{"search.topk", kTopk}, {"search.nprobe", nprobe}},
                    *std::pmr::get_default_resource());
}

std::vector<uint64_t> Ids(const api::SearchResult& result) {
    std::vector<uint64_t> ids;
    for (const auto& hit : result.topk) ids.push_back(hit.id);
    return ids;
}

// The same hits, distances equal but for the last bits of the float sums.
void ExpectSameHits(const api::SearchResult& got, const api::SearchResult& want) {
    ASSERT_EQ(Ids(got), Ids(want));
    for (size_t i = 0; i < got.topk.size(); ++i) {
        EXPECT_NEAR(got.topk[i].distance, want.topk[i].distance,
                    1e-5f * std::max(1.0f, std::fabs(want.topk[i].distance)));
    }
}

TEST(IvfFilteredSearchTest, KeepsItsHitsAndIsExactWhenEveryRowIsReached) {
    struct Case {
        const char* name;
        uint64_t held;    // admitted ids the index holds
        uint64_t absent;  // admitted ids it does not hold
    };
    const Case cases[] = {
        {"half", 1000, 0},    {"a tenth", 200, 0},
        {"1%", 20, 0},        {"0.1%", 2, 0},
        {"one row", 1, 0},    {"nothing", 0, 0},
        {"absent ids", 0, 5}, {"one held among absent", 1, 300},
    };
    struct Recall {
        uint64_t hits = 0, wanted = 0;
    };
    struct Config {
        std::string encoding;
        bool dense;
    };
    for (const Config& config : {Config{"rawf32", false}, Config{"sq8", false}, Config{"pq", false},
                                 Config{"rawf32", true}}) {
        const std::string& encoding = config.encoding;
        const std::string name = encoding + (config.dense ? " dense ids" : "");
        Pair& pair = Indexes(encoding, config.dense);
        // A pq code book is trained anew for each index, so the pq reference
        // is the ivf search that reaches every row (a predicate over all lists).
        const bool bruteIsExact = encoding != "pq";
        Recall nprobe4;
        for (const Case& c : cases) {
            const std::vector<uint64_t> allowed = AllowedIds(c.held, c.absent, config.dense);
            const api::RowFilter list = api::RowFilter::FromSortedIds(allowed);
            const api::RowFilter predicate([&allowed](uint64_t id) {
                return std::binary_search(allowed.begin(), allowed.end(), id);
            });
            const size_t expectedHits = std::min<size_t>(kTopk, c.held);
            for (uint32_t q = 0; q < kQueries; ++q) {
                SCOPED_TRACE(name + " " + c.name + " query " + std::to_string(q));
                const float* query = Queries().data() + q * kDim;
                auto exact = bruteIsExact ? Call(pair.bruteFilter, query, list, 1)
                                          : Call(pair.ivfFilter, query, predicate, kLists);
                ASSERT_TRUE(exact.IsOk()) << exact.GetStatus().Message();
                ASSERT_EQ(exact.Value().topk.size(), expectedHits);
                for (const int64_t nprobe : {int64_t{1}, int64_t{4}, int64_t{kLists}}) {
                    for (const api::RowFilter* filter : {&list, &predicate}) {
                        SCOPED_TRACE(std::string(filter->HasList() ? "list" : "predicate") +
                                     " nprobe " + std::to_string(nprobe));
                        auto got = Call(pair.ivfFilter, query, *filter, nprobe);
                        ASSERT_TRUE(got.IsOk()) << got.GetStatus().Message();
                        const std::vector<uint64_t> ids = Ids(got.Value());
                        ASSERT_EQ(ids.size(), expectedHits);
                        EXPECT_EQ(std::set<uint64_t>(ids.begin(), ids.end()).size(), ids.size());
                        for (uint64_t id : ids) EXPECT_TRUE(filter->Allows(id)) << id;
                        // Every list scanned, or a short list scored row by row.
                        if (nprobe == kLists || (filter->HasList() && c.held <= 20)) {
                            ExpectSameHits(got.Value(), exact.Value());
                        }
                        if (nprobe == 4 && filter->HasList()) {
                            const std::vector<uint64_t> want = Ids(exact.Value());
                            for (uint64_t id : ids) {
                                nprobe4.hits += std::count(want.begin(), want.end(), id);
                            }
                            nprobe4.wanted += want.size();
                        }
                    }
                }
            }
        }
        // A quarter of the lists finds nearly all of the filtered top-10.
        EXPECT_GE(static_cast<double>(nprobe4.hits), 0.9 * nprobe4.wanted) << name;
    }
}

TEST(IvfFilteredSearchTest, BatchesThroughTheFacadeEqualSearchesOneByOne) {
    Pair& pair = Indexes("rawf32");
    for (const uint64_t held : {uint64_t{1000}, uint64_t{20}}) {
        SCOPED_TRACE(held);
        const std::vector<uint64_t> allowed = AllowedIds(held);
        const api::RowFilter list = api::RowFilter::FromSortedIds(allowed);
        const SearchOptions options{{"search.topk", kTopk},
                                    {"search.nprobe", int64_t{2}},
                                    {"search.batch_threads", int64_t{2}}};
        std::vector<api::SearchResult> batch;
        core::Status st = pair.ivf->SearchBatch(Queries().data(), kQueries, options, batch, &list);
        ASSERT_TRUE(st.IsOk()) << st.Message();
        ASSERT_EQ(batch.size(), kQueries);
        for (uint32_t q = 0; q < kQueries; ++q) {
            auto one = Call(pair.ivfFilter, Queries().data() + q * kDim, list, 2);
            ASSERT_TRUE(one.IsOk());
            EXPECT_EQ(Ids(batch[q]), Ids(one.Value())) << "query " << q;
            EXPECT_EQ(batch[q].topk.size(), static_cast<size_t>(kTopk));
        }
    }
}

TEST(IvfFilteredSearchTest, StatisticsCountTheRowsScoredAndRefused) {
    const float* query = Queries().data();
    struct Case {
        const char* name;
        uint64_t held;
        bool predicate;
        int64_t nprobe;
    };
    // A short list is scored row by row: the others count as refused. A scan
    // of every list tests every row.
    const Case cases[] = {{"short list", 20, false, 1},
                          {"long list over every list", 1000, false, kLists},
                          {"predicate over every list", 20, true, kLists}};
    for (const bool dense : {false, true}) {
        Pair& pair = Indexes("rawf32", dense);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (dense ? " dense ids" : ""));
            const std::vector<uint64_t> allowed = AllowedIds(c.held, 0, dense);
            const api::RowFilter filter = c.predicate ? api::RowFilter([&allowed](uint64_t id) {
                return std::binary_search(allowed.begin(), allowed.end(), id);
            })
                                                      : api::RowFilter::FromSortedIds(allowed);
            auto got = Call(pair.ivfFilter, query, filter, c.nprobe);
            ASSERT_TRUE(got.IsOk());
            const auto& stats = got.Value().searchStats;
            EXPECT_EQ(stats.at("query_stats.distance_calculate_count"), std::to_string(c.held));
            EXPECT_EQ(stats.at("query_stats.filtered_count"), std::to_string(kN - c.held));
        }
    }
}

TEST(IvfFilteredSearchTest, TheExtensionIsAttachedAndChecksItsCalls) {
    testutil::BuildPlan plan;
    const std::vector<float> rows = testutil::ClusteredRows(60, plan.dim, 2, 7);
    auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
    SearchWithFilterExtension extension;
    ASSERT_TRUE(searcher->Attach(extension).IsOk());
    struct Case {
        const char* name;
        SearchOptions options;
        api::RowFilter filter;
        const float* query;
        uint32_t size;
        ErrorCode code;
        size_t hits;
    };
    const auto all = [](uint64_t) { return true; };
    const SearchOptions topk5{{"search.topk", int64_t{5}}};
    const SearchOptions threads{{"search.topk", int64_t{5}},
                                {"search.parallel_number", int64_t{4}}};
    SearchOptions safeThreads = threads;
    safeThreads.Values()["search.thread_safe_filter"] = true;
    const Case cases[] = {
        {"admits every row", topk5, all, rows.data(), plan.dim, ErrorCode::Ok, 5},
        {"an empty callable admits nothing", topk5, api::RowFilter(), rows.data(), plan.dim,
         ErrorCode::Ok, 0},
        {"more hits than rows", SearchOptions{{"search.topk", int64_t{100}}}, all, rows.data(),
         plan.dim, ErrorCode::Ok, 60},
        {"topk missing", SearchOptions{}, all, rows.data(), plan.dim, ErrorCode::InvalidArgument,
         0},
        {"nprobe 0", SearchOptions{{"search.topk", int64_t{5}}, {"search.nprobe", int64_t{0}}}, all,
         rows.data(), plan.dim, ErrorCode::InvalidArgument, 0},
        {"threads without a thread-safe filter", threads, all, rows.data(), plan.dim,
         ErrorCode::InvalidArgument, 0},
        {"threads with a thread-safe filter", safeThreads, all, rows.data(), plan.dim,
         ErrorCode::Ok, 5},
        {"null query", topk5, all, nullptr, plan.dim, ErrorCode::InvalidArgument, 0},
        {"short query", topk5, all, rows.data(), plan.dim - 1, ErrorCode::InvalidArgument, 0},
    };
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = extension.Call(api::Query(c.query, c.size), c.filter, c.options,
                                  *std::pmr::get_default_resource());
        if (!got.IsOk()) {
            EXPECT_EQ(got.GetStatus().Code(), c.code) << got.GetStatus().Message();
            continue;
        }
        EXPECT_EQ(c.code, ErrorCode::Ok);
        EXPECT_EQ(got.Value().topk.size(), c.hits);
    }
}

TEST(IvfFilteredSearchTest, OtherExtensionsAreRefused) {
    testutil::BuildPlan plan;
    const std::vector<float> rows = testutil::ClusteredRows(30, plan.dim, 2, 7);
    auto searcher = testutil::OpenSearcher(testutil::BuildImage(rows, plan), plan.dim);
    struct Other : api::ISearchExtension {
        std::string_view Name() const override { return "extension.other"; }
    } other;
    core::Status st = searcher->Attach(other);
    EXPECT_EQ(st.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(st.Message(), "extension extension.other not supported by ivf searcher");
}

// A file whose ids section keeps the lists in another order than the list
// directory (the builder never writes one) still finds each id's row.
TEST(IvfFilteredSearchTest, IdsStoredOutOfListOrderAreFound) {
    testutil::BuildPlan plan;
    plan.numLists = 4;
    const std::vector<float> rows = testutil::ClusteredRows(200, plan.dim, 4, 9);
    const std::string image = testutil::BuildImage(rows, plan);
    testutil::Sections sections = testutil::SplitSections(image);
    std::vector<ListDirEntry> dir = sections.Dir();
    const std::vector<uint64_t> ids = sections.Words(kIdsSection);
    // Lists' ids in reverse order: the last list's first.
    std::vector<uint64_t> reversed;
    for (size_t j = dir.size(); j-- > 0;) {
        const uint64_t first = dir[j].idsOffset / 8;
        dir[j].idsOffset = reversed.size() * 8;
        reversed.insert(reversed.end(), ids.begin() + first, ids.begin() + first + dir[j].idsCount);
    }
    sections.SetWords(kIdsSection, reversed);
    sections.SetDir(dir);
    auto original = testutil::OpenSearcher(image, plan.dim);
    auto moved = testutil::OpenSearcher(sections.Image(), plan.dim);

    const std::vector<uint64_t> allowed = {testutil::IdOf(3), testutil::IdOf(77),
                                           testutil::IdOf(150), testutil::IdOf(199)};
    const api::RowFilter list = api::RowFilter::FromSortedIds(allowed);
    const SearchOptions options{{"search.topk", int64_t{3}}, {"search.nprobe", int64_t{1}}};
    for (uint64_t q = 0; q < 10; ++q) {
        const api::Query query(rows.data() + q * 17 * plan.dim, plan.dim);
        auto want =
            original->SearchFiltered(query, list, options, *std::pmr::get_default_resource());
        auto got = moved->SearchFiltered(query, list, options, *std::pmr::get_default_resource());
        ASSERT_TRUE(want.IsOk() && got.IsOk());
        ASSERT_EQ(got.Value().topk.size(), 3u);
        ExpectSameHits(got.Value(), want.Value());
    }
}

TEST(IvfFilteredSearchTest, ConcurrentFilteredSearchesStress) {
    Pair& pair = Indexes("sq8");
    const std::vector<uint64_t> shortList = AllowedIds(20);
    const std::vector<uint64_t> longList = AllowedIds(1000);
    const api::RowFilter filters[] = {api::RowFilter::FromSortedIds(shortList),
                                      api::RowFilter::FromSortedIds(longList)};
    std::vector<std::vector<uint64_t>> expected;
    for (const api::RowFilter& f : filters) {
        for (uint32_t q = 0; q < kQueries; ++q) {
            auto r = Call(pair.ivfFilter, Queries().data() + q * kDim, f, 2);
            ASSERT_TRUE(r.IsOk());
            expected.push_back(Ids(r.Value()));
        }
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                for (size_t i = 0; i < expected.size(); ++i) {
                    const size_t f = i / kQueries;
                    const size_t q = (i + t) % kQueries;
                    auto r = Call(pair.ivfFilter, Queries().data() + q * kDim, filters[f], 2);
                    if (!r.IsOk() || Ids(r.Value()) != expected[f * kQueries + q]) ++mismatches;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace orvane::index::ivf
