// The DiskANN builder back end: option and call-order refusals, graph quality
// on generated data, the dumped index, and concurrent insertion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "index/diskann/build/BuilderTestUtil.h"
#include "index/diskann/format/StorageTestUtil.h"
#include "index/diskann/search/SearchDiskStorage.h"
#include "testing/LogCapture.h"

namespace orvane::index::diskann {
namespace {

using core::ErrorCode;
using testutil::BuildAll;
using testutil::Clustered;
using testutil::ExpectSoundGraph;
using testutil::GraphRecall;
using testutil::MakeBuilder;
using testutil::WriteImage;
using testutil::Options;

TEST(DiskANNBuilderTest, InitRefusesBadOptions) {
    const struct {
        const char* name;
        api::BuilderOptions::Map changes;
        ErrorCode code;
        const char* message;
    } cases[] = {
        {"ckpt_count_squared_above_threshold",
         {{"extension.build.ckpt.count", int64_t{3}},
          {"extension.build.ckpt.threshold", int64_t{10}}},
         ErrorCode::InvalidArgument,
         "_numberOfCkpt ^2 should be less than _thresholdOfCkpt."},
        {"ckpt_count_within_threshold",
         {{"extension.build.ckpt.count", int64_t{3}},
          {"extension.build.ckpt.threshold", int64_t{100}}},
         ErrorCode::Ok,
         ""},
        {"disk_encoder_with_reorder",
         {{"diskann.disk_encoding.type", std::string("sq8")},
          {"diskann.build.reorder_layout", true}},
         ErrorCode::NotSupported,
         "Do not support use disk encoder combine with reorderLayout"},
        {"unknown_encoding",
         {{"encoding.type", std::string("zip")}},
         ErrorCode::InvalidArgument,
         "Failed to CreateQuantizerTrainer: No quantizer trainer implementation for encoding "
         "[zip]."},
        {"unknown_disk_encoding",
         {{"diskann.disk_encoding.type", std::string("zip")}},
         ErrorCode::InvalidArgument,
         "Failed to CreateQuantizerTrainer for disk encoder: No quantizer trainer implementation "
         "for encoding [zip]."},
        {"unknown_metric",
         {{"distance.metric", std::string("ip")}},
         ErrorCode::InvalidArgument,
         "Unsupported distance.metric [ip]"},
        {"zero_threads",
         {{"diskann.build.thread_count", int64_t{0}}},
         ErrorCode::InvalidArgument,
         "diskann.build.thread_count out of range [0]"},
        {"zero_degree",
         {{"diskann.build.neighbor_count", int64_t{0}}},
         ErrorCode::InvalidArgument,
         "diskann.build.neighbor_count out of range [0]"},
    };
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        api::BuilderOptions options = Options(8, 8, 1);
        for (const auto& [key, value] : c.changes) options.Values()[key] = value;
        auto created = CreateDiskANNBuilderBackend(options, core::Normalize({}));
        EXPECT_EQ(created.IsOk() ? ErrorCode::Ok : created.GetStatus().Code(), c.code);
        if (!created.IsOk()) {
            EXPECT_EQ(created.GetStatus().Message(), c.message);
        }
    }
}

TEST(DiskANNBuilderTest, ReserveAndAppendRefusals) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto noDim = MakeBuilder(Options(0, 8, 1));
    ASSERT_NE(noDim, nullptr);
    EXPECT_EQ(noDim->Reserve(10).Message(), "builder dimension not initialized");

    auto b = MakeBuilder(Options(4, 8, 1));
    ASSERT_NE(b, nullptr);
    const std::vector<float> rows(4 * 4, 1.0f);
    const std::vector<uint64_t> ids = {1, 2, 3, 4};
    core::Status st = b->AppendBatch(rows, ids);
    EXPECT_EQ(st.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(st.Message(), "Must call Reserve before AppendBatch");
    st = b->Reserve(4294967295ull);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "exceed doc count limit for diskann");

