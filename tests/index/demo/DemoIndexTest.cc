#include <gtest/gtest.h>

#include <malloc.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "index/demo/DemoBuilderBackend.h"
#include "index/demo/DemoIndexMeta.h"
#include "orvane/io/FileReader.h"
#include "io/InputStream.h"
#include "testing/TempDir.h"
#include "testing/VectorDataset.h"

namespace orvane::index {
namespace {

using api::BuilderOptions;
using api::IOOptions;
using api::OrvaneBuilder;
using api::OrvaneSearcher;
using api::SearcherOptions;
using api::SearchOptions;
using core::ErrorCode;

std::vector<float> RandomRows(uint64_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<float> v(n * dim);
    for (auto& x : v) x = dist(rng);
    return v;
}

std::string BuildIndex(const testing::TempDir& dir, const std::vector<float>& rows, uint32_t dim,
                       const std::string& name = "demo.idx") {
    const std::string path = dir.File(name);
    auto builder = OrvaneBuilder::Create(
        BuilderOptions{{"index.dimension", int64_t{dim}}, {"index.type", std::string("demo")}});
    EXPECT_TRUE(builder.IsOk());
    testing::VectorDataset data(rows, dim, 33);
    EXPECT_TRUE(builder.Value().PretrainFrom(data).IsOk());
    testing::VectorDataset insert(rows, dim, 33);
    EXPECT_TRUE(builder.Value().InsertFrom(insert).IsOk());
    core::Status dumped = builder.Value().Dump(IOOptions{{"index.path", path}});
    EXPECT_TRUE(dumped.IsOk()) << dumped.Message();
    EXPECT_EQ(builder.Value().GetStatus(), api::BuilderStatus::Dumped);
    return path;
}

OrvaneSearcher OpenSearcher(const std::string& path, uint32_t dim, const char* reader = "local") {
    auto searcher = OrvaneSearcher::Create(
        SearcherOptions{{"index.dimension", int64_t{dim}}, {"index.type", std::string("demo")}});
    EXPECT_TRUE(searcher.IsOk());
    core::Status opened = searcher.Value().Open(IOOptions{
        {"index.path", path}, {"io.reader.type", std::string(reader)}, {"io.verify_crc", true}});
    EXPECT_TRUE(opened.IsOk()) << opened.Message();
    return searcher.TakeValue();
}

TEST(DemoIndexTest, SectionLayout) {
    testing::TempDir dir;
    const std::string path = BuildIndex(dir, RandomRows(3, 4, 1), 4);
    IOOptions io{{"index.path", path}};
    auto reader = io::CreateFileReader(io);
    ASSERT_TRUE(reader.IsOk());
    io::InputStream stream(reader.TakeValue());
    ASSERT_TRUE(stream.Open(io).IsOk());
    auto meta = stream.GetSectionReader(demo::kMetaSection);
    ASSERT_TRUE(meta.IsOk());
    EXPECT_EQ(meta.Value()->SectionSize(), 64u);
    EXPECT_EQ(meta.Value()->SectionPayloadSize(), 8u);
    auto vectors = stream.GetSectionReader(demo::kVectorSection);
    ASSERT_TRUE(vectors.IsOk());
    EXPECT_EQ(vectors.Value()->SectionSize(), 3u * 4u * 4u);
    demo::DemoIndexMeta header;
    ASSERT_TRUE(meta.Value()
                    ->Read(0, sizeof(header),
                           std::span<char>(reinterpret_cast<char*>(&header), sizeof(header)))
                    .IsOk());
    EXPECT_EQ(header.count, 3u);
    EXPECT_EQ(header.dimension, 4u);
    EXPECT_TRUE(stream.Close().IsOk());
}

TEST(DemoIndexTest, SearchMatchesExactComputation) {
    constexpr uint32_t kDim = 16;
    constexpr uint64_t kRows = 500;
    testing::TempDir dir;
    const auto rows = RandomRows(kRows, kDim, 7);
    const std::string path = BuildIndex(dir, rows, kDim);
    for (const char* readerType : {"local", "mmap"}) {
        OrvaneSearcher searcher = OpenSearcher(path, kDim, readerType);
        EXPECT_EQ(searcher.GetMeta().count, kRows);
        const auto queries = RandomRows(20, kDim, 99);
        for (int qi = 0; qi < 20; ++qi) {
            const float* q = queries.data() + qi * kDim;
            std::vector<std::pair<float, uint64_t>> exact;
            for (uint64_t r = 0; r < kRows; ++r) {
                float d = 0.0f;
                for (uint32_t j = 0; j < kDim; ++j) {
                    const float diff = q[j] - rows[r * kDim + j];
                    d += diff * diff;
                }
                exact.emplace_back(d, r);
            }
            std::sort(exact.begin(), exact.end());
            auto result =
                searcher.Search(api::Query(q, kDim), SearchOptions{{"search.topk", int64_t{10}}});
            ASSERT_TRUE(result.IsOk()) << result.GetStatus().Message();
            const auto& hits = result.Value().topk;
            ASSERT_EQ(hits.size(), 10u);
            for (size_t k = 0; k < hits.size(); ++k) {
                EXPECT_EQ(hits[k].id, exact[k].second) << readerType << " q" << qi << " k" << k;
                EXPECT_NEAR(hits[k].distance, exact[k].first, 1e-3f * (1.0f + exact[k].first));
            }
            EXPECT_EQ(result.Value().searchStats.at("query_stats.distance_calculate_count"), "500");
            EXPECT_EQ(result.Value().searchStats.at("query_stats.filtered_count"), "0");
        }
        EXPECT_TRUE(searcher.Close().IsOk());
    }
}

TEST(DemoIndexTest, FewerVectorsThanTopk) {
    testing::TempDir dir;
    const std::vector<float> rows{0, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0};
    OrvaneSearcher searcher = OpenSearcher(BuildIndex(dir, rows, 4), 4);
    const float q[4] = {0.9f, 0, 0, 0};
    auto result = searcher.Search(api::Query(q, 4), SearchOptions{{"search.topk", int64_t{10}}});
    ASSERT_TRUE(result.IsOk());
    const auto& hits = result.Value().topk;
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0].id, 2u);
    EXPECT_EQ(hits[1].id, 0u);
    EXPECT_EQ(hits[2].id, 1u);
    EXPECT_NEAR(hits[0].distance, 0.01f, 1e-5f);
    EXPECT_NEAR(hits[2].distance, 4.41f, 1e-4f);
    EXPECT_TRUE(searcher.Close().IsOk());
}

