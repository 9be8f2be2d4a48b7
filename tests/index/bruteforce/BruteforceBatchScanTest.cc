// Batches of bruteforce queries, scored by matrix products (rawf32) or a block
// of rows for a block of queries (sq8): every result must
// equal the one-query scan's (ids, order and bit-identical distances) for each
// metric, batch size, topk, filter and thread count, on data built to put
// rows near and at the k-th score (duplicates, small integers, zero vectors).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "index/bruteforce/BruteforceSearcherBackend.h"
#include "index/bruteforce/BruteforceTestUtil.h"
#include "io/InputStream.h"
#include "orvane/api/RowFilter.h"
#include "orvane/io/FileReader.h"
#include "testing/TempDir.h"
#include "util/parallel/SimpleExecutor.h"

namespace orvane::index {
namespace {

using Filter = BruteforceSearcherBackend::Filter;

enum class Data { kNormal, kSmallIntegers, kDuplicates, kOffset, kFarOffset };

// Rows of `dim` components; kDuplicates repeats each of rows/3 vectors three
// times (exact ties), kSmallIntegers draws 0..3 per component (many near-ties
// and equal scores), kOffset adds 256 to every component (kFarOffset puts
// 4096 plus a 256th of the noise), so that scores differ
// by less than the product's rounding (norms far above the distances), and row 5 is all zeros in
// every set (cosine's special case).
std::vector<float> MakeRows(Data data, uint64_t rows, uint32_t dim, uint32_t seed) {
    std::vector<float> v = testing::RandomRows(rows, dim, seed);
    if (data == Data::kOffset || data == Data::kFarOffset) {
        const bool far = data == Data::kFarOffset;
        for (float& x : v) x = far ? 4096.0f + x / 256.0f : 256.0f + x;
    } else if (data == Data::kSmallIntegers) {
        for (float& x : v) x = std::floor(std::fabs(x) * 1.5f);
    } else if (data == Data::kDuplicates) {
        for (uint64_t r = 0; r < rows; ++r) {
            std::memcpy(&v[r * dim], &v[(r / 3) * dim], dim * sizeof(float));
        }
    }
    std::fill_n(v.begin() + 5 * dim, dim, 0.0f);
    return v;
}

class BatchScanFixture {
  public:
    BatchScanFixture(const std::string& metric, Data data, uint64_t rows, uint32_t dim,
                     const std::string& encoding = "rawf32")
        : _dim(dim),
          _rows(MakeRows(data, rows, dim, 7)),
          _executor(std::make_shared<util::SimpleExecutor>(2)) {
        const std::string path = (_dir.path() / "index").string();
        testing::BuildFile(testing::BruteforceOptions(dim, metric, encoding), _rows,
                           testing::SpreadIds(rows), path);
        auto reader = io::CreateFileReader(api::IOOptions{{"index.path", path}});
        EXPECT_TRUE(reader.IsOk());
        _stream = std::make_unique<io::InputStream>(reader.TakeValue());
        EXPECT_TRUE(_stream->Open({}).IsOk());
        backend = std::make_unique<BruteforceSearcherBackend>(dim, _executor,
                                                              core::MemoryResourceConfig());
        const core::Status opened = backend->Open(*_stream);
        EXPECT_TRUE(opened.IsOk()) << opened.Message();
    }

    // Queries: base rows (distance 0 and duplicates), the zero row, and fresh vectors.
    std::vector<float> Queries(uint64_t n, Data data) const {
        std::vector<float> q = MakeRows(data, n + 6, _dim, 11);
        for (uint64_t i = 0; i < n; i += 4) {
            std::memcpy(&q[i * _dim], &_rows[((i * 13) % (_rows.size() / _dim)) * _dim],
                        _dim * sizeof(float));
        }
        q.resize(n * _dim);
        return q;
    }