    ASSERT_TRUE(b->Pretrain(rows.data(), 4).IsOk());
    ASSERT_TRUE(b->Reserve(4).IsOk());
    // A span shorter than ids x dimension would be read past its end.
    st = b->AppendBatch(std::span<const float>(rows.data(), 15), ids);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "vectors.size() must equal ids.size() * dimension");
    EXPECT_EQ(b->Storage().ids.size(), 0u);
    const std::vector<float> five(5 * 4, 1.0f);
    const std::vector<uint64_t> fiveIds = {1, 2, 3, 4, 5};
    st = b->AppendBatch(five, fiveIds);
    EXPECT_EQ(st.Message(), "appendCount is larger than reserveCount");

    ASSERT_TRUE(b->AppendBatch(std::span<const float>(rows.data(), 8), {ids.data(), 2}).IsOk());
    auto out = std::make_shared<std::string>();
    io::OutputStream stream(std::make_unique<io::testutil::StringWriter>(out));
    ASSERT_TRUE(stream.Init({}).IsOk());
    st = b->Dump(stream);
    EXPECT_EQ(st.Code(), ErrorCode::Internal);
    EXPECT_EQ(st.Message(), "Vector count mismatch: expected 4 but got 2");
}

TEST(DiskANNBuilderTest, GraphQualityOnClusteredData) {
    constexpr uint32_t kDim = 16, kN = 2000, kDegree = 16;
    const auto data = Clustered(kN, kDim, 7);
    const auto queries = testutil::NearQueries(data, kDim, 50, 8);
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (int64_t threads : {1, 2}) {
        SCOPED_TRACE(threads);
        auto b = MakeBuilder(Options(kDim, kDegree, threads));
        ASSERT_NE(b, nullptr);
        ASSERT_TRUE(BuildAll(*b, data, kDim, 700).IsOk());
        ExpectSoundGraph(b->Storage(), kN, kDegree);
        ASSERT_EQ(b->Storage().entryPoints.size(), 1u);
        EXPECT_GE(GraphRecall(b->Storage(), data, kDim, queries, 10, 64), 0.95);
    }
}

TEST(DiskANNBuilderTest, InnerProductAndCosineGraphsAreSound) {
    constexpr uint32_t kDim = 8, kN = 500;
    auto data = Clustered(kN, kDim, 11);
    for (uint32_t i = 0; i < kN; ++i) {
        float norm = 0;
        for (uint32_t k = 0; k < kDim; ++k) norm += data[i * kDim + k] * data[i * kDim + k];
        for (uint32_t k = 0; k < kDim; ++k) data[i * kDim + k] /= std::sqrt(norm);
    }
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    for (const char* metric : {"inner_product", "cosine"}) {
        SCOPED_TRACE(metric);
        auto options = Options(kDim, 8, 2);
        options.Values()["distance.metric"] = std::string(metric);
        auto b = MakeBuilder(options);
        ASSERT_NE(b, nullptr);
        ASSERT_TRUE(BuildAll(*b, data, kDim, kN).IsOk());
        ExpectSoundGraph(b->Storage(), kN, 8);
        // On unit vectors the l2 order equals the ip and cosine order.
        EXPECT_GE(GraphRecall(b->Storage(), data, kDim, data, 5, 32), 0.9);
    }
}

