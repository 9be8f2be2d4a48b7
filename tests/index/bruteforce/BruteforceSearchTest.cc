// Bruteforce searches: exact results against a scan computed here in double
// precision, ordering per metric, filters, parallel numbers, statistics, the
// refusals of bad options and files, and how the fan-out treats the executor.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "encoding/QuantizerTrainerFactory.h"
#include "orvane/extensions/SearchWithFilterExtension.h"
#include "index/bruteforce/BruteforceIndexMeta.h"
#include "index/bruteforce/BruteforceSearcherBackend.h"
#include "index/bruteforce/BruteforceTestUtil.h"
#include "io/InputStream.h"
#include "io/MemoryFileReader.h"
#include "testing/LogCapture.h"
#include "testing/TempDir.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::index {
namespace {

using api::SearchOptions;
using core::ErrorCode;
using extensions::SearchWithFilterExtension;
using testing::BruteforceOptions;
using testing::BuildFile;
using testing::OpenSearcher;
using testing::RandomRows;
using testing::SpreadIds;

constexpr uint32_t kDim = 13;  // not a multiple of 8: the kernels' tails run too
constexpr uint64_t kRows = 300;

// The metric value of a stored row for a query, computed independently.
double Reference(const std::string& metric, const float* q, const float* x, uint32_t dim) {
    double dot = 0, nq = 0, nx = 0, l2 = 0;
    for (uint32_t i = 0; i < dim; ++i) {
        dot += double(q[i]) * x[i];
        nq += double(q[i]) * q[i];
        nx += double(x[i]) * x[i];
        l2 += (double(q[i]) - x[i]) * (double(q[i]) - x[i]);
    }
    if (metric == "l2") return l2;
    if (metric == "inner_product") return dot;
    return 1.0 - dot / (std::sqrt(nq) * std::sqrt(nx));
}

struct Expected {
    std::vector<uint64_t> ids;
    std::vector<double> scores;
};

// The best k admitted rows, best first.
Expected ExactTopK(const std::string& metric, const std::vector<float>& rows,
                   const std::vector<uint64_t>& ids, const float* q, uint64_t k,
                   const std::function<bool(uint64_t)>& admit) {
    const bool higherIsBetter = metric == "inner_product";
    std::vector<std::pair<double, uint64_t>> scored;
    for (uint64_t r = 0; r < ids.size(); ++r) {
        if (!admit(ids[r])) continue;
        scored.push_back({Reference(metric, q, rows.data() + r * kDim, kDim), ids[r]});
    }
    std::sort(scored.begin(), scored.end(), [&](const auto& a, const auto& b) {
        return higherIsBetter ? a.first > b.first : a.first < b.first;
    });
    scored.resize(std::min<uint64_t>(k, scored.size()));
    Expected e;
    for (const auto& [s, id] : scored) {
        e.ids.push_back(id);
        e.scores.push_back(s);
    }
    return e;
}

void ExpectMatches(const api::SearchResult& got, const Expected& want, const std::string& what) {
    ASSERT_EQ(got.topk.size(), want.ids.size()) << what;
    for (size_t i = 0; i < want.ids.size(); ++i) {
        EXPECT_EQ(got.topk[i].id, want.ids[i]) << what << " hit " << i;
        EXPECT_NEAR(got.topk[i].distance, want.scores[i], 1e-4 * (1 + std::abs(want.scores[i])))
            << what << " hit " << i;
    }
}

class BruteforceSearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rows = RandomRows(kRows, kDim, 7);
        ids = SpreadIds(kRows);
        queries = RandomRows(4, kDim, 8);
    }

    api::OrvaneSearcher Build(const std::string& metric) {
        const std::string path = dir.File(metric + ".idx");
        BuildFile(BruteforceOptions(kDim, metric), rows, ids, path);
        return OpenSearcher(path, kDim);
    }

    ::orvane::testing::TempDir dir;
    std::vector<float> rows;
    std::vector<uint64_t> ids;
    std::vector<float> queries;
};

