// A search call reads the kind's option keys once, hands the parsed parameters
// to every slice of the call, and turns the back end's statistics into the
// caller's maps.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "orvane/extensions/SearchWithFilterExtension.h"
#include "api/searcher/OrvaneSearcherImpl.h"
#include "orvane/io/FileReader.h"
#include "orvane/io/FileWriter.h"
#include "io/InputStream.h"
#include "io/OutputStream.h"
#include "testing/TempDir.h"

namespace orvane::api {
namespace {

using core::ErrorCode;
using core::Status;

constexpr uint32_t kDim = 2;

struct FakeParams {
    int64_t width = 0;
};
struct OtherParams {
    int64_t width = 0;
};

// Parses "fake.width" (refusing negative values) and answers each row with
// one hit whose id is the parsed width and statistics derived from the row.
class ParamsBackend : public SearcherBackend {
  public:
    Status Open(io::InputStream&) override { return Status::Ok(); }
    Status ParseSearchParams(const SearchOptions& options, bool filtered,
                             KindSearchParams& out) const override {
        parses.fetch_add(1);
        if (filtered) filteredParses.fetch_add(1);
        const int64_t width = options.GetInt("fake.width", 7);
        if (width < 0) return Status(ErrorCode::InvalidArgument, "fake.width must be >= 0");
        out.Put(FakeParams{width});
        return Status::Ok();
    }
    core::Result<SearchResult> Search(const Query&, const SearchOptions&,
                                      std::pmr::memory_resource&) override {
        return Status(ErrorCode::Internal, "the call must go through SearchBatch");
    }
    Status SearchBatch(const BatchSearchRequest& request,
                       std::span<SearchResult> results) override {
        batches.fetch_add(1);
        const FakeParams* params = request.params.Find<FakeParams>();
        if (params == nullptr || request.params.Find<OtherParams>() != nullptr) {
            return Status(ErrorCode::Internal, "parameters lost");
        }
        if (request.filter != nullptr && request.filter->IsActive()) filteredRows += request.n;
        for (uint64_t i = 0; i < request.n; ++i) {
            ScoredHits hits;
            hits.topk.push_back({static_cast<uint64_t>(params->width), request.Row(i).data[0]});
            hits.stats.distanceCalculateCount = static_cast<uint64_t>(request.Row(i).data[0]);
            hits.stats.filteredCount = 1;
            request.Deliver(i, std::move(hits), results[i]);
        }
        return Status::Ok();
    }
    Status Attach(ISearchExtension&) override {
        return acceptsExtension ? Status::Ok() : Status(ErrorCode::NotSupported, "no");
    }
    IndexInfo GetMeta() const override { return IndexInfo{4, kDim}; }