    // Checks SearchBatch against one DoSearchWithFilter per query.
    void ExpectSameAsOneByOne(const std::vector<float>& queries, uint64_t n, int64_t topk,
                              const Filter& filter, uint32_t parallel) const {
        const api::SearchOptions options{{"search.topk", topk},
                                         {"search.parallel_number", int64_t{parallel}},
                                         {"search.thread_safe_filter", true}};
        const api::RowFilter rows = api::RowFilter::FromPredicate(filter);
        std::pmr::unsynchronized_pool_resource arena;
        api::BatchSearchRequest request;
        request.queries = queries.data();
        request.n = n;
        request.dim = _dim;
        request.topk = static_cast<uint64_t>(topk);
        request.filter = filter ? &rows : nullptr;
        request.options = &options;
        request.resource = &arena;
        std::vector<api::SearchResult> batch(n);
        const core::Status status = backend->SearchBatch(request, batch);
        ASSERT_TRUE(status.IsOk()) << status.Message();
        for (uint64_t q = 0; q < n; ++q) {
            auto one = backend->DoSearchWithFilter(api::Query(queries.data() + q * _dim, _dim),
                                                   filter, 1, options, arena);
            ASSERT_TRUE(one.IsOk());
            const api::SearchResult& got = batch[q];
            ASSERT_EQ(got.topk.size(), one.Value().topk.size()) << "query " << q;
            for (size_t h = 0; h < got.topk.size(); ++h) {
                EXPECT_EQ(got.topk[h].id, one.Value().topk[h].id) << "query " << q << " hit " << h;
                // Bit-identical: the kernel's own score, not the product's.
                EXPECT_EQ(std::memcmp(&got.topk[h].distance, &one.Value().topk[h].distance,
                                      sizeof(float)),
                          0)
                    << "query " << q << " hit " << h;
            }
            EXPECT_EQ(got.searchStats, one.Value().searchStats) << "query " << q;
        }
    }

    core::Status BatchStatus(const std::vector<float>& queries, uint64_t n, uint32_t dim,
                             const api::SearchOptions& options) const {
        std::pmr::unsynchronized_pool_resource arena;
        api::BatchSearchRequest request;
        request.queries = queries.data();
        request.n = n;
        request.dim = dim;
        request.topk = 3;
        request.options = &options;
        request.resource = &arena;
        std::vector<api::SearchResult> batch(n);
        return backend->SearchBatch(request, batch);
    }

    std::unique_ptr<BruteforceSearcherBackend> backend;

