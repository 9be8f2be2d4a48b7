// Filtered DiskANN searches keep their hits: at every selectivity, for allowed
// lists and predicates, over raw and PQ codes, recall@10 against the exact
// filtered top-10 and min(k, admitted) hits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "index/diskann/search/SearcherTestUtil.h"
#include "orvane/api/RowFilter.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

using namespace testutil;

constexpr uint32_t kDim = 16;
constexpr uint32_t kN = 2000;
constexpr uint32_t kQueries = 30;
constexpr uint64_t kFirstRow = 100;  // BuildImage numbers rows from 100

const std::vector<float>& Data() {
    static const std::vector<float> data = Clustered(kN, kDim, 21);
    return data;
}
const std::vector<float>& Queries() {
    static const std::vector<float> queries = NearQueries(Data(), kDim, kQueries, 22);
    return queries;
}

const std::string& Image(const std::string& encoding) {
    static std::map<std::string, std::string> images;
    auto it = images.find(encoding);
    if (it == images.end()) {
        testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
        api::BuilderOptions options = Options(kDim, 24, 2, 100);
        options.Values()["encoding.type"] = encoding;
        if (encoding == "pq") options.Values()["encoding.pq.m"] = int64_t{8};
        it = images.emplace(encoding, BuildImage(options, Data(), kDim)).first;
    }
    return it->second;
}

// Every `stride`-th row, starting at a row that is not the first: `count` rows.
std::vector<uint64_t> Allowed(uint64_t count, uint64_t stride) {
    std::vector<uint64_t> rows;
    for (uint64_t i = 0; i < count; ++i) rows.push_back(kFirstRow + 7 + i * stride);
    return rows;
}

// Mean recall@10 of filtered searches against the exact filtered top-10; also
// checks that each search returns min(10, admitted) distinct admitted hits.
double FilteredRecall(DiskANNSearcherBackend& searcher, const api::RowFilter& filter,
                      const std::set<uint64_t>& admitted, int64_t listSize) {
    const auto keep = [&](uint64_t id) { return admitted.count(id) != 0; };
    double recall = 0;
    for (uint32_t q = 0; q < kQueries; ++q) {
        const float* query = Queries().data() + q * kDim;
        auto result = searcher.SearchWithFilter({query, kDim}, filter, SearchOpts(10, listSize),
                                                *std::pmr::get_default_resource());
        EXPECT_TRUE(result.IsOk()) << result.GetStatus().Message();
        if (!result.IsOk()) return 0;
        const auto found = Ids(result.Value());
        EXPECT_EQ(found.size(), std::min<size_t>(10, admitted.size())) << "query " << q;
        EXPECT_EQ(std::set<uint64_t>(found.begin(), found.end()).size(), found.size());
        for (uint64_t id : found) EXPECT_TRUE(keep(id)) << "hit " << id << " not admitted";
        const auto truth = ExactTopk(Data(), kDim, query, 10, false, keep);
        size_t hit = 0;
        for (uint64_t id : found) hit += std::count(truth.begin(), truth.end(), id);
        recall += truth.empty() ? 1.0 : static_cast<double>(hit) / truth.size();
    }
    return recall / kQueries;
}