    bool acceptsExtension = false;
    mutable std::atomic<int> parses{0};
    mutable std::atomic<int> filteredParses{0};
    std::atomic<uint64_t> filteredRows{0};
    std::atomic<int> batches{0};
};

std::unique_ptr<io::InputStream> EmptyIndexStream(const testing::TempDir& dir) {
    IOOptions io{{"index.path", dir.File("empty.idx")}};
    auto writer = io::CreateFileWriter(io);
    EXPECT_TRUE(writer.IsOk());
    io::OutputStream out(writer.TakeValue());
    EXPECT_TRUE(out.Init(io).IsOk());
    EXPECT_TRUE(out.Close().IsOk());
    auto reader = io::CreateFileReader(io);
    EXPECT_TRUE(reader.IsOk());
    auto stream = std::make_unique<io::InputStream>(reader.TakeValue());
    EXPECT_TRUE(stream->Open(io).IsOk());
    return stream;
}

TEST(SearchCallParamsTest, OneParsePerCallWhateverItsRowsAndThreads) {
    struct Case {
        const char* name;
        uint64_t rows;
        int64_t threads;
        int64_t width;  // -1: left out
    };
    const Case cases[] = {
        {"one row", 1, 1, -1},
        {"batch on the caller", 100, 1, 3},
        {"batch on two threads", 100, 2, 5},
        {"batch on more threads than rows", 3, 16, 0},
    };
    testing::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto owned = std::make_unique<ParamsBackend>();
        ParamsBackend* backend = owned.get();
        OrvaneSearcher::Impl impl(std::move(owned), core::Normalize(core::MemoryResourceConfig()));
        ASSERT_TRUE(impl.Open(EmptyIndexStream(dir)).IsOk());
        SearchOptions options{{"search.topk", int64_t{1}}, {"search.batch_threads", c.threads}};
        if (c.width >= 0) options.Values()["fake.width"] = c.width;
        std::vector<float> queries(c.rows * kDim);
        for (uint64_t i = 0; i < c.rows; ++i) queries[i * kDim] = static_cast<float>(i);
        std::vector<SearchResult> results;
        ASSERT_TRUE(impl.DoSearchBatch(queries.data(), c.rows, options, nullptr,
                                       impl.DefaultResource(), results)
                        .IsOk());
        EXPECT_EQ(backend->parses.load(), 1);
        EXPECT_GE(backend->batches.load(), 1);
        ASSERT_EQ(results.size(), c.rows);
        const uint64_t width = c.width >= 0 ? static_cast<uint64_t>(c.width) : 7;
        for (uint64_t i = 0; i < c.rows; ++i) {
            ASSERT_EQ(results[i].topk.size(), 1u);
            EXPECT_EQ(results[i].topk[0].id, width);
            EXPECT_EQ(results[i].searchStats.size(), 2u);
            EXPECT_EQ(results[i].searchStats.at(kQueryStatsDistanceCalculateCount),
                      std::to_string(i));
            EXPECT_EQ(results[i].searchStats.at(kQueryStatsFilteredCount), "1");
        }
        ASSERT_TRUE(impl.Close().IsOk());
    }
}

// A filtered query through the extension is a call of one row: the kind's keys
// are parsed once for it, as filtered, and the back end searches that row
// with the parsed parameters and the filter, never parsing again itself.
TEST(SearchCallParamsTest, EachFilteredExtensionCallParsesOnce) {
    const uint64_t allowed[] = {1, 3};
    struct Case {
        const char* name;
        api::RowFilter filter;
        int64_t width;  // -1: left out
        bool threadSafe;
    };
    const Case cases[] = {
        {"allowed-id list", RowFilter::FromSortedIds(allowed), 4, true},
        {"predicate", RowFilter([](uint64_t id) { return id % 2 == 1; }), -1, false},
        {"predicate declared thread safe", RowFilter([](uint64_t id) { return id > 0; }), 9, true},
    };
    testing::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto owned = std::make_unique<ParamsBackend>();
        owned->acceptsExtension = true;
        ParamsBackend* backend = owned.get();
        OrvaneSearcher::Impl impl(std::move(owned), core::Normalize(core::MemoryResourceConfig()));
        ASSERT_TRUE(impl.Open(EmptyIndexStream(dir)).IsOk());
        extensions::SearchWithFilterExtension extension;
        ASSERT_TRUE(impl.Attach(extension).IsOk());
        SearchOptions options{{"search.topk", int64_t{1}},
                              {"search.thread_safe_filter", c.threadSafe}};
        if (c.width >= 0) options.Values()["fake.width"] = c.width;
        const uint64_t width = c.width >= 0 ? static_cast<uint64_t>(c.width) : 7;
        const float query[kDim] = {2.0f, 0.0f};
        for (int call = 1; call <= 3; ++call) {
            auto result =
                extension.Call(Query(query, kDim), c.filter, options, impl.DefaultResource());
            ASSERT_TRUE(result.IsOk()) << result.GetStatus().Message();
            EXPECT_EQ(backend->parses.load(), call);
            EXPECT_EQ(backend->filteredParses.load(), call);
            EXPECT_EQ(backend->filteredRows.load(), static_cast<uint64_t>(call));
            ASSERT_EQ(result.Value().topk.size(), 1u);
            EXPECT_EQ(result.Value().topk[0].id, width);
            EXPECT_EQ(result.Value().searchStats.at(kQueryStatsDistanceCalculateCount), "2");
        }
        ASSERT_TRUE(impl.Close().IsOk());
    }
}

TEST(SearchCallParamsTest, ARefusedKindKeyEndsTheCallBeforeAnySearch) {
    testing::TempDir dir;
    auto owned = std::make_unique<ParamsBackend>();
    ParamsBackend* backend = owned.get();
    OrvaneSearcher::Impl impl(std::move(owned), core::Normalize(core::MemoryResourceConfig()));
    ASSERT_TRUE(impl.Open(EmptyIndexStream(dir)).IsOk());
    const std::vector<float> queries(8 * kDim, 0.5f);
    std::vector<SearchResult> results;
    const SearchOptions options{{"search.topk", int64_t{1}}, {"fake.width", int64_t{-1}}};
    const Status st =
        impl.DoSearchBatch(queries.data(), 8, options, nullptr, impl.DefaultResource(), results);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "fake.width must be >= 0");
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(backend->batches.load(), 0);
    auto one = impl.DoSearch(Query(queries.data(), kDim), options);
    ASSERT_FALSE(one.IsOk());
    EXPECT_EQ(one.GetStatus().Message(), "fake.width must be >= 0");
    ASSERT_TRUE(impl.Close().IsOk());
}

}  // namespace
}  // namespace orvane::api