TEST(DemoIndexTest, DimensionMismatchOnOpen) {
    testing::TempDir dir;
    const std::string path = BuildIndex(dir, RandomRows(3, 4, 1), 4);
    auto searcher = OrvaneSearcher::Create(
        SearcherOptions{{"index.dimension", int64_t{8}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(searcher.IsOk());
    core::Status st = searcher.Value().Open(IOOptions{{"index.path", path}});
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "DemoSearcher dimension mismatch");
    std::vector<float> q(8, 0.0f);
    auto r = searcher.Value().Search(api::Query(q.data(), 8),
                                     SearchOptions{{"search.topk", int64_t{1}}});
    EXPECT_EQ(r.GetStatus().Code(), ErrorCode::FailedPrecondition);
}

TEST(DemoIndexTest, BackendRefusals) {
    DemoBuilderBackend backend(4);
    std::vector<float> seven(7, 1.0f);
    std::vector<uint64_t> ids{1, 2};
    core::Status st = backend.AppendBatch(seven, ids);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "vectors.size() must equal ids.size() * dimension");

    DemoBuilderBackend noDim(0);
    EXPECT_EQ(noDim.Reserve(3).Message(), "builder dimension not set");
    EXPECT_EQ(noDim.AppendBatch(seven, ids).Message(), "builder dimension not set");

    class Ext : public api::IBuildExtension {
        std::string_view Name() const override { return "checkpoint"; }
    } ext;
    core::Status attached = backend.Attach(ext);
    EXPECT_EQ(attached.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(attached.Message(), "extension checkpoint not supported by demo builder");
}

TEST(DemoIndexTest, SearcherRefusesExtensions) {
    testing::TempDir dir;
    OrvaneSearcher searcher = OpenSearcher(BuildIndex(dir, RandomRows(3, 4, 1), 4), 4);
    class Ext : public api::ISearchExtension {
        std::string_view Name() const override { return "extension.search_with_filter"; }
    } ext;
    core::Status st = searcher.Attach(ext);
    EXPECT_EQ(st.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(st.Message(),
              "extension extension.search_with_filter not supported by demo searcher");
    EXPECT_TRUE(searcher.Close().IsOk());
}

TEST(DemoIndexTest, DamagedMetaCountIsRefusedWithoutHugeAllocation) {
    testing::TempDir dir;
    const std::string path = BuildIndex(dir, RandomRows(3, 4, 1), 4);
    // Forge the stored count (first meta byte sits right after the 64-byte header)
    // without fixing the section CRC, and open without CRC verification.
    {
        std::FILE* f = std::fopen(path.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fseek(f, 64, SEEK_SET);
        const uint32_t forged = 0xFFFFFFFFu;
        std::fwrite(&forged, sizeof(forged), 1, f);
        std::fclose(f);
    }
    auto searcher = OrvaneSearcher::Create(
        SearcherOptions{{"index.dimension", int64_t{4}}, {"index.type", std::string("demo")}});
    ASSERT_TRUE(searcher.IsOk());
    core::Status st = searcher.Value().Open(IOOptions{{"index.path", path}});
    EXPECT_FALSE(st.IsOk());
    EXPECT_EQ(searcher.Value().GetMeta().count, 0u);
}

TEST(DemoIndexTest, ConcurrentSearchesStress) {
    constexpr uint32_t kDim = 8;
    testing::TempDir dir;
    const auto rows = RandomRows(300, kDim, 3);
    OrvaneSearcher searcher = OpenSearcher(BuildIndex(dir, rows, kDim), kDim);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const float* q = rows.data() + t * kDim;
            for (int i = 0; i < 50; ++i) {
                auto r = searcher.Search(api::Query(q, kDim),
                                         SearchOptions{{"search.topk", int64_t{1}}});
                if (!r.IsOk() || r.Value().topk.empty() || r.Value().topk[0].id != uint64_t(t)) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(searcher.Close().IsOk());
}

}  // namespace
}  // namespace orvane::index

namespace orvane::index {
namespace {

TEST(DemoIndexTest, OnlyTheL2MetricIsAccepted) {
    struct Case {
        const char* metric;  // nullptr: not given
        bool accepted;
    };
    const Case cases[] = {
        {nullptr, true}, {"l2", true}, {"cosine", false}, {"inner_product", false}};
    for (const Case& c : cases) {
        api::BuilderOptions options{{"index.dimension", int64_t{4}},
                                    {"index.type", std::string("demo")}};
        if (c.metric != nullptr) options.Values()["distance.metric"] = std::string(c.metric);
        auto builder = api::OrvaneBuilder::Create(options);
        EXPECT_EQ(builder.IsOk(), c.accepted) << (c.metric ? c.metric : "(none)");
        if (!c.accepted && !builder.IsOk()) {
            EXPECT_EQ(builder.GetStatus().Code(), core::ErrorCode::InvalidArgument);
            EXPECT_EQ(builder.GetStatus().Message(),
                      std::string("demo index supports distance.metric l2 only, got ") + c.metric);
        }
    }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The builder holds its vectors at little more than their own size, also for the
// narrowest rows (a heap block per row would cost many times the row).
TEST(DemoIndexTest, BuilderMemoryStaysNearTheDataSize) {
    constexpr uint64_t kRows = 200000;
    std::vector<float> rows(kRows, 0.5f);
    std::vector<uint64_t> ids(kRows, 0);
    DemoBuilderBackend backend(1);
    const size_t before = mallinfo2().uordblks;
    ASSERT_TRUE(backend.Reserve(kRows).IsOk());
    for (uint64_t first = 0; first < kRows; first += 1000) {
        ASSERT_TRUE(backend
                        .AppendBatch(std::span<const float>(rows.data() + first, 1000),
                                     std::span<const uint64_t>(ids.data() + first, 1000))
                        .IsOk());
    }
    const size_t used = mallinfo2().uordblks - before;
    EXPECT_LT(used, 2 * kRows * sizeof(float));
}
#endif

}  // namespace
}  // namespace orvane::index