TEST(DiskANNBuilderTest, DumpWritesTheGraphTheSearcherReads) {
    constexpr uint32_t kDim = 12, kN = 300;
    const auto data = Clustered(kN, kDim, 3);
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto b = MakeBuilder(Options(kDim, 10, 2));
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(BuildAll(*b, data, kDim, 128).IsOk());
    const std::string image =
        testutil::WriteImage([&](io::OutputStream& out) { return b->Dump(out); }, true);
    auto stream = testutil::OpenImage(image);
    const std::string metaBytes = testutil::SectionPayload(*stream, kMetaSection);
    ASSERT_EQ(metaBytes.size(), sizeof(DiskANNIndexMeta));
    DiskANNIndexMeta meta;
    std::memcpy(&meta, metaBytes.data(), sizeof(meta));
    EXPECT_EQ(meta.count, kN);
    EXPECT_EQ(meta.dimension, kDim);
    EXPECT_EQ(meta.metricType, 0u);
    // rawf32 stream: 20-byte meta, then the rows.
    const std::string encoder = testutil::SectionPayload(*stream, kEncoderSection);
    ASSERT_EQ(encoder.size(), 20 + kN * kDim * 4);
    EXPECT_EQ(std::memcmp(encoder.data() + 20, data.data(), kN * kDim * 4), 0);

    SearchDiskStorage reader;
    ASSERT_TRUE(reader.Load(*stream, kN, kDim).IsOk());
    EXPECT_EQ(reader.Header().neighborCount, 10u);
    EXPECT_EQ(reader.Header().efConstruction, 64u);
    EXPECT_EQ(reader.entryPoints, b->Storage().entryPoints);
    GraphNodeHolder holder;
    holder.Resize(kN, reader.GraphNodeSize());
    std::vector<uint32_t> all(kN);
    for (uint32_t i = 0; i < kN; ++i) all[i] = i;
    ASSERT_TRUE(testutil::ReadNodes(reader, all, holder, 8).IsOk());
    for (uint32_t i = 0; i < kN; ++i) {
        EXPECT_EQ(reader.ids[i], 100u + i);
        EXPECT_EQ(std::memcmp(holder.nodes[i].embedding.data(), data.data() + i * kDim, kDim * 4),
                  0);
        const auto list = b->Storage().Neighbors(i);
        EXPECT_TRUE(std::equal(list.begin(), list.end(), holder.nodes[i].neighbors.begin(),
                               holder.nodes[i].neighbors.end()));
    }
}

// A build with one worker is a pure function of its input and options: two
// builds write the same bytes (padding, reserved fields and record slack
// included), whatever the encoding, metric, pruning or batching.
struct DeterminismCase {
    const char* name;
    const char* encoding;
    const char* metric;
    double slack;
    uint32_t batch;
};

constexpr DeterminismCase kDeterminismCases[] = {
    {"raw_l2_one_batch", "rawf32", "l2", 1.0, 4096},
    {"sq8_ip_small_batches", "sq8", "inner_product", 1.0, 97},
    {"raw_cosine_slack", "rawf32", "cosine", 1.3, 500},
};

TEST(DiskANNBuilderTest, SameInputAndOptionsWriteTheSameBytes) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    constexpr uint32_t kDim = 12;
    const std::vector<float> data = Clustered(1200, kDim, 41);
    for (const DeterminismCase& c : kDeterminismCases) {
        SCOPED_TRACE(c.name);
        api::BuilderOptions options = Options(kDim, 12, 1, 40);
        options.Values()["encoding.type"] = std::string(c.encoding);
        options.Values()["distance.metric"] = std::string(c.metric);
        options.Values()["diskann.build.slack_pruning_factor"] = c.slack;
        std::string images[2];
        for (std::string& image : images) {
            auto b = MakeBuilder(options);
            ASSERT_NE(b, nullptr);
            ASSERT_TRUE(BuildAll(*b, data, kDim, c.batch).IsOk());
            image = WriteImage([&](io::OutputStream& out) { return b->Dump(out); }, true);
        }
        ASSERT_GT(images[0].size(), 1200u * kDim * sizeof(float));
        EXPECT_TRUE(images[0] == images[1]) << "two builds of the same input differ";
    }
}