TEST_F(BruteforceSearchTest, Rawf32IsExactForEveryMetricAndParallelNumber) {
    for (const std::string metric : {"l2", "inner_product", "cosine"}) {
        api::OrvaneSearcher searcher = Build(metric);
        for (uint64_t qi = 0; qi < 4; ++qi) {
            const float* q = queries.data() + qi * kDim;
            const Expected want =
                ExactTopK(metric, rows, ids, q, 10, [](uint64_t) { return true; });
            std::vector<api::SearchHit> first;
            for (int64_t parallel : {1, 2, 8}) {
                const std::string what =
                    metric + " q" + std::to_string(qi) + " P" + std::to_string(parallel);
                auto result = searcher.Search(api::Query(q, kDim),
                                              SearchOptions{{"search.topk", int64_t{10}},
                                                            {"search.parallel_number", parallel}});
                ASSERT_TRUE(result.IsOk()) << what << ": " << result.GetStatus().Message();
                ExpectMatches(result.Value(), want, what);
                const auto& hits = result.Value().topk;
                // Best first: descending for inner product, ascending otherwise.
                for (size_t i = 1; i < hits.size(); ++i) {
                    if (metric == "inner_product") {
                        EXPECT_GE(hits[i - 1].distance, hits[i].distance) << what;
                    } else {
                        EXPECT_LE(hits[i - 1].distance, hits[i].distance) << what;
                    }
                }
                // Every parallel number gives the very same hits.
                if (first.empty()) first = hits;
                ASSERT_EQ(hits.size(), first.size()) << what;
                for (size_t i = 0; i < hits.size(); ++i) {
                    EXPECT_EQ(hits[i].id, first[i].id) << what;
                    EXPECT_EQ(hits[i].distance, first[i].distance) << what;
                }
                EXPECT_EQ(result.Value().searchStats.at(api::kQueryStatsDistanceCalculateCount),
                          std::to_string(kRows));
                EXPECT_EQ(result.Value().searchStats.at(api::kQueryStatsFilteredCount), "0");
            }
        }
    }
}

TEST_F(BruteforceSearchTest, FiltersAdmittingNoneSomeOrAllRows) {
    api::OrvaneSearcher searcher = Build("l2");
    SearchWithFilterExtension extension;
    ASSERT_TRUE(searcher.Attach(extension).IsOk());
    struct Case {
        std::string name;
        std::function<bool(uint64_t)> admit;
        uint64_t admitted;
    };
    const std::vector<Case> cases = {
        {"none", [](uint64_t) { return false; }, 0},
        {"every third", [](uint64_t id) { return (id - 1000) / 7 % 3 == 0; }, kRows / 3},
        {"all", [](uint64_t) { return true; }, kRows},
        {"one", [](uint64_t id) { return id == 1000 + 7 * 123; }, 1},
    };
    const float* q = queries.data();
    for (const Case& c : cases) {
        for (int64_t parallel : {1, 3}) {
            const std::string what = c.name + " P" + std::to_string(parallel);
            std::atomic<uint64_t> calls{0};
            auto filter = [&](uint64_t id) {
                calls.fetch_add(1);
                return c.admit(id);
            };
            std::pmr::monotonic_buffer_resource arena;
            auto result = extension.Call(api::Query(q, kDim), filter,
                                         SearchOptions{{"search.topk", int64_t{10}},
                                                       {"search.parallel_number", parallel},
                                                       {"search.thread_safe_filter", true}},
                                         arena);
            ASSERT_TRUE(result.IsOk()) << what << ": " << result.GetStatus().Message();
            ExpectMatches(result.Value(), ExactTopK("l2", rows, ids, q, 10, c.admit), what);
            EXPECT_EQ(calls.load(), kRows) << what;
            EXPECT_EQ(result.Value().searchStats.at(api::kQueryStatsFilteredCount),
                      std::to_string(kRows - c.admitted))
                << what;
            EXPECT_EQ(result.Value().searchStats.at(api::kQueryStatsDistanceCalculateCount),
                      std::to_string(kRows))
                << what;
        }
    }
}

TEST_F(BruteforceSearchTest, TopkAbsentZeroOrLargerThanTheIndex) {
    api::OrvaneSearcher searcher = Build("inner_product");
    SearchWithFilterExtension extension;
    ASSERT_TRUE(searcher.Attach(extension).IsOk());
    auto evenRows = [](uint64_t id) { return (id - 1000) / 7 % 2 == 0; };
    struct Case {
        std::string name;
        SearchOptions options;
        uint64_t hits;
    };
    const std::vector<Case> cases = {
        {"absent", SearchOptions{}, 0},
        {"zero", SearchOptions{{"search.topk", int64_t{0}}}, 0},
        {"larger", SearchOptions{{"search.topk", int64_t{10 * kRows}}}, kRows / 2},
    };
    for (const Case& c : cases) {
        std::pmr::monotonic_buffer_resource arena;
        auto result = extension.Call(api::Query(queries.data(), kDim), evenRows, c.options, arena);
        ASSERT_TRUE(result.IsOk()) << c.name;
        ExpectMatches(result.Value(),
                      ExactTopK("inner_product", rows, ids, queries.data(), c.hits, evenRows),
                      c.name);
        EXPECT_EQ(result.Value().searchStats.size(), 2u) << c.name;
    }
}