TEST(DiskANNFilteredSearchTest, RecallAtEverySelectivity) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    struct Case {
        const char* name;
        uint64_t count;   // admitted rows
        uint64_t stride;  // spacing of the admitted rows
        int64_t listSize;
    };
    // With 2000 nodes of degree 24 the small lists are scored directly; list
    // size 20 makes the 50% and 90% lists walk the graph (a 50% predicate
    // widens its list on the way).
    const Case cases[] = {
        {"90% walk", 1800, 1, 20}, {"50% walk", 1000, 2, 20}, {"50%", 1000, 2, 100},
        {"10%", 200, 10, 100},     {"1%", 20, 97, 100},       {"5 rows", 5, 301, 100},
        {"one row", 1, 1, 100},
    };
    std::set<uint64_t> everyRow;
    for (uint64_t i = 0; i < kN; ++i) everyRow.insert(kFirstRow + i);
    for (const std::string encoding : {"rawf32", "pq"}) {
        auto opened = OpenInMemory(Image(encoding), kDim, 50);
        ASSERT_TRUE(opened.status.IsOk()) << opened.status.Message();
        for (const Case& c : cases) {
            const std::vector<uint64_t> rows = Allowed(c.count, c.stride);
            const std::set<uint64_t> admitted(rows.begin(), rows.end());
            const auto predicate = [&](uint64_t id) { return admitted.count(id) != 0; };
            SCOPED_TRACE(encoding + " " + c.name);
            // A filtered search is held to 0.95, or to what the unfiltered
            // search achieves with the same list where the codes limit that.
            const double unfiltered =
                FilteredRecall(*opened.searcher, api::RowFilter(), everyRow, c.listSize);
            const double wanted = std::min(0.95, unfiltered - 0.03);
            EXPECT_GE(FilteredRecall(*opened.searcher, api::RowFilter::FromSortedIds(rows),
                                     admitted, c.listSize),
                      wanted)
                << "list";
            EXPECT_GE(
                FilteredRecall(*opened.searcher, api::RowFilter(predicate), admitted, c.listSize),
                wanted)
                << "predicate";
        }
    }
}

TEST(DiskANNFilteredSearchTest, ListsWithRepeatsUnknownIdsOrNothing) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto opened = OpenInMemory(Image("rawf32"), kDim);
    ASSERT_TRUE(opened.status.IsOk());
    struct Case {
        const char* name;
        std::vector<uint64_t> ids;    // as a caller passes them
        std::set<uint64_t> admitted;  // rows the index holds among them
    };
    const Case cases[] = {
        {"repeats",
         {kFirstRow + 9, kFirstRow + 3, kFirstRow + 9, kFirstRow + 3},
         {kFirstRow + 3, kFirstRow + 9}},
        {"unknown ids", {0, 5, kFirstRow + kN, kFirstRow + 40, ~uint64_t{0}}, {kFirstRow + 40}},
        {"only unknown ids", {1, 2, kFirstRow + kN + 1}, {}},
        {"empty", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint64_t> storage;
        const api::RowFilter filter = api::MakeAllowedIdFilter(c.ids, storage);
        EXPECT_DOUBLE_EQ(FilteredRecall(*opened.searcher, filter, c.admitted, 100), 1.0);
    }
}

// Threads search at once with lists and predicates of every selectivity, each
// with its own context; every result equals the one-thread result.
TEST(DiskANNFilteredSearchTest, ConcurrentFilteredSearchesStress) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto opened = OpenInMemory(Image("pq"), kDim, 50);
    ASSERT_TRUE(opened.status.IsOk());
    const std::vector<std::vector<uint64_t>> lists = {Allowed(1000, 2), Allowed(20, 97),
                                                      Allowed(1, 1)};
    std::vector<api::RowFilter> filters;
    for (const auto& rows : lists) {
        filters.push_back(api::RowFilter::FromSortedIds(rows));
        filters.push_back(api::RowFilter(
            [&rows](uint64_t id) { return std::binary_search(rows.begin(), rows.end(), id); }));
    }
    const api::SearchOptions options = SearchOpts(10, 20);
    auto run = [&](size_t f, uint32_t q) {
        auto r = opened.searcher->SearchWithFilter({Queries().data() + q * kDim, kDim}, filters[f],
                                                   options, *std::pmr::get_default_resource());
        return r.IsOk() ? Ids(r.Value()) : std::vector<uint64_t>{~uint64_t{0}};
    };
    std::vector<std::vector<uint64_t>> expected;
    for (size_t f = 0; f < filters.size(); ++f) {
        for (uint32_t q = 0; q < kQueries; ++q) expected.push_back(run(f, q));
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (size_t i = 0; i < expected.size(); ++i) {
                    const size_t at = (i + t * 7) % expected.size();
                    if (run(at / kQueries, at % kQueries) != expected[at]) ++mismatches[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace orvane::index::diskann