TEST(DiskANNBuilderTest, EmptyIndexAndReorderWithoutMappingWriter) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto empty = MakeBuilder(Options(4, 8, 1));
    ASSERT_NE(empty, nullptr);
    ASSERT_TRUE(empty->Reserve(0).IsOk());
    const std::string image =
        testutil::WriteImage([&](io::OutputStream& out) { return empty->Dump(out); }, true);
    auto stream = testutil::OpenImage(image);
    SearchDiskStorage reader;
    EXPECT_TRUE(reader.Load(*stream, 0, 4).IsOk());

    // The raw trainer cannot write its rows in a reordered order.
    auto options = Options(4, 4, 1);
    options.Values()["diskann.build.reorder_layout"] = true;
    auto b = MakeBuilder(options);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(BuildAll(*b, Clustered(64, 4, 1), 4, 64).IsOk());
    auto out = std::make_shared<std::string>();
    io::OutputStream dumped(std::make_unique<io::testutil::StringWriter>(out));
    ASSERT_TRUE(dumped.Init({}).IsOk());
    const core::Status st = b->Dump(dumped);
    EXPECT_EQ(st.Code(), ErrorCode::Internal);
    EXPECT_EQ(st.Message(), "serialize with mapping not implement");
}

TEST(DiskANNBuilderTest, LogsProgressEveryThresholdNodesAndAtBatchEnds) {
    constexpr uint32_t kDim = 4, kN = 300;
    auto options = Options(kDim, 6, 2);
    options.Values()["build.log_threshold"] = int64_t{100};
    auto b = MakeBuilder(options);
    ASSERT_NE(b, nullptr);
    testing::LogCapture logs;
    ASSERT_TRUE(BuildAll(*b, Clustered(kN, kDim, 2), kDim, 130).IsOk());
    std::vector<std::string> progress;
    for (const std::string& m : logs.Messages(telemetry::LogLevel::Info)) {
        if (m.rfind("Built cnt ", 0) == 0) progress.push_back(m);
    }
    std::sort(progress.begin(), progress.end());
    EXPECT_EQ(progress, (std::vector<std::string>{
                            "Built cnt 100, finished percent 33.333%",
                            "Built cnt 130, finished percent 43.333%",
                            "Built cnt 200, finished percent 66.667%",
                            "Built cnt 260, finished percent 86.667%",
                            "Built cnt 300, finished percent 100.000%",
                        }));
}

TEST(DiskANNBuilderStressTest, ConcurrentInsertionKeepsListsConsistent) {
    constexpr uint32_t kDim = 8, kN = 3000, kDegree = 6;
    const auto data = Clustered(kN, kDim, 21);
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto b = MakeBuilder(Options(kDim, kDegree, 4, 24));
    ASSERT_NE(b, nullptr);
    // Small batches: many rounds of workers meeting on the same lists.
    ASSERT_TRUE(BuildAll(*b, data, kDim, 250).IsOk());
    // Racing prunes at degree 6 leave some nodes unreachable; after the repair
    // every node must be reachable and the lists sound.
    ExpectSoundGraph(b->Storage(), kN, kDegree, 1.0);
}

}  // namespace
}  // namespace orvane::index::diskann

