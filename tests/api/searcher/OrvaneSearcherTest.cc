#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "orvane/api/OrvaneSearcher.h"
#include "api/searcher/OrvaneSearcherImpl.h"
#include "orvane/io/FileReader.h"
#include "orvane/io/FileWriter.h"
#include "io/InputStream.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"
#include "testing/LogCapture.h"
#include "testing/TempDir.h"

namespace orvane::api {
namespace {

using core::ErrorCode;
using core::Status;

constexpr uint32_t kDim = 3;

// Answers every query with `hits` hits of increasing distance.
class FakeSearcherBackend : public OrvaneSearcher::Impl::Backend {
  public:
    explicit FakeSearcherBackend(size_t hits, bool failOpen = false)
        : _hits(hits), _failOpen(failOpen) {}
    Status Open(io::InputStream&) override {
        if (_failOpen) return Status(ErrorCode::Corruption, "bad sections");
        _opened = true;
        return Status::Ok();
    }
    core::Result<SearchResult> Search(const Query&, const SearchOptions&,
                                      std::pmr::memory_resource&) override {
        SearchResult result;
        for (size_t i = 0; i < _hits; ++i) {
            result.topk.push_back({100 + i, static_cast<float>(i)});
        }
        result.searchStats["k"] = "v";
        return result;
    }
    Status Attach(ISearchExtension&) override { return Status(ErrorCode::NotSupported, "no"); }
    IndexInfo GetMeta() const override { return IndexInfo{_opened ? 8u : 0u, kDim}; }