// Counts the bytes a search takes from its memory resource.
class CountingResource : public std::pmr::memory_resource {
  public:
    size_t allocated = 0;

  private:
    void* do_allocate(size_t bytes, size_t align) override {
        allocated += bytes;
        return std::pmr::new_delete_resource()->allocate(bytes, align);
    }
    void do_deallocate(void* p, size_t bytes, size_t align) override {
        std::pmr::new_delete_resource()->deallocate(p, bytes, align);
    }
    bool do_is_equal(const memory_resource& other) const noexcept override {
        return this == &other;
    }
};

TEST_F(BruteforceSearchTest, ScratchStaysBoundedForHugeTopkAndManyWorkers) {
    api::OrvaneSearcher searcher = Build("l2");
    SearchWithFilterExtension extension;
    ASSERT_TRUE(searcher.Attach(extension).IsOk());
    CountingResource counting;
    auto result = extension.Call(
        api::Query(queries.data(), kDim), [](uint64_t) { return true; },
        SearchOptions{{"search.topk", int64_t{1} << 30},
                      {"search.parallel_number", int64_t{1000}},
                      {"search.thread_safe_filter", true}},
        counting);
    ASSERT_TRUE(result.IsOk());
    EXPECT_EQ(result.Value().topk.size(), kRows);
    // Row and score blocks, one selection per worker and the merged one: each a
    // few times the rows, not workers times topk.
    EXPECT_LT(counting.allocated, 8 * kRows * (sizeof(uint64_t) + sizeof(float) + 16) + 64 * 1024);
}

