#include <gtest/gtest.h>

#include <limits>

#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/QuantizerStreamExercise.h"
#include "encoding/QuantizerTestUtil.h"
#include "encoding/rawf32/Rawf32Trainer.h"
#include "encoding/sq8/SQ8Trainer.h"
#include "testing/LogCapture.h"

namespace orvane::quantizer {
namespace {

using core::ErrorCode;
using dist::MetricE;
using dist::encode_space::EncodingE;
using telemetry::LogLevel;
using testing::LogCapture;
using testutil::CaptureWriter;
using testutil::MakeTrainer;
using testutil::RandomVectors;
using testutil::SectionOver;
using testutil::SerializeToString;
using testutil::TrainedTrainer;

struct FactoryCase {
    const char* name;
    api::QuantizerOptions options;
    bool created;
    EncodingE encoding;
    MetricE metric;
    uint32_t dimension;
    const char* errorLog;  // expected Error record when not created
};

TEST(QuantizerTrainerFactory, PicksTrainerOrRefusesWithReason) {
    const std::string cosineRefusal =
        "Failed to create quantizer trainer: the cosine metric is not supported with pq encoding; "
        "use sq8 or rawf32, or normalise the vectors and use inner_product";
    const std::vector<FactoryCase> cases = {
        {"defaults", {}, true, EncodingE::rawf32, MetricE::l2, 0, ""},
        {"sq8 ip",
         {{"index.dimension", int64_t{16}},
          {"distance.metric", std::string("inner_product")},
          {"encoding.type", std::string("sq8")}},
         true,
         EncodingE::sq8,
         MetricE::ip,
         16,
         ""},
        {"rawf32 cosine",
         {{"index.dimension", int64_t{3}}, {"distance.metric", std::string("cosine")}},
         true,
         EncodingE::rawf32,
         MetricE::cosine,
         3,
         ""},
        {"unknown metric is dummy",
         {{"index.dimension", int64_t{3}}, {"distance.metric", std::string("hamming")}},
         true,
         EncodingE::rawf32,
         MetricE::dummy,
         3,
         ""},
        {"dimension of another type takes the default",
         {{"index.dimension", std::string("12")}, {"encoding.type", std::string("sq8")}},
         true,
         EncodingE::sq8,
         MetricE::l2,
         0,
         ""},
        {"unknown encoding",
         {{"encoding.type", std::string("fp16")}},
         false,
         EncodingE::dummy,
         MetricE::l2,
         0,
         "No quantizer trainer implementation for encoding [fp16]."},
        {"pq with zero chunks",
         {{"index.dimension", int64_t{16}},
          {"encoding.type", std::string("pq")},
          {"encoding.pq.m", int64_t{0}}},
         false,
         EncodingE::pq,
         MetricE::l2,
         16,
         "Invalid numChunks [0] for PQ encoding, must be > 0 and <= dimension [16]."},
        {"pq with more chunks than components",
         {{"index.dimension", int64_t{16}},
          {"encoding.type", std::string("pq")},
          {"encoding.pq.m", int64_t{17}}},
         false,
         EncodingE::pq,
         MetricE::l2,
         16,
         "Invalid numChunks [17] for PQ encoding, must be > 0 and <= dimension [16]."},
        {"pq default of 8 chunks above the dimension",
         {{"index.dimension", int64_t{6}}, {"encoding.type", std::string("pq")}},
         false,
         EncodingE::pq,
         MetricE::l2,
         6,
         "Invalid numChunks [8] for PQ encoding, must be > 0 and <= dimension [6]."},
        {"pq with cosine",
         {{"index.dimension", int64_t{16}},
          {"distance.metric", std::string("cosine")},
          {"encoding.type", std::string("pq")},
          {"encoding.pq.m", int64_t{4}}},
         false,
         EncodingE::pq,
         MetricE::cosine,
         16,
         cosineRefusal.c_str()},
    };
    for (const FactoryCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture logs;
        auto trainer = CreateQuantizerTrainer(c.options, *std::pmr::new_delete_resource());
        ASSERT_EQ(trainer != nullptr, c.created);
        if (!c.created) {
            EXPECT_TRUE(logs.Contains(LogLevel::Error, c.errorLog));
            continue;
        }
        EXPECT_EQ(trainer->EncodingType(), c.encoding);
        EXPECT_EQ(trainer->Metric(), c.metric);
        EXPECT_EQ(trainer->Dimension(), c.dimension);
        EXPECT_EQ(trainer->IsTrainable(), c.encoding != EncodingE::rawf32);
        EXPECT_EQ(trainer->Count(), 0u);
    }
}

// Both plain trainers keep encoding within the reserved count.
TEST(QuantizerTrainer, EncodingStaysWithinTheReservation) {
    constexpr uint32_t kDim = 6;
    const auto data = RandomVectors(5, kDim, 1);
    for (const char* encoding : {"rawf32", "sq8"}) {
        SCOPED_TRACE(encoding);
        auto trainer = MakeTrainer(encoding, "l2", kDim);
        ASSERT_EQ(trainer->Pretrain(data, 5, kDim), ErrorCode::Ok);
        LogCapture logs;
        // Nothing reserved yet.
        EXPECT_EQ(trainer->EncodeBatch(data, 1, kDim), ErrorCode::InvalidArgument);
        ASSERT_TRUE(trainer->Reserve(4).IsOk());
        EXPECT_EQ(trainer->ReservedCount(), 4u);
        EXPECT_EQ(trainer->EncodeBatch(data, 1, kDim), ErrorCode::Ok);
        // Exactly the remainder fits; one more vector does not.
        EXPECT_EQ(trainer->EncodeBatch(std::span(data).subspan(kDim), 3, kDim), ErrorCode::Ok);
        EXPECT_EQ(trainer->Count(), 4u);
        const std::string before = SerializeToString(*trainer);
        EXPECT_EQ(trainer->EncodeBatch(data, 1, kDim), ErrorCode::InvalidArgument);
        EXPECT_TRUE(logs.Contains(
            LogLevel::Error,
            "QuantizerTrainer::EncodeBatch: appendCount is larger than reserveCount"));
        EXPECT_EQ(trainer->Count(), 4u);
        EXPECT_EQ(SerializeToString(*trainer), before);
    }
}

struct BadEncodeCase {
    const char* name;
    uint64_t floats;  // length of the data span
    uint64_t n;
    uint32_t dim;
};

TEST(QuantizerTrainer, BadEncodeArgumentsChangeNothing) {
    constexpr uint32_t kDim = 4;
    const std::vector<BadEncodeCase> cases = {
        {"data shorter than n rows", 2 * kDim - 1, 2, kDim},
        {"wrong dimension", 3 * kDim, 2, kDim + 1},
        {"zero dimension", 8, 2, 0},
    };
    const auto data = RandomVectors(4, kDim, 2);
    for (const char* encoding : {"rawf32", "sq8"}) {
        auto trainer = TrainedTrainer(encoding, "l2", kDim, data);
        ASSERT_TRUE(trainer->Reserve(100).IsOk());
        const std::string before = SerializeToString(*trainer);
        LogCapture logs(LogCapture::Keep::kNothing);
        for (const BadEncodeCase& c : cases) {
            SCOPED_TRACE(std::string(encoding) + ": " + c.name);
            const std::vector<float> input(c.floats, 1.0f);
            EXPECT_EQ(trainer->EncodeBatch(input, c.n, c.dim), ErrorCode::InvalidArgument);
            EXPECT_EQ(trainer->Count(), 4u);
            EXPECT_EQ(SerializeToString(*trainer), before);
        }
    }
}

TEST(QuantizerTrainer, ReserveOverflowIsRefused) {
    for (const char* encoding : {"rawf32", "sq8"}) {
        SCOPED_TRACE(encoding);
        auto trainer = TrainedTrainer(encoding, "l2", 4, RandomVectors(2, 4, 3));
        for (uint64_t n : {std::numeric_limits<uint64_t>::max(), uint64_t{1} << 62}) {
            const core::Status status = trainer->Reserve(n);
            EXPECT_EQ(status.Code(), ErrorCode::Corruption);
            EXPECT_EQ(status.Message(), "Quantizer reserve size overflow");
        }
        EXPECT_EQ(trainer->ReservedCount(), 2u);
    }
}

TEST(Rawf32Trainer, PretrainChecksTheDimensionOnly) {
    auto trainer = MakeTrainer("rawf32", "l2", 4);
    LogCapture logs;
    EXPECT_EQ(trainer->Pretrain({}, 0, 4), ErrorCode::Ok);
    EXPECT_EQ(trainer->Pretrain({}, 0, 5), ErrorCode::InvalidArgument);
    EXPECT_TRUE(logs.Contains(LogLevel::Error, "Rawf32 dimension mismatch [5] vs [4]"));
    EXPECT_EQ(trainer->GetEncodedNodeSize(), 16u);
}

TEST(SQ8Trainer, PretrainRefusesBadInput) {
    auto trainer = MakeTrainer("sq8", "l2", 3);
    const std::vector<float> data = {1, 2, 3, 4, 5, 6};
    // No vectors: the mean would divide by zero.
    EXPECT_EQ(trainer->Pretrain(data, 0, 3), ErrorCode::InvalidArgument);
    EXPECT_EQ(trainer->Pretrain(data, 2, 2), ErrorCode::InvalidArgument);
    EXPECT_EQ(trainer->Pretrain(data, 3, 3), ErrorCode::InvalidArgument);  // data too short
    EXPECT_TRUE(static_cast<SQ8Trainer&>(*trainer).Model().centroid.empty());
    ASSERT_EQ(trainer->Pretrain(data, 2, 3), ErrorCode::Ok);
    EXPECT_EQ(static_cast<SQ8Trainer&>(*trainer).Model().centroid,
              (std::vector<float>{2.5f, 3.5f, 4.5f}));
}

TEST(SQ8Trainer, NeverPretrainedRefusesReserveAndEncoding) {
    auto trainer = MakeTrainer("sq8", "l2", 3);
    const core::Status status = trainer->Reserve(2);
    EXPECT_EQ(status.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(status.Message(), "Reserve must be called after Pretrain");
    LogCapture logs(LogCapture::Keep::kNothing);
    const std::vector<float> data(6, 1.0f);
    EXPECT_NE(trainer->EncodeBatch(data, 2, 3), ErrorCode::Ok);
    EXPECT_EQ(trainer->Count(), 0u);
}

TEST(SQ8Trainer, RepeatedPretrainReplacesCentroidAndDropsCodes) {
    const auto data = RandomVectors(4, 5, 4);
    auto trainer = TrainedTrainer("sq8", "l2", 5, data);
    auto& sq8 = static_cast<SQ8Trainer&>(*trainer);
    ASSERT_EQ(sq8.Count(), 4u);
    const std::vector<float> other(5, 7.0f);
    ASSERT_EQ(sq8.Pretrain(other, 1, 5), ErrorCode::Ok);
    EXPECT_EQ(sq8.Model().centroid, other);
    EXPECT_EQ(sq8.Count(), 0u);
    EXPECT_TRUE(sq8.Headers().empty());
    EXPECT_TRUE(sq8.Codes().empty());
}

// 3 vectors of dimension 4: rawf32 is 20 + 48 bytes, sq8 20 + 4 + 16 + 72 + 12.
TEST(QuantizerTrainer, StreamSizesAndMeta) {
    const auto data = RandomVectors(3, 4, 5);
    struct SizeCase {
        const char* encoding;
        const char* metric;
        uint64_t size;
        uint32_t encodingValue;
        uint32_t metricValue;
    };
    for (const SizeCase& c :
         {SizeCase{"rawf32", "l2", 68, 0, 0}, SizeCase{"sq8", "inner_product", 124, 1, 1},
          SizeCase{"sq8", "cosine", 124, 1, 2}}) {
        SCOPED_TRACE(c.encoding);
        auto trainer = TrainedTrainer(c.encoding, c.metric, 4, data);
        const std::string stream = SerializeToString(*trainer);
        ASSERT_EQ(stream.size(), c.size);
        EXPECT_EQ(testutil::GetU32(stream, 0), 0u);
        EXPECT_EQ(testutil::GetU32(stream, 4), 3u);
        EXPECT_EQ(testutil::GetU32(stream, 8), 4u);
        EXPECT_EQ(testutil::GetU32(stream, 12), c.encodingValue);
        EXPECT_EQ(testutil::GetU32(stream, 16), c.metricValue);
    }
    // A never-pretrained sq8 trainer writes no centroid.
    auto untrained = MakeTrainer("sq8", "l2", 4);
    EXPECT_EQ(SerializeToString(*untrained).size(), 24u);
}

// Info plus every SerializeEncode gives the codes that Serialize writes.
TEST(QuantizerTrainer, CustomizedSerializationMatchesTheStream) {
    const auto data = RandomVectors(3, 5, 6);
    for (const char* encoding : {"rawf32", "sq8"}) {
        SCOPED_TRACE(encoding);
        auto trainer = TrainedTrainer(encoding, "l2", 5, data);
        auto* custom = dynamic_cast<CustomizedSerializeQuantizerInterface*>(trainer.get());
        ASSERT_NE(custom, nullptr);
        std::string info;
        ASSERT_TRUE(custom->SerializeQuantizerInfo(CaptureWriter(info)).IsOk());
        std::string codes;
        for (uint64_t id = 0; id < 3; ++id) {
            std::string row;
            ASSERT_TRUE(custom->SerializeEncode(id, CaptureWriter(row)).IsOk());
            EXPECT_EQ(row.size(), trainer->GetEncodedNodeSize());
            codes += row;
        }
        EXPECT_EQ(info + codes, SerializeToString(*trainer));
        std::string none;
        const core::Status status = custom->SerializeEncode(3, CaptureWriter(none));
        EXPECT_EQ(status.Code(), ErrorCode::FailedPrecondition);
        EXPECT_TRUE(none.empty());
    }
}

// The first failing write ends serialization with its status.
TEST(QuantizerTrainer, FailedWriteIsReturnedAtOnce) {
    const auto data = RandomVectors(3, 4, 7);
    for (const char* encoding : {"rawf32", "sq8"}) {
        auto trainer = TrainedTrainer(encoding, "l2", 4, data);
        // Writes: meta, then (sq8) header, centroid, headers, codes; (rawf32) rows.
        const int writes = std::string(encoding) == "sq8" ? 5 : 2;
        for (int failAt = 0; failAt < writes; ++failAt) {
            SCOPED_TRACE(std::string(encoding) + " write " + std::to_string(failAt));
            std::string out;
            int calls = 0;
            const core::Status status = trainer->Serialize([&](const char* bytes, uint64_t length) {
                if (calls++ == failAt) return core::Status(ErrorCode::IoError, "disk full");
                out.append(bytes, length);
                return core::Status::Ok();
            });
            EXPECT_EQ(status.Code(), ErrorCode::IoError);
            EXPECT_EQ(calls, failAt + 1);
        }
    }
}

struct RoundTripCase {
    const char* encoding;
    const char* metric;
    uint64_t n;
    uint32_t dim;
};

// Deserialize into a fresh trainer restores the same model and codes, and
// encoding can continue after a new reservation.
TEST(QuantizerTrainer, DeserializeRestoresModelAndCodes) {
    const std::vector<RoundTripCase> cases = {
        {"rawf32", "l2", 7, 5},         {"rawf32", "cosine", 1, 33}, {"sq8", "l2", 9, 17},
        {"sq8", "inner_product", 4, 8}, {"sq8", "cosine", 1, 1},     {"sq8", "l2", 0, 3},
    };
    for (const RoundTripCase& c : cases) {
        SCOPED_TRACE(std::string(c.encoding) + " " + c.metric + " n=" + std::to_string(c.n));
        auto data = RandomVectors(c.n + 2, c.dim, 8);
        std::vector<float> head(data.begin(), data.begin() + c.n * c.dim);
        auto trainer = MakeTrainer(c.encoding, c.metric, c.dim);
        ASSERT_EQ(trainer->Pretrain(data, c.n + 2, c.dim), ErrorCode::Ok);
        ASSERT_TRUE(trainer->Reserve(c.n).IsOk());
        if (c.n > 0) {
            ASSERT_EQ(trainer->EncodeBatch(head, c.n, c.dim), ErrorCode::Ok);
        }
        const std::string stream = SerializeToString(*trainer);

        // The fresh trainer starts with another dimension and metric.
        auto restored = MakeTrainer(c.encoding, "l2", c.dim + 3);
        ASSERT_TRUE(restored->Deserialize(SectionOver(stream)).IsOk());
        EXPECT_EQ(restored->Count(), c.n);
        EXPECT_EQ(restored->Dimension(), c.dim);
        EXPECT_EQ(restored->Metric(), trainer->Metric());
        EXPECT_EQ(SerializeToString(*restored), stream);

        // Without a new reservation the restored count leaves no room.
        LogCapture logs(LogCapture::Keep::kNothing);
        std::span<const float> tail = std::span(data).subspan(c.n * c.dim);
        EXPECT_EQ(restored->EncodeBatch(tail, 2, c.dim), ErrorCode::InvalidArgument);
        ASSERT_TRUE(restored->Reserve(c.n + 2).IsOk());
        ASSERT_EQ(restored->EncodeBatch(tail, 2, c.dim), ErrorCode::Ok);
        ASSERT_TRUE(trainer->Reserve(c.n + 2).IsOk());
        ASSERT_EQ(trainer->EncodeBatch(tail, 2, c.dim), ErrorCode::Ok);
        EXPECT_EQ(SerializeToString(*restored), SerializeToString(*trainer));
    }
}

TEST(QuantizerTrainer, DeserializeRefusalsLeaveTheTrainerUnchanged) {
    const auto data = RandomVectors(3, 4, 9);
    const std::string rawStream = SerializeToString(*TrainedTrainer("rawf32", "l2", 4, data));
    const std::string sq8Stream =
        SerializeToString(*TrainedTrainer("sq8", "inner_product", 4, data));
    std::string zeroDim = rawStream;
    testutil::PutU32(zeroDim, 8, 0);
    std::string sq8ZeroDim = sq8Stream;
    testutil::PutU32(sq8ZeroDim, 8, 0);

    struct RefusalCase {
        const char* name;
        const char* encoding;
        bool dirty;  // pretrained before Deserialize
        std::string stream;
        ErrorCode code;
        const char* message;
    };
    const std::vector<RefusalCase> cases = {
        {"sq8 stream into rawf32", "rawf32", false, sq8Stream, ErrorCode::InvalidArgument,
         "Quantizer encoding type mismatch"},
        {"rawf32 stream into sq8", "sq8", false, rawStream, ErrorCode::InvalidArgument,
         "Quantizer encoding type mismatch"},
        {"sq8 trainer already pretrained", "sq8", true, sq8Stream, ErrorCode::Internal,
         "SQ8Trainer should deserialize from a clean state."},
        {"rawf32 of dimension 0", "rawf32", false, zeroDim, ErrorCode::Corruption,
         "Rawf32 dimension is zero"},
        {"sq8 of dimension 0", "sq8", false, sq8ZeroDim, ErrorCode::Corruption,
         "SQ8 dimension is zero"},
        {"rawf32 one byte short", "rawf32", false, rawStream.substr(0, rawStream.size() - 1),
         ErrorCode::Corruption, "Quantizer data size mismatch"},
        {"sq8 one byte short", "sq8", false, sq8Stream.substr(0, sq8Stream.size() - 1),
         ErrorCode::Corruption, "SQ8 codes truncated"},
        {"meta truncated", "sq8", false, sq8Stream.substr(0, 19), ErrorCode::InvalidArgument,
         nullptr},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto trainer = MakeTrainer(c.encoding, "cosine", 6);
        const std::vector<float> sample(6, 1.0f);
        if (c.dirty) {
            ASSERT_EQ(trainer->Pretrain(sample, 1, 6), ErrorCode::Ok);
        }
        // Serializing clears the sq8 dirty flag, so a dirty trainer is compared after.
        const std::string before = c.dirty ? std::string() : SerializeToString(*trainer);
        const core::Status status = trainer->Deserialize(SectionOver(c.stream));
        EXPECT_EQ(status.Code(), c.code);
        if (c.message != nullptr) {
            EXPECT_EQ(status.Message(), c.message);
        }
        EXPECT_EQ(trainer->Dimension(), 6u);
        EXPECT_EQ(trainer->Metric(), MetricE::cosine);
        EXPECT_EQ(trainer->Count(), 0u);
        if (c.dirty) {
            EXPECT_EQ(static_cast<SQ8Trainer&>(*trainer).Model().centroid, sample);
        } else {
            EXPECT_EQ(SerializeToString(*trainer), before);
        }
    }
}

// A trainer that does not implement DoDeserialize refuses to deserialize.
class NoDeserializeTrainer : public QuantizerTrainer {
  public:
    NoDeserializeTrainer()
        : QuantizerTrainer(4, EncodingE::rawf32, MetricE::l2, *std::pmr::new_delete_resource()) {}
    ErrorCode Pretrain(std::span<const float>, uint64_t, dist::dimension_t) override {
        return ErrorCode::Ok;
    }
    uint64_t GetEncodedNodeSize() const override { return 0; }

  protected:
    core::Status DoSerialize(const QuantizerWriter&) override { return core::Status::Ok(); }
    ErrorCode DoEncodeBatch(std::span<const float>, uint64_t, dist::dimension_t) override {
        return ErrorCode::Ok;
    }
    core::Status DoReserve(uint64_t) override { return core::Status::Ok(); }
};

TEST(QuantizerTrainer, DeserializeWithoutImplementationIsNotSupported) {
    NoDeserializeTrainer trainer;
    const std::string stream =
        SerializeToString(*TrainedTrainer("rawf32", "l2", 8, RandomVectors(2, 8, 1)));
    const core::Status status = trainer.Deserialize(SectionOver(stream));
    EXPECT_EQ(status.Code(), ErrorCode::NotSupported);
    EXPECT_EQ(status.Message(), "lack of DoDeserialize implementation");
    EXPECT_EQ(trainer.Count(), 0u);
    EXPECT_EQ(trainer.Dimension(), 4u);
}

}  // namespace
}  // namespace orvane::quantizer