  private:
    size_t _hits;
    bool _failOpen;
    bool _opened = false;
};

class NamedExtension : public ISearchExtension {
  public:
    std::string_view Name() const override { return "test.extension"; }
};

// Writes a valid, empty index container and returns its path.
std::string WriteEmptyIndex(const testing::TempDir& dir) {
    const std::string path = dir.File("empty.idx");
    IOOptions io{{"index.path", path}};
    auto writer = io::CreateFileWriter(io);
    EXPECT_TRUE(writer.IsOk());
    io::OutputStream stream(writer.TakeValue());
    EXPECT_TRUE(stream.Init(io).IsOk());
    EXPECT_TRUE(stream.Close().IsOk());
    return path;
}

std::unique_ptr<io::InputStream> OpenStream(const std::string& path) {
    IOOptions io{{"index.path", path}};
    auto reader = io::CreateFileReader(io);
    EXPECT_TRUE(reader.IsOk());
    auto stream = std::make_unique<io::InputStream>(reader.TakeValue());
    EXPECT_TRUE(stream->Open(io).IsOk());
    return stream;
}

std::unique_ptr<OrvaneSearcher::Impl> MakeImpl(size_t hits, bool failOpen = false) {
    return std::make_unique<OrvaneSearcher::Impl>(
        std::make_unique<FakeSearcherBackend>(hits, failOpen),
        core::Normalize(core::MemoryResourceConfig()));
}

SearchOptions TopK(int64_t k) {
    return SearchOptions{{"search.topk", k}};
}

TEST(SearcherCreateTest, RefusesBadOptions) {
    auto noType = OrvaneSearcher::Create(SearcherOptions{{"index.dimension", int64_t{4}}});
    ASSERT_FALSE(noType.IsOk());
    EXPECT_EQ(noType.GetStatus().Message(), "index.type is required");
    auto noDim = OrvaneSearcher::Create(SearcherOptions{{"index.type", std::string("demo")}});
    ASSERT_FALSE(noDim.IsOk());
    EXPECT_EQ(noDim.GetStatus().Message(), "Missing required option: index.dimension");
    auto unknown = OrvaneSearcher::Create(
        SearcherOptions{{"index.dimension", int64_t{4}}, {"index.type", std::string("annoy")}});
    ASSERT_FALSE(unknown.IsOk());
    EXPECT_EQ(unknown.GetStatus().Code(), ErrorCode::InvalidArgument);
    auto ok = OrvaneSearcher::Create(
        SearcherOptions{{"index.dimension", int64_t{4}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(ok.IsOk());
    EXPECT_EQ(ok.Value().GetMeta().dim, 4u);
    EXPECT_EQ(ok.Value().GetMeta().count, 0u);
}

TEST(SearcherCreateTest, DimensionBeyond32BitsIsRefusedNotWrapped) {
    auto wide = OrvaneSearcher::Create(SearcherOptions{{"index.dimension", (int64_t{1} << 32) + 4},
                                                       {"index.type", std::string("demo")}});
    ASSERT_FALSE(wide.IsOk());
    EXPECT_EQ(wide.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(wide.GetStatus().Message(), "Option index.dimension must be in [1, 4294967295]");
    auto widest = OrvaneSearcher::Create(SearcherOptions{{"index.dimension", int64_t{UINT32_MAX}},
                                                         {"index.type", std::string("demo")}});
    ASSERT_TRUE(widest.IsOk()) << widest.GetStatus().Message();
    EXPECT_EQ(widest.Value().GetMeta().dim, UINT32_MAX);
}

TEST(SearcherLifecycleTest, SearchBeforeOpenAndAttachBeforeOpen) {
    auto impl = MakeImpl(3);
    std::vector<float> q(kDim, 0.0f);
    auto r = impl->DoSearch(Query(q.data(), kDim), TopK(1));
    ASSERT_FALSE(r.IsOk());
    EXPECT_EQ(r.GetStatus().Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(r.GetStatus().Message(), "searcher not opened (dimension is zero)");
    NamedExtension ext;
    Status st = impl->Attach(ext);
    EXPECT_EQ(st.Code(), ErrorCode::FailedPrecondition);
    EXPECT_TRUE(impl->Close().IsOk());
}

TEST(SearcherLifecycleTest, OpenTwiceCloseThenOpenAgain) {
    testing::TempDir dir;
    const std::string path = WriteEmptyIndex(dir);
    auto impl = MakeImpl(3);
    ASSERT_TRUE(impl->Open(OpenStream(path)).IsOk());
    Status twice = impl->Open(OpenStream(path));
    EXPECT_EQ(twice.Code(), ErrorCode::Unavailable);
    EXPECT_EQ(twice.Message(), "searcher already opened");
    ASSERT_TRUE(impl->Close().IsOk());
    EXPECT_FALSE(impl->IsOpened());
    ASSERT_TRUE(impl->Open(OpenStream(path)).IsOk());
    EXPECT_TRUE(impl->IsOpened());
    NamedExtension ext;
    EXPECT_EQ(impl->Attach(ext).Code(), ErrorCode::NotSupported);
}

TEST(SearcherLifecycleTest, FailedBackendOpenLeavesSearcherClosed) {
    testing::TempDir dir;
    const std::string path = WriteEmptyIndex(dir);
    auto impl = MakeImpl(3, /*failOpen=*/true);
    Status st = impl->Open(OpenStream(path));
    EXPECT_EQ(st.Code(), ErrorCode::Corruption);
    EXPECT_FALSE(impl->IsOpened());
}

TEST(SearcherSearchTest, NonFiniteQueriesAreRefused) {
    testing::TempDir dir;
    auto impl = MakeImpl(8);
    ASSERT_TRUE(impl->Open(OpenStream(WriteEmptyIndex(dir))).IsOk());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float big = std::numeric_limits<float>::max();
    struct Case {
        std::vector<float> query;
        bool refused;
    };
    const Case cases[] = {
        {{nan, 0, 0}, true},  {{0, 0, inf}, true},        {{-inf, 1, 2}, true},
        {{1, -nan, 1}, true}, {{tiny, -big, big}, false}, {{0, -0.0f, 1}, false},
    };
    for (const Case& c : cases) {
        auto r = impl->DoSearch(Query(c.query.data(), kDim), TopK(2));
        EXPECT_EQ(r.IsOk(), !c.refused) << c.query[0] << " " << c.query[1] << " " << c.query[2];
        if (c.refused && !r.IsOk()) {
            EXPECT_EQ(r.GetStatus().Code(), ErrorCode::InvalidArgument);
            EXPECT_EQ(r.GetStatus().Message(), "query data holds a NaN or infinite value");
        }
    }
}

TEST(SearcherSearchTest, QueryAndOptionChecks) {
    testing::TempDir dir;
    auto impl = MakeImpl(8);
    ASSERT_TRUE(impl->Open(OpenStream(WriteEmptyIndex(dir))).IsOk());
    std::vector<float> q(kDim + 1, 0.0f);

    auto nullData = impl->DoSearch(Query(nullptr, kDim), TopK(1));
    EXPECT_EQ(nullData.GetStatus().Message(), "query data is null");
    auto wrongSize = impl->DoSearch(Query(q.data(), kDim + 1), TopK(1));
    EXPECT_EQ(wrongSize.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(wrongSize.GetStatus().Message(), "query data size does not match index dimension");

    auto noTopk = impl->DoSearch(Query(q.data(), kDim), SearchOptions{});
    EXPECT_EQ(noTopk.GetStatus().Message(), "Missing required option: search.topk");
    auto zero = impl->DoSearch(Query(q.data(), kDim), TopK(0));
    EXPECT_EQ(zero.GetStatus().Message(), "Option search.topk must be > 0");
    auto typed =
        impl->DoSearch(Query(q.data(), kDim), SearchOptions{{"search.topk", std::string("5")}});
    EXPECT_EQ(typed.GetStatus().Message(), "Type mismatch for search.topk");
    auto badParallel = impl->DoSearch(
        Query(q.data(), kDim),
        SearchOptions{{"search.topk", int64_t{1}}, {"search.parallel_number", int64_t{0}}});
    EXPECT_EQ(badParallel.GetStatus().Message(), "Option search.parallel_number must be > 0");
    // Keys of other kinds are left for the back end.
    auto extra = impl->DoSearch(
        Query(q.data(), kDim),
        SearchOptions{{"search.topk", int64_t{1}}, {"search.nprobe", std::string("x")}});
    EXPECT_TRUE(extra.IsOk());
}

TEST(SearcherSearchTest, ResultIsCutToTopkInBackendOrder) {
    testing::TempDir dir;
    auto impl = MakeImpl(8);
    ASSERT_TRUE(impl->Open(OpenStream(WriteEmptyIndex(dir))).IsOk());
    std::vector<float> q(kDim, 0.0f);
    auto five = impl->DoSearch(Query(q.data(), kDim), TopK(5));
    ASSERT_TRUE(five.IsOk());
    ASSERT_EQ(five.Value().topk.size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(five.Value().topk[i].id, 100 + i);
    EXPECT_EQ(five.Value().searchStats.at("k"), "v");
    auto many = impl->DoSearch(Query(q.data(), kDim), TopK(50));
    ASSERT_TRUE(many.IsOk());
    EXPECT_EQ(many.Value().topk.size(), 8u);
}

TEST(SearcherLifecycleTest, DestroyingOpenedSearcherWarnsAndCloses) {
    const std::string warning = "Should close searcher before destruction.";
    testing::TempDir dir;
    testing::LogCapture logs;
    {
        auto impl = MakeImpl(1);
        ASSERT_TRUE(impl->Open(OpenStream(WriteEmptyIndex(dir))).IsOk());
    }
    EXPECT_EQ(logs.Count(telemetry::LogLevel::Warn, warning), 1u);
    // A searcher closed by its owner goes quietly.
    {
        auto impl = MakeImpl(1);
        ASSERT_TRUE(impl->Open(OpenStream(WriteEmptyIndex(dir))).IsOk());
        ASSERT_TRUE(impl->Close().IsOk());
    }
    EXPECT_EQ(logs.Count(telemetry::LogLevel::Warn, warning), 1u);
}

TEST(SearcherFacadeTest, OpenRefusesNullReaderAndMissingFile) {
    auto searcher = OrvaneSearcher::Create(
        SearcherOptions{{"index.dimension", int64_t{4}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(searcher.IsOk());
    Status nullReader = searcher.Value().Open(nullptr, IOOptions());
    EXPECT_EQ(nullReader.Message(), "FileReader is null");
    Status noPath = searcher.Value().Open(IOOptions());
    EXPECT_EQ(noPath.Message(), "File path not specified in IOOptions");
    testing::TempDir dir;
    Status missing = searcher.Value().Open(IOOptions{{"index.path", dir.File("none.idx")}});
    EXPECT_FALSE(missing.IsOk());
}

}  // namespace
}  // namespace orvane::api