TEST_F(BruteforceSearchTest, RefusedOptionsQueriesAndExtensions) {
    api::OrvaneSearcher searcher = Build("l2");
    SearchWithFilterExtension extension;
    ASSERT_TRUE(searcher.Attach(extension).IsOk());
    auto all = [](uint64_t) { return true; };
    struct Case {
        std::string name;
        SearchOptions options;
        uint64_t querySize;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"parallel 1001",
         {{"search.topk", int64_t{5}}, {"search.parallel_number", int64_t{1001}}},
         kDim,
         "ParallelNumber is out of range[1001 vs 1000]"},
        {"parallel 0",
         {{"search.topk", int64_t{5}}, {"search.parallel_number", int64_t{0}}},
         kDim,
         "ParallelNumber is out of range[0 vs 1000]"},
        {"unsafe filter",
         {{"search.topk", int64_t{5}}, {"search.parallel_number", int64_t{4}}},
         kDim,
         "Multi threaded search when filter is not thread safe"},
        {"short query",
         {{"search.topk", int64_t{5}}},
         kDim - 1,
         "query data size does not match index dimension"},
    };
    ::orvane::testing::LogCapture logs;
    for (const Case& c : cases) {
        std::pmr::monotonic_buffer_resource arena;
        auto result =
            extension.Call(api::Query(queries.data(), c.querySize), all, c.options, arena);
        ASSERT_FALSE(result.IsOk()) << c.name;
        EXPECT_EQ(result.GetStatus().Code(), ErrorCode::InvalidArgument) << c.name;
        EXPECT_EQ(result.GetStatus().Message(), c.message) << c.name;
    }
    EXPECT_TRUE(
        logs.Contains(telemetry::LogLevel::Error, "ParallelNumber is out of range[1001 vs 1000]"));
    EXPECT_TRUE(logs.Contains(telemetry::LogLevel::Error,
                              "Multi threaded search when filter is not thread safe: thread count "
                              "[4] vs thread safe filter [0]"));
    // The plain search path refuses the same out-of-range number.
    auto plain = searcher.Search(
        api::Query(queries.data(), kDim),
        SearchOptions{{"search.topk", int64_t{5}}, {"search.parallel_number", int64_t{1001}}});
    EXPECT_EQ(plain.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(plain.GetStatus().Message(), "ParallelNumber is out of range[1001 vs 1000]");

    class OtherExtension : public api::ISearchExtension {
      public:
        std::string_view Name() const override { return "other"; }
    };
    OtherExtension other;
    core::Status refused = searcher.Attach(other);
    EXPECT_EQ(refused.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(refused.Message(), "extension not supported by bruteforce searcher");
}

// An executor that counts what it is given and may refuse everything.
class CountingExecutor : public coro::Executor {
  public:
    explicit CountingExecutor(bool refuse) : _refuse(refuse), _inner(2) {}
    bool schedule(Func fn) override {
        _scheduled.fetch_add(1);
        if (_refuse) return false;
        return _inner.schedule(std::move(fn));
    }
    int Scheduled() const { return _scheduled.load(); }

  private:
    bool _refuse;
    util::SimpleExecutor _inner;
    std::atomic<int> _scheduled{0};
};

// Opens the file at `path` with a back end searching on `executor`.
std::unique_ptr<BruteforceSearcherBackend> OpenBackend(const std::string& path, uint32_t dim,
                                                       std::shared_ptr<coro::Executor> executor,
                                                       std::unique_ptr<io::InputStream>& stream) {
    auto reader = io::CreateFileReader(api::IOOptions{{"index.path", path}});
    EXPECT_TRUE(reader.IsOk());
    stream = std::make_unique<io::InputStream>(reader.TakeValue());
    EXPECT_TRUE(stream->Open({}).IsOk());
    auto backend = std::make_unique<BruteforceSearcherBackend>(dim, std::move(executor),
                                                               core::MemoryResourceConfig());
    core::Status opened = backend->Open(*stream);
    EXPECT_TRUE(opened.IsOk()) << opened.Message();
    return backend;
}

TEST_F(BruteforceSearchTest, CallerScansOneChunkAndARefusedTaskFailsWithoutHanging) {
    const std::string path = dir.File("exec.idx");
    BuildFile(BruteforceOptions(kDim), rows, ids, path);
    const Expected want =
        ExactTopK("l2", rows, ids, queries.data(), 5, [](uint64_t) { return true; });
    struct Case {
        std::string name;
        bool refuse;
        int64_t parallel;
        ErrorCode code;
        int scheduled;  // tasks handed to the executor
    };
    const std::vector<Case> cases = {
        {"P1 never leaves the caller", false, 1, ErrorCode::Ok, 0},
        {"P2 hands over one chunk", false, 2, ErrorCode::Ok, 1},
        {"P8 hands over seven", false, 8, ErrorCode::Ok, 7},
        {"P1 on a refusing executor", true, 1, ErrorCode::Ok, 0},
        {"P4 on a refusing executor", true, 4, ErrorCode::Unavailable, 1},
    };
    for (const Case& c : cases) {
        auto executor = std::make_shared<CountingExecutor>(c.refuse);
        std::unique_ptr<io::InputStream> stream;
        auto backend = OpenBackend(path, kDim, executor, stream);
        std::pmr::monotonic_buffer_resource arena;
        auto result = backend->Search(
            api::Query(queries.data(), kDim),
            SearchOptions{{"search.topk", int64_t{5}}, {"search.parallel_number", c.parallel}},
            arena);
        EXPECT_EQ(result.IsOk() ? ErrorCode::Ok : result.GetStatus().Code(), c.code) << c.name;
        if (result.IsOk()) ExpectMatches(result.Value(), want, c.name);
        EXPECT_EQ(executor->Scheduled(), c.scheduled) << c.name;
    }
}

TEST_F(BruteforceSearchTest, ThousandWorkersOnTenRowsGiveOneRowEach) {
    std::vector<float> few(rows.begin(), rows.begin() + 10 * kDim);
    std::vector<uint64_t> fewIds(ids.begin(), ids.begin() + 10);
    const std::string path = dir.File("ten.idx");
    BuildFile(BruteforceOptions(kDim), few, fewIds, path);
    auto executor = std::make_shared<CountingExecutor>(false);
    std::unique_ptr<io::InputStream> stream;
    auto backend = OpenBackend(path, kDim, executor, stream);
    std::pmr::monotonic_buffer_resource arena;
    auto result = backend->Search(
        api::Query(queries.data(), kDim),
        SearchOptions{{"search.topk", int64_t{3}}, {"search.parallel_number", int64_t{1000}}},
        arena);
    ASSERT_TRUE(result.IsOk());
    EXPECT_EQ(executor->Scheduled(), 9);  // ten one-row chunks, one on the caller
    ExpectMatches(result.Value(),
                  ExactTopK("l2", few, fewIds, queries.data(), 3, [](uint64_t) { return true; }),
                  "1000 workers");
}

// A file written by hand from a trainer, with the ids section cut to `idCount`.
std::string HandMadeFile(uint32_t dim, uint32_t metaDim, uint64_t rows, uint64_t idCount) {
    std::pmr::memory_resource& resource = *std::pmr::get_default_resource();
    api::QuantizerOptions qopts{{"index.dimension", int64_t{dim}}};
    auto trainer = quantizer::CreateQuantizerTrainer(qopts, resource);
    EXPECT_TRUE(trainer->Reserve(rows).IsOk());
    const std::vector<float> data = RandomRows(rows, dim, 3);
    EXPECT_EQ(trainer->EncodeBatch(data, rows, dim), ErrorCode::Ok);
    auto bytes = std::make_shared<std::string>();
    io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(bytes));
    EXPECT_TRUE(stream.Init({}).IsOk());
    EXPECT_TRUE(stream.WriteObj(bruteforce::BruteforceIndexMeta{uint32_t(rows), metaDim}).IsOk());
    EXPECT_TRUE(stream.SealSection(bruteforce::kIndexMetaName, 64).IsOk());
    EXPECT_TRUE(
        trainer->Serialize([&](const char* b, uint64_t n) { return stream.Write(b, n); }).IsOk());
    EXPECT_TRUE(stream.SealSection(bruteforce::kIndexVectorName, 1).IsOk());
    const std::vector<uint64_t> ids = SpreadIds(idCount);
    if (idCount) {
        EXPECT_TRUE(stream.Write(reinterpret_cast<const char*>(ids.data()), idCount * 8).IsOk());
    }
    EXPECT_TRUE(stream.SealSection(bruteforce::kIndexIdsName, 1).IsOk());
    EXPECT_TRUE(stream.Close().IsOk());
    return *bytes;
}

