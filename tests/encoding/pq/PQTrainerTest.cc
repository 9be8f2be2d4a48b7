#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory_resource>
#include <string>
#include <vector>

#include "encoding/QuantizerEvaluatorLoader.h"
#include "encoding/QuantizerStreamExercise.h"
#include "encoding/QuantizerTestUtil.h"
#include "encoding/pq/PQEncodeSpace.h"
#include "encoding/pq/PQTrainer.h"

namespace orvane::quantizer {
namespace {

using core::ErrorCode;
using dist::MetricE;
using dist::encode_space::kPQCentroidCount;
using dist::encode_space::PQGlobalHeader;
using testutil::CaptureWriter;
using testutil::PutU32;
using testutil::RandomVectors;
using testutil::SectionOver;

std::pmr::memory_resource& Res() {
    return *std::pmr::new_delete_resource();
}

struct TrainerCase {
    const char* name;
    MetricE metric;
    uint32_t m;
    bool opq;
    bool zeroMean;
};

std::unique_ptr<PQTrainer> MakePQ(const TrainerCase& c, uint32_t dim) {
    api::QuantizerOptions options{
        {"encoding.pq.m", int64_t{c.m}},
        {"encoding.pq.use_opq", c.opq},
        {"encoding.pq.make_zero_mean", c.zeroMean},
        {"encoding.pq.thread_count", int64_t{2}},
        {"encoding.pq.max_epoch", int64_t{c.opq ? 2 : 6}},
    };
    return std::make_unique<PQTrainer>(dim, c.metric, Res(), options);
}

// A trainer that learned from `data` and encoded it in two batches.
std::unique_ptr<PQTrainer> Trained(const TrainerCase& c, uint32_t dim,
                                   const std::vector<float>& data) {
    auto trainer = MakePQ(c, dim);
    const uint64_t n = data.size() / dim;
    EXPECT_EQ(trainer->Pretrain(data, n, dim), ErrorCode::Ok);
    EXPECT_TRUE(trainer->Reserve(n).IsOk());
    const uint64_t half = n / 2;
    EXPECT_EQ(trainer->EncodeBatch(data, half, dim), ErrorCode::Ok);
    EXPECT_EQ(trainer->EncodeBatch(std::span<const float>(data).subspan(half * dim), n - half, dim),
              ErrorCode::Ok);
    return trainer;
}

std::string Stream(QuantizerTrainer& trainer) {
    std::string out;
    EXPECT_TRUE(trainer.Serialize(CaptureWriter(out)).IsOk());
    return out;
}

uint64_t ExpectedPQStreamSize(uint64_t n, uint64_t d, uint32_t m, MetricE metric, bool opq) {
    return kQuantizerMetaSize + sizeof(PQGlobalHeader) + (uint64_t{m} + 1) * 4 +
           uint64_t{kPQCentroidCount} * d * 4 + (opq ? d * d * 4 : 0) +
           n * dist::encode_space::PQRowSize(m, metric);
}

TEST(PQTrainerTest, OptionsAndTheirDefaults) {
    struct Case {
        const char* name;
        MetricE metric;
        api::QuantizerOptions options;
        uint32_t m, epochs, threads;
        bool opq, zeroMean;
    };
    const std::vector<Case> cases = {
        {"defaults", MetricE::l2, {}, 8, 12, 1, false, false},
        {"opq lowers the epochs",
         MetricE::l2,
         {{"encoding.pq.use_opq", true}},
         8,
         8,
         1,
         true,
         false},
        {"explicit epochs",
         MetricE::l2,
         {{"encoding.pq.use_opq", true}, {"encoding.pq.max_epoch", int64_t{3}}},
         8,
         3,
         1,
         true,
         false},
        {"zero mean for l2",
         MetricE::l2,
         {{"encoding.pq.make_zero_mean", true}},
         8,
         12,
         1,
         false,
         true},
        {"zero mean ignored for ip",
         MetricE::ip,
         {{"encoding.pq.make_zero_mean", true}},
         8,
         12,
         1,
         false,
         false},
        {"zero mean ignored with opq",
         MetricE::l2,
         {{"encoding.pq.make_zero_mean", true}, {"encoding.pq.use_opq", true}},
         8,
         8,
         1,
         true,
         false},
        {"wrong types count as absent",
         MetricE::l2,
         {{"encoding.pq.m", std::string("4")}, {"encoding.pq.use_opq", int64_t{1}}},
         8,
         12,
         1,
         false,
         false},
        {"chunks and threads",
         MetricE::l2,
         {{"encoding.pq.m", int64_t{4}}, {"encoding.pq.thread_count", int64_t{3}}},
         4,
         12,
         3,
         false,
         false},
    };
    for (const Case& c : cases) {
        PQTrainer trainer(16, c.metric, Res(), c.options);
        EXPECT_EQ(trainer.Model().header.numChunks, c.m) << c.name;
        EXPECT_EQ(trainer.MaxEpoch(), c.epochs) << c.name;
        EXPECT_EQ(trainer.Model().threadCount, c.threads) << c.name;
        EXPECT_EQ(trainer.Model().header.UsesOpq(), c.opq) << c.name;
        EXPECT_EQ(trainer.MakesZeroMean(), c.zeroMean) << c.name;
        EXPECT_EQ(trainer.Model().header.metricType, c.metric) << c.name;
    }
    EXPECT_EQ(
        PQTrainer(16, MetricE::ip, Res(), {{"encoding.pq.m", int64_t{6}}}).GetEncodedNodeSize(),
        12u);
    EXPECT_EQ(
        PQTrainer(16, MetricE::l2, Res(), {{"encoding.pq.m", int64_t{6}}}).GetEncodedNodeSize(),
        6u);
}

class PQRoundTripTest : public ::testing::TestWithParam<TrainerCase> {};

// Serialize -> Deserialize into a fresh trainer gives the same model and codes
// and the same bytes again; the evaluator scores the stream's rows like the
// encode space does, and close to the exact metric.
TEST_P(PQRoundTripTest, StreamRestoresModelAndCodes) {
    const TrainerCase c = GetParam();
    const uint32_t dim = 12;
    const uint64_t n = 300;
    auto data = RandomVectors(n, dim, 5);
    if (c.metric == MetricE::ip) std::fill_n(data.begin(), dim, 0.0f);  // weight 1, not inf
    auto trainer = Trained(c, dim, data);
    ASSERT_EQ(trainer->Count(), n);
    const std::string stream = Stream(*trainer);
    EXPECT_EQ(stream.size(), ExpectedPQStreamSize(n, dim, c.m, c.metric, c.opq));
    for (float v : trainer->Model().codebooks) ASSERT_TRUE(std::isfinite(v));
    if (c.opq) {
        const auto& r = trainer->Model().rotation;
        ASSERT_EQ(r.size(), uint64_t{dim} * dim);
        for (uint32_t i = 0; i < dim; ++i) {
            for (uint32_t j = 0; j < dim; ++j) {
                double dot = 0;
                for (uint32_t k = 0; k < dim; ++k) dot += double{r[i * dim + k]} * r[j * dim + k];
                EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-4);
            }
        }
    }