namespace orvane::index::diskann {
namespace {

// Reads every node record of an index image.
struct ReadBack {
    std::unique_ptr<io::InputStream> stream;
    SearchDiskStorage reader;
    GraphNodeHolder holder;
};

void ReadAllNodes(const std::string& image, uint32_t n, uint32_t dim, ReadBack& out) {
    out.stream = testutil::OpenImage(image);
    ASSERT_TRUE(out.reader.Load(*out.stream, n, dim).IsOk());
    out.holder.Resize(n, out.reader.GraphNodeSize());
    std::vector<uint32_t> all(n);
    for (uint32_t i = 0; i < n; ++i) all[i] = i;
    ASSERT_TRUE(testutil::ReadNodes(out.reader, all, out.holder, 4).IsOk());
}

TEST(DiskANNBuilderTest, ReorderedLayoutKeepsEveryNodeAndEdge) {
    constexpr uint32_t kDim = 8, kN = 600;
    const auto data = Clustered(kN, kDim, 13);
    testing::LogCapture logs;
    auto options = Options(kDim, 8, 2);
    options.Values().erase("encoding.type");  // the default: pq with (dim + 1) / 2 chunks
    options.Values()["diskann.build.reorder_layout"] = true;
    auto b = MakeBuilder(options);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(BuildAll(*b, data, kDim, kN).IsOk());
    const std::string image =
        testutil::WriteImage([&](io::OutputStream& out) { return b->Dump(out); }, true);
    ReadBack back;
    ReadAllNodes(image, kN, kDim, back);
    // Layout position p holds row ids[p] - 100, with its vector and its edges
    // renumbered to layout positions.
    std::vector<uint32_t> rowOf(kN);
    std::vector<bool> seen(kN, false);
    for (uint32_t p = 0; p < kN; ++p) {
        const uint64_t row = back.reader.ids[p] - 100;
        ASSERT_LT(row, kN);
        ASSERT_FALSE(seen[row]);
        seen[row] = true;
        rowOf[p] = static_cast<uint32_t>(row);
    }
    for (uint32_t p = 0; p < kN; ++p) {
        EXPECT_EQ(std::memcmp(back.holder.nodes[p].embedding.data(), data.data() + rowOf[p] * kDim,
                              kDim * 4),
                  0);
        std::vector<uint32_t> got;
        for (uint32_t q : back.holder.nodes[p].neighbors) got.push_back(rowOf[q]);
        const auto list = b->Storage().Neighbors(rowOf[p]);
        EXPECT_EQ(got, std::vector<uint32_t>(list.begin(), list.end()));
    }
    EXPECT_EQ(rowOf[back.reader.entryPoints[0]], b->Storage().entryPoints[0]);
    // The packing raises the share of neighbours stored in a node's sector.
    bool ranked = false;
    for (const std::string& m : logs.Messages(telemetry::LogLevel::Info)) {
        float before = 0, after = 0;
        if (std::sscanf(m.c_str(),
                        "rank time [%*u] seconds, node per sector [%*u] , neighbor percent  "
                        "before rank [%f] after rank [%f]",
                        &before, &after) == 2) {
            ranked = true;
            EXPECT_GT(after, before * 2) << m;
        }
    }
    EXPECT_TRUE(ranked);
}

TEST(DiskANNBuilderTest, DiskEncoderCodesReplaceRawVectors) {
    constexpr uint32_t kDim = 8, kN = 600;
    const auto data = Clustered(kN, kDim, 17);
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    auto options = Options(kDim, 8, 2);
    options.Values()["diskann.disk_encoding.type"] = std::string("pq");
    options.Values()["diskann.disk_encoding.encoding.pq.m"] = int64_t{4};
    options.Values()["diskann.disk_encoding.save_origin_embedding"] = true;
    auto b = MakeBuilder(options);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(BuildAll(*b, data, kDim, 250).IsOk());
    const std::string image =
        testutil::WriteImage([&](io::OutputStream& out) { return b->Dump(out); }, true);
    ReadBack back;
    ReadAllNodes(image, kN, kDim, back);
    EXPECT_TRUE(HeaderFlag(back.reader.Header().quantizeRawData));
    EXPECT_TRUE(HeaderFlag(back.reader.Header().saveOriginalEmbedding));
    EXPECT_EQ(back.reader.Header().vectorSize, 4u);  // four one-byte chunk codes
    EXPECT_FALSE(testutil::SectionPayload(*back.stream, kDiskEncoderSection).empty());
    const std::string originals = testutil::SectionPayload(*back.stream, kOriginalEmbeddingSection);
    ASSERT_EQ(originals.size(), kN * kDim * 4);
    EXPECT_EQ(std::memcmp(originals.data(), data.data(), originals.size()), 0);
    for (uint32_t i = 0; i < kN; ++i) {
        const auto list = b->Storage().Neighbors(i);
        EXPECT_TRUE(std::equal(list.begin(), list.end(), back.holder.nodes[i].neighbors.begin(),
                               back.holder.nodes[i].neighbors.end()));
    }
}

}  // namespace
}  // namespace orvane::index::diskann