TEST(BruteforceOpenTest, DamagedOrMismatchingFilesAreRefused) {
    struct Case {
        std::string name;
        std::string file;
        uint32_t searcherDim;
        ErrorCode code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"sound", HandMadeFile(8, 8, 5, 5), 8, ErrorCode::Ok, ""},
        {"searcher of another dimension", HandMadeFile(8, 8, 5, 5), 16, ErrorCode::InvalidArgument,
         "BruteforceSearcher dimension mismatch"},
        {"ids section short", HandMadeFile(8, 8, 5, 4), 8, ErrorCode::Internal,
         "Invalid section size for index ids"},
        {"meta dimension disagrees with the vectors", HandMadeFile(8, 4, 5, 5), 4,
         ErrorCode::Corruption, "BruteforceSearcher vector section dimension mismatch"},
    };
    for (const Case& c : cases) {
        io::InputStream stream(std::make_unique<io::MemoryFileReader>(c.file));
        ASSERT_TRUE(stream.Open({}).IsOk()) << c.name;
        BruteforceSearcherBackend backend(c.searcherDim, nullptr, core::MemoryResourceConfig());
        core::Status opened = backend.Open(stream);
        EXPECT_EQ(opened.Code(), c.code) << c.name;
        EXPECT_EQ(opened.Message(), c.message) << c.name;
        EXPECT_EQ(backend.GetMeta().count, c.code == ErrorCode::Ok ? 5u : 0u) << c.name;
    }
}

TEST_F(BruteforceSearchTest, ConcurrentSearchesStress) {
    api::OrvaneSearcher searcher = Build("cosine");
    std::vector<std::vector<api::SearchHit>> expected;
    for (uint64_t qi = 0; qi < 4; ++qi) {
        auto r = searcher.Search(api::Query(queries.data() + qi * kDim, kDim),
                                 SearchOptions{{"search.topk", int64_t{7}}});
        ASSERT_TRUE(r.IsOk());
        expected.push_back(r.Value().topk);
    }
    SearchWithFilterExtension extension;
    ASSERT_TRUE(searcher.Attach(extension).IsOk());
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const uint64_t qi = (t + i) % 4;
                const api::Query q(queries.data() + qi * kDim, kDim);
                const SearchOptions options{{"search.topk", int64_t{7}},
                                            {"search.parallel_number", int64_t{1 + i % 3}},
                                            {"search.thread_safe_filter", true}};
                std::pmr::unsynchronized_pool_resource arena;
                auto r = (i % 2) ? searcher.Search(q, options)
                                 : extension.Call(
                                       q, [](uint64_t) { return true; }, options, arena);
                if (!r.IsOk() || r.Value().topk.size() != expected[qi].size()) {
                    mismatches.fetch_add(1);
                    continue;
                }
                for (size_t h = 0; h < expected[qi].size(); ++h) {
                    if (r.Value().topk[h].id != expected[qi][h].id) mismatches.fetch_add(1);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace orvane::index