    auto restored = MakePQ(c, dim);
    ASSERT_TRUE(restored->Deserialize(SectionOver(stream)).IsOk());
    EXPECT_EQ(restored->Count(), n);
    EXPECT_EQ(restored->Model().chunkOffsets, trainer->Model().chunkOffsets);
    EXPECT_EQ(restored->Model().codebooks, trainer->Model().codebooks);
    EXPECT_EQ(restored->Model().rotation, trainer->Model().rotation);
    EXPECT_TRUE(std::equal(restored->Codes().begin(), restored->Codes().end(),
                           trainer->Codes().begin(), trainer->Codes().end()));
    EXPECT_TRUE(std::equal(restored->IpFactors().begin(), restored->IpFactors().end(),
                           trainer->IpFactors().begin(), trainer->IpFactors().end()));
    EXPECT_EQ(Stream(*restored), stream);

    auto reader = SectionOver(stream);
    auto opened = LoadQuantizerEvaluator(reader, Res());
    auto loaded = LoadQuantizerEvaluator(reader, Res());
    ASSERT_NE(opened, nullptr);
    ASSERT_TRUE(opened->Open(reader).IsOk());
    ASSERT_TRUE(loaded->Load(reader).IsOk());
    EXPECT_EQ(opened->LowerIsBetter(), c.metric == MetricE::l2);
    const auto query = RandomVectors(1, dim, 9);
    auto prepared = opened->PrepareQuery(query);
    ASSERT_TRUE(prepared.IsOk());
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = n - 1 - i;
    std::vector<float> scores(n);
    double errorSum = 0, exactSum = 0;
    ASSERT_EQ(opened->BatchEval(*prepared.Value(), ids, scores), ErrorCode::Ok);
    for (uint64_t k = 0; k < n; ++k) {
        const uint64_t id = ids[k];
        std::string row;
        ASSERT_TRUE(trainer->SerializeEncode(id, CaptureWriter(row)).IsOk());
        ASSERT_EQ(row.size(), trainer->GetEncodedNodeSize());
        float viaCode = 0;
        ASSERT_EQ(loaded->EvalWithCode(*prepared.Value(), id,
                                       {reinterpret_cast<const uint8_t*>(row.data()), row.size()},
                                       viaCode),
                  ErrorCode::Ok);
        EXPECT_EQ(viaCode, scores[k]);
        // The score is the metric between the rotated query and the row's
        // reconstruction (times the IP factor for ip).
        const auto& model = trainer->Model();
        std::vector<double> rq(query.begin(), query.end());
        if (c.opq) {
            for (uint32_t j = 0; j < dim; ++j) {
                rq[j] = 0;
                for (uint32_t i = 0; i < dim; ++i) rq[j] += query[i] * model.rotation[i * dim + j];
            }
        }
        double recon = 0, exact = 0;
        for (uint32_t chunk = 0; chunk < c.m; ++chunk) {
            const uint8_t code = trainer->Codes()[id * c.m + chunk];
            for (uint32_t j = model.chunkOffsets[chunk]; j < model.chunkOffsets[chunk + 1]; ++j) {
                const double v = model.codebooks[uint64_t{code} * dim + j];
                recon += c.metric == MetricE::ip ? rq[j] * v : (rq[j] - v) * (rq[j] - v);
            }
        }
        if (c.metric == MetricE::ip) recon *= trainer->IpFactors()[id];
        EXPECT_NEAR(scores[k], recon, 1e-4 * (1 + std::abs(recon))) << id;
        for (uint32_t j = 0; j < dim; ++j) {
            const double x = data[id * dim + j];
            exact += c.metric == MetricE::ip ? query[j] * x : (query[j] - x) * (query[j] - x);
        }
        errorSum += std::abs(scores[k] - exact);
        exactSum += std::abs(exact);
    }
    // 300 samples against 256 centroids of 3 components per chunk: a close fit.
    EXPECT_LT(errorSum, 0.1 * exactSum);
}

INSTANTIATE_TEST_SUITE_P(Cases, PQRoundTripTest,
                         ::testing::Values(TrainerCase{"l2", MetricE::l2, 4, false, false},
                                           TrainerCase{"l2 zero mean", MetricE::l2, 4, false, true},
                                           TrainerCase{"ip", MetricE::ip, 4, false, false},
                                           TrainerCase{"l2 opq", MetricE::l2, 4, true, false},
                                           TrainerCase{"ip opq", MetricE::ip, 4, true, false}),
                         [](const auto& info) {
                             std::string s = info.param.name;
                             for (char& ch : s) ch = std::isalnum(ch) ? ch : '_';
                             return s;
                         });

TEST(PQTrainerTest, FewerSamplesThanCentroidsLeaveZeroCentroids) {
    const uint32_t dim = 8;
    const auto data = RandomVectors(100, dim, 3);
    auto trainer = MakePQ({"l2", MetricE::l2, 4, false, false}, dim);
    ASSERT_EQ(trainer->Pretrain(data, 100, dim), ErrorCode::Ok);
    const auto& books = trainer->Model().codebooks;
    for (uint64_t i = 100 * dim; i < books.size(); ++i) ASSERT_EQ(books[i], 0.0f) << i;
    // Each sample is its own centroid: the codebook rows are the samples.
    for (uint64_t i = 0; i < 100 * dim; ++i) EXPECT_EQ(books[i], data[i]) << i;
}

// Many chunks are trained in parallel, whole chunks per thread; the model must
// be the one sequential training gives. 300 distinct samples seed 256 distinct
// centroids, each of which keeps at least its own sample in the one round, so
// no cluster is re-seeded at random and training is deterministic.
TEST(PQTrainerTest, ChunksTrainedInParallelGiveTheSequentialModel) {
    const uint32_t dim = 24;
    const auto data = RandomVectors(300, dim, 11);
    struct Case {
        uint32_t m;
        int64_t threads;
        MetricE metric = MetricE::l2;
        bool zeroMean = false;
    };
    // Parallel chunks are gathered in groups of neighbours (weighted for ip,
    // centred with make_zero_mean), sequential ones one by one.
    for (const Case& c : std::vector<Case>{{24, 2},
                                           {24, 3},
                                           {12, 2},
                                           {8, 2},
                                           {3, 2},
                                           {24, 2, MetricE::ip},
                                           {12, 3, MetricE::l2, true},
                                           {10, 2, MetricE::l2, true}}) {
        auto train = [&](int64_t threads) {
            api::QuantizerOptions options{{"encoding.pq.m", int64_t{c.m}},
                                          {"encoding.pq.thread_count", threads},
                                          {"encoding.pq.make_zero_mean", c.zeroMean},
                                          {"encoding.pq.max_epoch", int64_t{1}}};
            auto trainer = std::make_unique<PQTrainer>(dim, c.metric, Res(), options);
            EXPECT_EQ(trainer->Pretrain(data, 300, dim), ErrorCode::Ok);
            return trainer->Model().codebooks;
        };
        const std::vector<float> sequential = train(1);
        EXPECT_EQ(train(c.threads), sequential) << "m " << c.m << " threads " << c.threads;
        EXPECT_NE(sequential, std::vector<float>(sequential.size(), 0.0f));
    }
}

// Chunk training and row assignment fanned out over many threads at once,
// repeatedly: every run gives the sequential model (run under ThreadSanitizer).
TEST(PQTrainerStressTest, ParallelChunkTrainingRepeatsTheSequentialModel) {
    const uint32_t dim = 32;
    const auto data = RandomVectors(300, dim, 5);
    auto train = [&](int64_t threads) {
        api::QuantizerOptions options{{"encoding.pq.m", int64_t{32}},
                                      {"encoding.pq.thread_count", threads},
                                      {"encoding.pq.max_epoch", int64_t{1}}};
        PQTrainer trainer(dim, MetricE::l2, Res(), options);
        EXPECT_EQ(trainer.Pretrain(data, 300, dim), ErrorCode::Ok);
        return trainer.Model().codebooks;
    };
    const std::vector<float> sequential = train(1);
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(train(2 + round % 7), sequential) << "round " << round;
    }
}