  private:
    uint32_t _dim;
    std::vector<float> _rows;
    orvane::testing::TempDir _dir;
    std::shared_ptr<util::SimpleExecutor> _executor;
    std::unique_ptr<io::InputStream> _stream;
};

const Filter kAll;
const Filter kEveryThird = [](uint64_t id) { return (id / 7) % 3 == 1; };
const Filter kNone = [](uint64_t) { return false; };
const Filter kOneRow = [](uint64_t id) { return id == 1000 + 7 * 123; };

TEST(BruteforceBatchScanTest, BatchesEqualTheOneQueryScan) {
    struct Case {
        const char* metric;
        Data data;
        uint32_t dim;
        uint64_t queries;
        int64_t topk;
        uint32_t parallel;
        // sq8 batches are scanned a block of rows for a block of queries at a
        // time (parallel 1) or query by query, not by products.
        const char* encoding = "rawf32";
    };
    constexpr uint64_t kRows = 600;  // two full blocks of rows and a partial one
    const Case cases[] = {
        {"l2", Data::kDuplicates, 13, 130, 5, 1, "sq8"},  // three blocks of queries
        {"l2", Data::kNormal, 13, 2, kRows + 5, 1, "sq8"},
        {"inner_product", Data::kSmallIntegers, 13, 70, 10, 1, "sq8"},
        {"cosine", Data::kDuplicates, 13, 65, 7, 1, "sq8"},
        {"cosine", Data::kNormal, 13, 40, 3, 2, "sq8"},
        {"l2", Data::kNormal, 13, 2, 10, 1},
        {"l2", Data::kSmallIntegers, 37, 70, 10, 2},
        {"l2", Data::kDuplicates, 13, 130, 5, 3},
        {"l2", Data::kNormal, 9, 5, kRows + 5, 2},  // topk beyond the rows
        {"l2", Data::kOffset, 37, 70, 10, 2},
        {"inner_product", Data::kFarOffset, 37, 70, 10, 2},
        {"cosine", Data::kFarOffset, 37, 70, 10, 2},
        {"inner_product", Data::kNormal, 13, 70, 10, 1},
        {"inner_product", Data::kSmallIntegers, 37, 130, 1, 2},
        {"inner_product", Data::kDuplicates, 13, 3, 20, 2},
        {"cosine", Data::kNormal, 13, 70, 10, 2},
        {"cosine", Data::kSmallIntegers, 37, 3, 10, 1},
        {"cosine", Data::kDuplicates, 13, 130, 7, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.encoding) + " " + c.metric + " dim " + std::to_string(c.dim) +
                     " n " + std::to_string(c.queries) + " k " + std::to_string(c.topk));
        BatchScanFixture f(c.metric, c.data, kRows, c.dim, c.encoding);
        const std::vector<float> queries = f.Queries(c.queries, c.data);
        for (const Filter* filter : {&kAll, &kEveryThird, &kNone, &kOneRow}) {
            f.ExpectSameAsOneByOne(queries, c.queries, c.topk, *filter, c.parallel);
        }
    }
}

// Through the facade: its slices (one per worker, PreferredSliceRows) must
// give the hits of one Search per query, for every thread count and filter.
TEST(BruteforceBatchScanTest, FacadeBatchesEqualOneSearchPerQuery) {
    constexpr uint32_t kDim = 21;
    constexpr uint64_t kRows = 700;
    constexpr uint64_t kQueries = 300;  // more than one slice of products
    const std::vector<float> rows = MakeRows(Data::kOffset, kRows, kDim, 5);
    const std::vector<float> queries = MakeRows(Data::kOffset, kQueries, kDim, 6);
    orvane::testing::TempDir dir;
    const std::string path = (dir.path() / "index").string();
    testing::BuildFile(testing::BruteforceOptions(kDim), rows, testing::SpreadIds(kRows), path);
    api::OrvaneSearcher searcher = testing::OpenSearcher(path, kDim);
    const api::RowFilter::Predicate odd = [](uint64_t id) { return id % 2 == 1; };
    const api::RowFilter oddRows = api::RowFilter::FromPredicate(odd);
    struct Case {
        int64_t threads;
        const api::RowFilter* filter;
    };
    for (const Case& c : {Case{1, nullptr}, Case{2, nullptr}, Case{3, &oddRows}}) {
        SCOPED_TRACE("threads " + std::to_string(c.threads));
        const api::SearchOptions options{{"search.topk", int64_t{9}},
                                         {"search.batch_threads", c.threads},
                                         {"search.thread_safe_filter", true}};
        std::vector<api::SearchResult> batch;
        const core::Status status =
            searcher.SearchBatch(queries.data(), kQueries, options, batch, c.filter);
        ASSERT_TRUE(status.IsOk()) << status.Message();
        ASSERT_EQ(batch.size(), kQueries);
        for (uint64_t q = 0; q < kQueries; ++q) {
            std::vector<api::SearchResult> one;
            ASSERT_TRUE(
                searcher.SearchBatch(queries.data() + q * kDim, 1, options, one, c.filter).IsOk());
            ASSERT_EQ(batch[q].topk.size(), one[0].topk.size());
            for (size_t h = 0; h < one[0].topk.size(); ++h) {
                EXPECT_EQ(batch[q].topk[h].id, one[0].topk[h].id) << "query " << q;
                EXPECT_EQ(batch[q].topk[h].distance, one[0].topk[h].distance) << "query " << q;
            }
        }
    }
    EXPECT_TRUE(searcher.Close().IsOk());
}

TEST(BruteforceBatchScanTest, RefusesAnotherDimensionOrParallelNumber) {
    BatchScanFixture f("l2", Data::kNormal, 50, 13);
    const std::vector<float> queries = f.Queries(4, Data::kNormal);
    const api::SearchOptions plain{{"search.topk", int64_t{3}}};
    const api::SearchOptions tooParallel{{"search.topk", int64_t{3}},
                                         {"search.parallel_number", int64_t{1001}}};
    EXPECT_TRUE(f.BatchStatus(queries, 4, 13, plain).IsOk());
    EXPECT_EQ(f.BatchStatus(queries, 4, 12, plain).Code(), core::ErrorCode::InvalidArgument);
    EXPECT_EQ(f.BatchStatus(queries, 4, 13, tooParallel).Code(), core::ErrorCode::InvalidArgument);
}

TEST(BruteforceBatchScanTest, ConcurrentBatchesStress) {
    BatchScanFixture f("l2", Data::kSmallIntegers, 400, 11);
    const std::vector<float> queries = f.Queries(40, Data::kSmallIntegers);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4; ++i) {
                f.ExpectSameAsOneByOne(queries, 40, 5 + t, (i % 2) ? kAll : kEveryThird,
                                       1 + (t + i) % 3);
            }
        });
    }
    for (auto& th : threads) th.join();
}

}  // namespace
}  // namespace orvane::index