TEST(PQTrainerTest, RefusalsChangeNothing) {
    const uint32_t dim = 8;
    const auto data = RandomVectors(20, dim, 4);
    auto fresh = MakePQ({"l2", MetricE::l2, 4, false, false}, dim);
    EXPECT_EQ(fresh->Pretrain(data, 20, dim + 1), ErrorCode::InvalidArgument);
    EXPECT_EQ(fresh->Pretrain(data, 21, dim), ErrorCode::InvalidArgument);
    EXPECT_EQ(fresh->Pretrain(data, 0, dim), ErrorCode::InvalidArgument);
    const core::Status reserve = fresh->Reserve(5);
    EXPECT_EQ(reserve.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(reserve.Message(), "Reserve must be called after Pretrain");
    EXPECT_EQ(fresh->EncodeBatch(data, 1, dim), ErrorCode::InvalidArgument);

    auto wide = MakePQ({"l2", MetricE::l2, 9, false, false}, dim);
    EXPECT_EQ(wide->Pretrain(data, 20, dim), ErrorCode::InvalidArgument);

    auto trainer = Trained({"ip", MetricE::ip, 4, false, false}, dim, data);
    EXPECT_EQ(trainer->EncodeBatch(data, 1, dim), ErrorCode::InvalidArgument);  // reserve full
    ASSERT_TRUE(trainer->Reserve(40).IsOk());
    EXPECT_EQ(trainer->EncodeBatch(data, 1, dim - 1), ErrorCode::InvalidArgument);
    EXPECT_EQ(trainer->Count(), 20u);
    EXPECT_EQ(trainer->Codes().size(), 20u * 4);
    EXPECT_EQ(trainer->IpFactors().size(), 20u);
    std::string out;
    const core::Status st = trainer->SerializeEncode(20, CaptureWriter(out));
    EXPECT_EQ(st.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(st.Message(), "PQ SerializeEncode id out of range.");
    EXPECT_TRUE(out.empty());
}

TEST(PQTrainerTest, SerializeWithMappingOrdersRowsAndPutsTheRotationLast) {
    const uint32_t dim = 8;
    const uint64_t n = 30;
    const TrainerCase c{"ip opq", MetricE::ip, 3, true, false};
    auto trainer = Trained(c, dim, RandomVectors(n, dim, 6));
    const std::string stream = Stream(*trainer);
    const uint64_t rowSize = trainer->GetEncodedNodeSize();
    const uint64_t model = sizeof(PQGlobalHeader) + 4 * 4 + uint64_t{kPQCentroidCount} * dim * 4;
    const uint64_t rotation = uint64_t{dim} * dim * 4;
    const uint64_t rowsAt = kQuantizerMetaSize + model + rotation;

    std::vector<uint64_t> mapping(n);
    for (uint64_t k = 0; k < n; ++k) mapping[k] = (k * 7) % n;
    std::string mapped;
    ASSERT_TRUE(trainer->SerializeWithMapping(CaptureWriter(mapped), mapping).IsOk());
    ASSERT_EQ(mapped.size(), stream.size() - kQuantizerMetaSize);
    EXPECT_EQ(mapped.substr(0, model), stream.substr(kQuantizerMetaSize, model));
    for (uint64_t k = 0; k < n; ++k) {
        EXPECT_EQ(mapped.substr(model + k * rowSize, rowSize),
                  stream.substr(rowsAt + mapping[k] * rowSize, rowSize));
    }
    EXPECT_EQ(mapped.substr(model + n * rowSize),
              stream.substr(kQuantizerMetaSize + model, rotation));

    std::string ignored;
    mapping.pop_back();
    EXPECT_EQ(trainer->SerializeWithMapping(CaptureWriter(ignored), mapping).Code(),
              ErrorCode::InvalidArgument);
    mapping.push_back(n);
    EXPECT_EQ(trainer->SerializeWithMapping(CaptureWriter(ignored), mapping).Code(),
              ErrorCode::FailedPrecondition);
}

// A small stream whose fields the damage tests forge.
struct SmallStream {
    static constexpr uint32_t kDim = 8;
    static constexpr uint64_t kHeaderAt = kQuantizerMetaSize;
    static constexpr uint64_t kOffsetsAt = kHeaderAt + sizeof(PQGlobalHeader);
    std::string bytes;
};

SmallStream MakeSmallStream(MetricE metric, bool opq) {
    auto trainer = Trained({"small", metric, 4, opq, false}, SmallStream::kDim,
                           RandomVectors(10, SmallStream::kDim, 8));
    return SmallStream{Stream(*trainer)};
}

TEST(PQStreamDamageTest, EveryTruncationIsRefused) {
    for (MetricE metric : {MetricE::l2, MetricE::ip}) {
        const std::string full = MakeSmallStream(metric, true).bytes;
        for (uint64_t len = kQuantizerMetaSize; len < full.size(); ++len) {
            const auto reader = SectionOver(full.substr(0, len));
            auto trainer = MakePQ({"t", metric, 4, true, false}, SmallStream::kDim);
            const core::Status st = trainer->Deserialize(reader);
            ASSERT_EQ(st.Code(), ErrorCode::Corruption) << len;
            ASSERT_EQ(trainer->Count(), 0u) << len;
            ASSERT_TRUE(trainer->Model().codebooks.empty()) << len;
            auto evaluator = LoadQuantizerEvaluator(reader, Res());
            ASSERT_NE(evaluator, nullptr);
            ASSERT_EQ(evaluator->Open(reader).Code(), ErrorCode::Corruption) << len;
            ASSERT_FALSE(evaluator->IsLoaded());
        }
    }
}

TEST(PQStreamDamageTest, ForgedFieldsGiveTheirStatuses) {
    struct Case {
        const char* name;
        uint64_t offset;
        uint32_t value;
        ErrorCode code;
        const char* message;
    };
    const uint64_t h = SmallStream::kHeaderAt;
    const uint64_t o = SmallStream::kOffsetsAt;
    const std::vector<Case> cases = {
        {"ks 255", h + 4, 255, ErrorCode::NotSupported, "PQ ks not supported"},
        {"no chunks", h, 0, ErrorCode::Corruption, "PQ numChunks is zero"},
        {"offsets decrease", o + 4, 5, ErrorCode::Corruption, "PQ chunk offsets invalid"},
        {"offsets start late", o, 1, ErrorCode::Corruption, "PQ chunk offsets invalid"},
        {"offsets end short", o + 16, 7, ErrorCode::Corruption, "PQ chunk offsets invalid"},
        {"huge chunk count", h, 0xFFFFFFFFu, ErrorCode::Corruption, "PQ chunk offsets truncated"},
        {"count beyond the rows", 4, 11, ErrorCode::Corruption, "PQ codes truncated"},
        {"header metric", h + 8, static_cast<uint32_t>(MetricE::ip), ErrorCode::InvalidArgument,
         nullptr},
    };
    for (const Case& c : cases) {
        std::string bytes = MakeSmallStream(MetricE::l2, false).bytes;
        PutU32(bytes, c.offset, c.value);
        const auto reader = SectionOver(bytes);
        auto evaluator = LoadQuantizerEvaluator(reader, Res());
        ASSERT_NE(evaluator, nullptr) << c.name;
        const core::Status opened = evaluator->Open(reader);
        EXPECT_EQ(opened.Code(), c.code) << c.name;
        EXPECT_EQ(opened.Message(), c.message ? c.message : "build metric  mismatch") << c.name;
        auto trainer = MakePQ({"t", MetricE::l2, 4, false, false}, SmallStream::kDim);
        const core::Status restored = trainer->Deserialize(reader);
        EXPECT_EQ(restored.Code(), c.code) << c.name;
        EXPECT_EQ(restored.Message(), c.message ? c.message : "PQTrainer metric mismatch")
            << c.name;
        EXPECT_EQ(trainer->Count(), 0u) << c.name;
    }
    // Chunk offsets with an empty chunk are valid.
    std::string bytes = MakeSmallStream(MetricE::l2, false).bytes;
    for (uint32_t k = 0; k < 5; ++k)
        PutU32(bytes, SmallStream::kOffsetsAt + 4 * k, k < 3 ? k * 4 : 8);
    const auto reader = SectionOver(bytes);
    auto evaluator = LoadQuantizerEvaluator(reader, Res());
    EXPECT_TRUE(evaluator->Open(reader).IsOk());
}

TEST(PQEvaluatorTest, ScoringRefusals) {
    const std::string stream = MakeSmallStream(MetricE::ip, false).bytes;
    const auto reader = SectionOver(stream);
    auto evaluator = LoadQuantizerEvaluator(reader, Res());
    ASSERT_TRUE(evaluator->Open(reader).IsOk());
    const std::vector<float> shortQuery(SmallStream::kDim - 1, 1.0f);
    const auto refused = evaluator->PrepareQuery(shortQuery);
    ASSERT_FALSE(refused.IsOk());
    EXPECT_EQ(refused.GetStatus().Message(), "Query dimension mismatch");
    const auto prepared = evaluator->PrepareQuery(std::vector<float>(SmallStream::kDim, 1.0f));
    ASSERT_TRUE(prepared.IsOk());

    std::vector<uint8_t> code(8, 0);  // 4 codes, 0 padding, 4-byte factor
    float out = -7.0f;
    EXPECT_EQ(evaluator->EvalWithCode(*prepared.Value(), 0, std::span(code).first(7), out),
              ErrorCode::InvalidArgument);
    EXPECT_EQ(evaluator->EvalWithCode(*prepared.Value(), 10, code, out),
              ErrorCode::InvalidArgument);
    EXPECT_EQ(out, -7.0f);
    EXPECT_EQ(evaluator->EvalWithCode(*prepared.Value(), 9, code, out), ErrorCode::Ok);
    EXPECT_EQ(out, 0.0f);  // IP factor 0

    const std::vector<uint64_t> ids = {0, 10, 1};
    std::vector<float> scores(3, -7.0f);
    EXPECT_EQ(evaluator->BatchEval(*prepared.Value(), ids, scores), ErrorCode::InvalidArgument);
    EXPECT_NE(scores[0], -7.0f);
    EXPECT_EQ(scores[2], -7.0f);
}

TEST(PQEvaluatorTest, LoaderRefusesPqWithCosine) {
    std::string bytes = MakeSmallStream(MetricE::l2, false).bytes;
    PutU32(bytes, 16, static_cast<uint32_t>(MetricE::cosine));
    EXPECT_EQ(LoadQuantizerEvaluator(SectionOver(bytes), Res()), nullptr);
    EXPECT_EQ(testutil::ExerciseQuantizerStream(MakeSmallStream(MetricE::ip, true).bytes), "");
}

}  // namespace
}  // namespace orvane::quantizer
