#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <thread>

#include "distance/Metric.h"
#include "encoding/CustomizedSerializeQuantizerInterface.h"
#include "encoding/QuantizerStreamExercise.h"
#include "encoding/QuantizerTestUtil.h"
#include "encoding/rawf32/QuantizerEvaluatorRawF32.h"
#include "encoding/sq8/QuantizerEvaluatorSQ8.h"
#include "io/IoTestUtil.h"
#include "io/OutputStream.h"
#include "orvane/api/Options.h"
#include "testing/LogCapture.h"

namespace orvane::quantizer {
namespace {

using core::ErrorCode;
using dist::MetricE;
using dist::encode_space::EncodingE;
using telemetry::LogLevel;
using testing::LogCapture;
using testutil::PutU32;
using testutil::RandomVectors;
using testutil::SectionOver;
using testutil::SerializeToString;
using testutil::TrainedTrainer;

std::pmr::memory_resource& Resource() {
    return *std::pmr::new_delete_resource();
}

std::unique_ptr<QuantizerEvaluatorBase> OpenStream(const std::string& stream) {
    auto reader = SectionOver(stream);
    auto evaluator = LoadQuantizerEvaluator(reader, Resource());
    EXPECT_NE(evaluator, nullptr);
    if (evaluator != nullptr) {
        EXPECT_TRUE(evaluator->Open(reader).IsOk());
    }
    return evaluator;
}

std::string MetaOnly(uint32_t count, uint32_t dim, uint32_t encoding, uint32_t metric) {
    std::string meta(20, '\0');
    PutU32(meta, 4, count);
    PutU32(meta, 8, dim);
    PutU32(meta, 12, encoding);
    PutU32(meta, 16, metric);
    return meta;
}

struct LoaderCase {
    const char* name;
    std::string payload;
    bool created;
    const char* errorLog;
};

TEST(LoadQuantizerEvaluator, CreatesTheInstanceOfTheMetaOrRefuses) {
    const std::vector<LoaderCase> cases = {
        {"19 bytes", std::string(19, '\0'), false, "Quantizer payload too small for meta"},
        {"pq with cosine", MetaOnly(0, 4, 2, 2), false,
         "Unsupported encoding type [pq] and metric type [cosine]"},
        {"dummy encoding", MetaOnly(0, 4, 3, 0), false,
         "Unsupported encoding type [dummy] and metric type [l2]"},
        {"metric out of range", MetaOnly(0, 4, 1, 9), false,
         "Unsupported encoding type [sq8] and metric type [dummy]"},
        {"rawf32 l2", MetaOnly(0, 4, 0, 0), true, ""},
        {"rawf32 ip", MetaOnly(0, 4, 0, 1), true, ""},
        {"rawf32 cosine", MetaOnly(0, 4, 0, 2), true, ""},
        {"sq8 l2", MetaOnly(0, 4, 1, 0), true, ""},
        {"sq8 ip", MetaOnly(0, 4, 1, 1), true, ""},
        {"sq8 cosine", MetaOnly(7, 4, 1, 2), true, ""},
    };
    for (const LoaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture logs;
        auto evaluator = LoadQuantizerEvaluator(SectionOver(c.payload), Resource());
        ASSERT_EQ(evaluator != nullptr, c.created);
        if (!c.created) {
            EXPECT_TRUE(logs.Contains(LogLevel::Error, c.errorLog));
            continue;
        }
        QuantizerMeta meta;
        std::memcpy(&meta, c.payload.data(), sizeof(meta));
        EXPECT_EQ(evaluator->EncodingType(), meta.encodingType);
        EXPECT_EQ(evaluator->Metric(), meta.metricType);
        EXPECT_EQ(evaluator->Count(), meta.count);
        EXPECT_EQ(evaluator->Dimension(), 4u);
        EXPECT_EQ(evaluator->LowerIsBetter(), meta.metricType != MetricE::ip);
        EXPECT_FALSE(evaluator->IsLoaded());
    }
    LogCapture logs;
    EXPECT_EQ(LoadQuantizerEvaluator(nullptr, Resource()), nullptr);
    EXPECT_TRUE(logs.Contains(LogLevel::Error, "Null SectionReader"));
}

// Padding after a stream is not part of its payload.
TEST(LoadQuantizerEvaluator, PaddingDoesNotCountAsPayload) {
    LogCapture logs(LogCapture::Keep::kNothing);
    EXPECT_EQ(LoadQuantizerEvaluator(SectionOver(std::string(19, '\0'), 8), Resource()), nullptr);
    const std::string stream =
        SerializeToString(*TrainedTrainer("rawf32", "l2", 4, RandomVectors(2, 4, 1)));
    auto reader = SectionOver(stream.substr(0, stream.size() - 4), 4);
    auto evaluator = LoadQuantizerEvaluator(reader, Resource());
    ASSERT_NE(evaluator, nullptr);
    EXPECT_EQ(evaluator->Open(reader).Code(), ErrorCode::Corruption);
}

struct StateCase {
    const char* name;
    QuantizerMeta meta;
    bool rawf32;  // which instance reads the meta
    ErrorCode code;
    const char* message;
};

TEST(QuantizerEvaluator, OpenAndLoadCheckTheMetaFirst) {
    auto meta = [](EncodingE encoding, uint32_t dim) {
        QuantizerMeta m;
        m.count = 0;
        m.dimension = dim;
        m.encodingType = encoding;
        m.metricType = MetricE::l2;
        return m;
    };
    const std::vector<StateCase> cases = {
        {"sq8 meta in rawf32 evaluator", meta(EncodingE::sq8, 4), true, ErrorCode::InvalidArgument,
         "Encoding type mismatch for rawf32 evaluator"},
        {"rawf32 meta in sq8 evaluator", meta(EncodingE::rawf32, 4), false,
         ErrorCode::InvalidArgument, "Encoding type mismatch for sq8 evaluator"},
        {"rawf32 of dimension 0", meta(EncodingE::rawf32, 0), true, ErrorCode::InvalidArgument,
         "Quantizer dimension is zero"},
        {"sq8 of dimension 0", meta(EncodingE::sq8, 0), false, ErrorCode::InvalidArgument,
         "Quantizer dimension is zero"},
    };
    const std::string stream(4096, '\0');
    for (const StateCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<QuantizerEvaluatorBase> evaluator;
        if (c.rawf32) {
            evaluator = std::make_unique<QuantizerEvaluator<MetricE::l2, EncodingE::rawf32>>(
                Resource(), c.meta);
        } else {
            evaluator = std::make_unique<QuantizerEvaluator<MetricE::l2, EncodingE::sq8>>(
                Resource(), c.meta);
        }
        for (bool open : {true, false}) {
            auto reader = SectionOver(stream);
            const core::Status status = open ? evaluator->Open(reader) : evaluator->Load(reader);
            EXPECT_EQ(status.Code(), c.code);
            EXPECT_EQ(status.Message(), c.message);
            EXPECT_FALSE(evaluator->IsLoaded());
        }
    }
}

// The message a stream cut to `length` bytes must fail with, by part.
struct Region {
    uint64_t end;  // the part occupies bytes before this offset
    const char* message;
};

const char* ExpectedTruncation(const std::vector<Region>& regions, uint64_t length) {
    for (const Region& r : regions) {
        if (length < r.end) return r.message;
    }
    return nullptr;
}

// Every truncation point of every stream fails Open (and Load where the
// model is cut) with the message of the part it cuts, and leaves the
// evaluator unloaded.
TEST(QuantizerEvaluator, EveryTruncationIsCorruption) {
    constexpr uint32_t kDim = 5;
    constexpr uint64_t kCount = 3;
    const auto data = RandomVectors(kCount, kDim, 2);
    struct StreamCase {
        const char* encoding;
        std::vector<Region> loadRegions;  // Load reads only these
        std::vector<Region> openRegions;
    };
    const uint64_t sq8Header = 24, sq8Centroid = sq8Header + 4 * kDim,
                   sq8Headers = sq8Centroid + 24 * kCount, sq8Codes = sq8Headers + kCount * kDim;
    const std::vector<StreamCase> cases = {
        {"rawf32", {}, {{20 + kCount * kDim * 4, "Quantizer data size mismatch"}}},
        {"sq8",
         {{sq8Header, "SQ8 header truncated"},
          {sq8Centroid, "SQ8 centroid truncated"},
          {sq8Headers, "SQ8 headers truncated"}},
         {{sq8Header, "SQ8 header truncated"},
          {sq8Centroid, "SQ8 centroid truncated"},
          {sq8Headers, "SQ8 headers truncated"},
          {sq8Codes, "SQ8 codes truncated"}}},
    };
    for (const StreamCase& c : cases) {
        for (const char* metric : {"l2", "inner_product", "cosine"}) {
            const std::string stream =
                SerializeToString(*TrainedTrainer(c.encoding, metric, kDim, data));
            for (uint64_t length = 20; length <= stream.size(); ++length) {
                SCOPED_TRACE(std::string(c.encoding) + " " + metric + " cut at " +
                             std::to_string(length));
                auto reader = SectionOver(stream.substr(0, length));
                auto evaluator = LoadQuantizerEvaluator(reader, Resource());
                ASSERT_NE(evaluator, nullptr);
                const char* loadError = ExpectedTruncation(c.loadRegions, length);
                const core::Status loaded = evaluator->Load(reader);
                EXPECT_EQ(loaded.IsOk(), loadError == nullptr) << loaded.Message();
                if (loadError != nullptr) {
                    EXPECT_EQ(loaded.Code(), ErrorCode::Corruption);
                    EXPECT_EQ(loaded.Message(), loadError);
                    EXPECT_FALSE(evaluator->IsLoaded());
                }
                const char* openError = ExpectedTruncation(c.openRegions, length);
                const core::Status opened = evaluator->Open(reader);
                EXPECT_EQ(opened.IsOk(), openError == nullptr) << opened.Message();
                EXPECT_EQ(evaluator->IsOpened(), openError == nullptr);
                if (openError != nullptr) {
                    EXPECT_EQ(opened.Code(), ErrorCode::Corruption);
                    EXPECT_EQ(opened.Message(), openError);
                }
                EXPECT_EQ(testutil::ExerciseQuantizerStream(stream.substr(0, length)), "");
            }
        }
    }
}

// Every reader of every encoding survives every truncation of a pq stream.
TEST(QuantizerEvaluator, EveryReaderSurvivesEveryPQTruncation) {
    constexpr uint32_t kDim = 8;
    const auto data = RandomVectors(6, kDim, 12);
    for (const char* metric : {"l2", "inner_product"}) {
        api::QuantizerOptions options{{"index.dimension", int64_t{kDim}},
                                      {"distance.metric", std::string(metric)},
                                      {"encoding.type", std::string("pq")},
                                      {"encoding.pq.m", int64_t{3}}};
        auto trainer = CreateQuantizerTrainer(options, Resource());
        ASSERT_NE(trainer, nullptr);
        ASSERT_EQ(trainer->Pretrain(data, 6, kDim), ErrorCode::Ok);
        ASSERT_TRUE(trainer->Reserve(6).IsOk());
        ASSERT_EQ(trainer->EncodeBatch(data, 6, kDim), ErrorCode::Ok);
        const std::string stream = SerializeToString(*trainer);
        LogCapture logs(LogCapture::Keep::kNothing);
        for (uint64_t length = 0; length <= stream.size(); ++length) {
            ASSERT_EQ(testutil::ExerciseQuantizerStream(stream.substr(0, length)), "")
                << metric << " cut at " << length;
        }
    }
}

// Forged meta counts and dimensions are refused before anything of their
// size is allocated.
TEST(QuantizerEvaluator, ForgedSizesAreCorruption) {
    const auto data = RandomVectors(3, 4, 3);
    const std::string raw = SerializeToString(*TrainedTrainer("rawf32", "l2", 4, data));
    const std::string sq8 = SerializeToString(*TrainedTrainer("sq8", "l2", 4, data));
    struct ForgeCase {
        const char* name;
        std::string base;
        uint64_t offset;
        uint32_t value;
        const char* message;
    };
    const std::vector<ForgeCase> cases = {
        {"rawf32 huge count", raw, 4, 0xFFFFFFFFu, "Quantizer data size mismatch"},
        {"rawf32 huge count and dimension", raw, 8, 0xFFFFFFFFu, "Quantizer data size overflow"},
        {"sq8 huge count", sq8, 4, 0xFFFFFFFFu, "SQ8 headers truncated"},
        {"sq8 huge dimension", sq8, 8, 0xFFFFFFFFu, "SQ8 centroid truncated"},
        {"sq8 one more vector", sq8, 4, 4, "SQ8 headers truncated"},
    };
    for (const ForgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string stream = c.base;
        PutU32(stream, c.offset, c.value);
        if (std::string(c.name) == "rawf32 huge count and dimension")
            PutU32(stream, 4, 0xFFFFFFFFu);
        auto reader = SectionOver(stream);
        auto evaluator = LoadQuantizerEvaluator(reader, Resource());
        ASSERT_NE(evaluator, nullptr);
        const core::Status status = evaluator->Open(reader);
        EXPECT_EQ(status.Code(), ErrorCode::Corruption);
        EXPECT_EQ(status.Message(), c.message);
        EXPECT_EQ(testutil::ExerciseQuantizerStream(stream), "");
    }
}

// A stream must be of the one known version and exactly as long as it
// describes; the evaluators and the trainers (checkpoint resume) refuse others.
TEST(QuantizerEvaluator, UnknownVersionAndTrailingBytesAreCorruption) {
    constexpr uint32_t kDim = 8;
    const auto data = RandomVectors(300, kDim, 4);
    struct EditCase {
        const char* name;
        std::function<void(std::string&)> edit;
        const char* message;
    };
    const EditCase edits[] = {
        {"version 1", [](std::string& s) { PutU32(s, 0, 1); }, "Unknown quantizer stream version"},
        {"version 0xFFFFFFFF", [](std::string& s) { PutU32(s, 0, ~0u); },
         "Unknown quantizer stream version"},
        {"one trailing byte", [](std::string& s) { s.push_back('\0'); },
         "Quantizer stream has trailing bytes"},
        {"a trailing row", [](std::string& s) { s.append(kDim * 4, '\1'); },
         "Quantizer stream has trailing bytes"},
    };
    for (const char* encoding : {"rawf32", "sq8", "pq"}) {
        api::QuantizerOptions options{{"index.dimension", int64_t{kDim}},
                                      {"distance.metric", std::string("l2")},
                                      {"encoding.type", std::string(encoding)},
                                      {"encoding.pq.m", int64_t{2}}};
        auto trained = CreateQuantizerTrainer(options, Resource());
        ASSERT_NE(trained, nullptr);
        ASSERT_EQ(trained->Pretrain(data, 300, kDim), ErrorCode::Ok);
        ASSERT_TRUE(trained->Reserve(300).IsOk());
        ASSERT_EQ(trained->EncodeBatch(data, 300, kDim), ErrorCode::Ok);
        const std::string good = SerializeToString(*trained);
        ASSERT_NE(OpenStream(good), nullptr);
        LogCapture logs(LogCapture::Keep::kNothing);
        for (const EditCase& c : edits) {
            SCOPED_TRACE(std::string(encoding) + " " + c.name);
            std::string stream = good;
            c.edit(stream);
            auto reader = SectionOver(stream);
            auto evaluator = LoadQuantizerEvaluator(reader, Resource());
            ASSERT_NE(evaluator, nullptr);
            const core::Status opened = evaluator->Open(reader);
            EXPECT_EQ(opened.Code(), ErrorCode::Corruption);
            EXPECT_EQ(opened.Message(), c.message);
            auto fresh = CreateQuantizerTrainer(options, Resource());
            const core::Status restored = fresh->Deserialize(reader);
            EXPECT_EQ(restored.Code(), ErrorCode::Corruption);
            EXPECT_EQ(restored.Message(), c.message);
            EXPECT_EQ(testutil::ExerciseQuantizerStream(stream), "");
        }
    }
}

// Scores through the evaluators equal the encode spaces' scores of the rows
// that the trainer wrote, and rawf32 equals the exact metric.
TEST(QuantizerEvaluator, ScoresMatchTheTrainedRows) {
    constexpr uint32_t kDim = 37;
    constexpr uint64_t kCount = 50;
    const auto data = RandomVectors(kCount, kDim, 4);
    const auto queries = RandomVectors(3, kDim, 5);
    for (const char* encoding : {"rawf32", "sq8"}) {
        for (const char* metric : {"l2", "inner_product", "cosine"}) {
            SCOPED_TRACE(std::string(encoding) + " " + metric);
            auto trainer = TrainedTrainer(encoding, metric, kDim, data);
            auto* custom = dynamic_cast<CustomizedSerializeQuantizerInterface*>(trainer.get());
            auto evaluator = OpenStream(SerializeToString(*trainer));
            ASSERT_NE(evaluator, nullptr);
            std::vector<uint64_t> ids(kCount);
            for (uint64_t i = 0; i < kCount; ++i) ids[i] = kCount - 1 - i;
            for (uint64_t q = 0; q < 3; ++q) {
                std::span<const float> query(queries.data() + q * kDim, kDim);
                auto prepared = evaluator->PrepareQuery(query);
                ASSERT_TRUE(prepared.IsOk());
                std::vector<float> out(kCount);
                ASSERT_EQ(evaluator->BatchEval(*prepared.Value(), ids, out), ErrorCode::Ok);
                for (uint64_t i = 0; i < kCount; ++i) {
                    const uint64_t id = ids[i];
                    std::string code;
                    ASSERT_TRUE(custom->SerializeEncode(id, testutil::CaptureWriter(code)).IsOk());
                    float single = 0.0f;
                    ASSERT_EQ(
                        evaluator->EvalWithCode(
                            *prepared.Value(), id,
                            std::span(reinterpret_cast<const uint8_t*>(code.data()), code.size()),
                            single),
                        ErrorCode::Ok);
                    EXPECT_EQ(out[i], single);
                    const std::span<const float> row(data.data() + id * kDim, kDim);
                    float exact = 0.0f;
                    switch (trainer->Metric()) {
                        case MetricE::l2:
                            exact = TagInvoke(dist::EvalTag{}, dist::MetricT<MetricE::l2>{}, query,
                                              row);
                            break;
                        case MetricE::ip:
                            exact = TagInvoke(dist::EvalTag{}, dist::MetricT<MetricE::ip>{}, query,
                                              row);
                            break;
                        default:
                            exact = TagInvoke(dist::EvalTag{}, dist::MetricT<MetricE::cosine>{},
                                              query, row);
                    }
                    if (std::string(encoding) == "rawf32") {
                        EXPECT_EQ(out[i], exact);
                    } else {
                        // sq8 keeps 8 bits per component of the residual: the error
                        // is a small fraction of the scale of the score.
                        const float qq =
                            TagInvoke(dist::EvalTag{}, dist::MetricT<MetricE::ip>{}, query, query);
                        const float xx =
                            TagInvoke(dist::EvalTag{}, dist::MetricT<MetricE::ip>{}, row, row);
                        const float scale = trainer->Metric() == MetricE::cosine ? 1.0f
                                            : trainer->Metric() == MetricE::ip ? std::sqrt(qq * xx)
                                                                               : exact;
                        EXPECT_NEAR(out[i], exact, 0.01f * scale);
                    }
                }
            }
        }
    }
}

TEST(QuantizerEvaluator, ScoringRefusesBadArguments) {
    constexpr uint32_t kDim = 8;
    const auto data = RandomVectors(4, kDim, 6);
    const std::vector<float> query(kDim, 0.1f);
    for (const char* encoding : {"rawf32", "sq8"}) {
        SCOPED_TRACE(encoding);
        const std::string stream = SerializeToString(*TrainedTrainer(encoding, "l2", kDim, data));
        auto reader = SectionOver(stream);
        auto evaluator = LoadQuantizerEvaluator(reader, Resource());
        ASSERT_NE(evaluator, nullptr);
        // Nothing can be scored before a load.
        EXPECT_EQ(evaluator->PrepareQuery(query).GetStatus().Code(), ErrorCode::FailedPrecondition);
        ASSERT_TRUE(evaluator->Load(reader).IsOk());
        auto prepared = evaluator->PrepareQuery(query);
        ASSERT_TRUE(prepared.IsOk());
        std::vector<float> out(3, -1.0f);
        const std::vector<uint64_t> ids = {0, 4, 1};
        // Load only: BatchEval and RangeEval have no stored codes to read.
        EXPECT_EQ(evaluator->BatchEval(*prepared.Value(), ids, out), ErrorCode::FailedPrecondition);
        EXPECT_EQ(evaluator->RangeEval(*prepared.Value(), 0, out), ErrorCode::FailedPrecondition);
        ASSERT_TRUE(evaluator->Open(reader).IsOk());

        // Queries of another length are refused.
        for (size_t length : {kDim - 1, kDim + 1}) {
            const std::vector<float> wrong(length, 0.1f);
            auto refused = evaluator->PrepareQuery(wrong);
            ASSERT_FALSE(refused.IsOk());
            EXPECT_EQ(refused.GetStatus().Code(), ErrorCode::InvalidArgument);
            EXPECT_EQ(refused.GetStatus().Message(), "Query dimension mismatch");
        }

        // ids {0, count, 1}: out[0] is written, then the batch stops.
        EXPECT_EQ(evaluator->BatchEval(*prepared.Value(), ids, out), ErrorCode::InvalidArgument);
        EXPECT_NE(out[0], -1.0f);
        EXPECT_EQ(out[1], -1.0f);
        EXPECT_EQ(out[2], -1.0f);
        std::vector<float> shorter(2);
        EXPECT_EQ(evaluator->BatchEval(*prepared.Value(), ids, shorter),
                  ErrorCode::InvalidArgument);
        EXPECT_EQ(evaluator->BatchEval(*prepared.Value(), {}, {}), ErrorCode::Ok);
        // Ranges must end within the rows; an empty one may start at the end.
        EXPECT_EQ(evaluator->RangeEval(*prepared.Value(), 2, out), ErrorCode::InvalidArgument);
        EXPECT_EQ(evaluator->RangeEval(*prepared.Value(), ~uint64_t{0}, shorter),
                  ErrorCode::InvalidArgument);
        EXPECT_EQ(evaluator->RangeEval(*prepared.Value(), 4, {}), ErrorCode::Ok);
        EXPECT_EQ(evaluator->RangeEval(*prepared.Value(), 5, {}), ErrorCode::InvalidArgument);

        const uint64_t rowBytes = std::string(encoding) == "rawf32" ? kDim * 4 : kDim;
        const std::vector<uint8_t> code(rowBytes + 1, 0);
        float score = -1.0f;
        const auto exact = std::span(code).first(rowBytes);
        EXPECT_EQ(evaluator->EvalWithCode(*prepared.Value(), 0, exact.first(rowBytes - 1), score),
                  ErrorCode::InvalidArgument);
        EXPECT_EQ(evaluator->EvalWithCode(*prepared.Value(), 0, code, score),
                  ErrorCode::InvalidArgument);
        EXPECT_EQ(evaluator->EvalWithCode(*prepared.Value(), 4, exact, score),
                  ErrorCode::InvalidArgument);
        EXPECT_EQ(score, -1.0f);
        EXPECT_EQ(evaluator->EvalWithCode(*prepared.Value(), 3, exact, score), ErrorCode::Ok);
    }
}

// A stream through a real index file: written by an output stream and read
// back through the input stream's section reader.
TEST(QuantizerEvaluator, StreamThroughAnIndexFile) {
    const auto data = RandomVectors(6, 12, 7);
    auto trainer = TrainedTrainer("sq8", "l2", 12, data);
    auto file = std::make_shared<std::string>();
    {
        io::OutputStream out(std::make_unique<io::testutil::StringWriter>(file));
        ASSERT_TRUE(out.Init({}).IsOk());
        ASSERT_TRUE(trainer
                        ->Serialize([&out](const char* bytes, uint64_t length) {
                            return out.Write(bytes, length);
                        })
                        .IsOk());
        ASSERT_TRUE(out.SealSection("quantizer", 4096).IsOk());
        ASSERT_TRUE(out.Close().IsOk());
    }
    io::InputStream in(std::make_unique<io::MemoryFileReader>(*file));
    ASSERT_TRUE(in.Open(orvane::api::IOOptions{{"io.verify_crc", true}}).IsOk());
    auto section = in.GetSectionReader("quantizer");
    ASSERT_TRUE(section.IsOk());
    auto evaluator = LoadQuantizerEvaluator(section.Value(), Resource());
    ASSERT_NE(evaluator, nullptr);
    ASSERT_TRUE(evaluator->Open(section.Value()).IsOk());
    EXPECT_EQ(evaluator->Count(), 6u);
    auto restored = testutil::MakeTrainer("sq8", "l2", 12);
    ASSERT_TRUE(restored->Deserialize(section.Value()).IsOk());
    EXPECT_EQ(SerializeToString(*restored), SerializeToString(*trainer));
}

// Many threads score one opened evaluator, each with its own prepared query.
TEST(QuantizerEvaluator, ConcurrentBatchEvalStress) {
    constexpr uint32_t kDim = 24;
    constexpr uint64_t kCount = 200;
    const auto data = RandomVectors(kCount, kDim, 8);
    const auto queries = RandomVectors(8, kDim, 9);
    for (const char* encoding : {"rawf32", "sq8"}) {
        SCOPED_TRACE(encoding);
        auto evaluator =
            OpenStream(SerializeToString(*TrainedTrainer(encoding, "cosine", kDim, data)));
        ASSERT_NE(evaluator, nullptr);
        std::vector<uint64_t> ids(kCount);
        for (uint64_t i = 0; i < kCount; ++i) ids[i] = i;
        std::vector<std::vector<float>> expected(8, std::vector<float>(kCount));
        for (int q = 0; q < 8; ++q) {
            auto prepared = evaluator->PrepareQuery(std::span(queries).subspan(q * kDim, kDim));
            ASSERT_EQ(evaluator->BatchEval(*prepared.Value(), ids, expected[q]), ErrorCode::Ok);
        }
        std::vector<std::thread> threads;
        std::vector<int> mismatches(8, 0);
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 50; ++round) {
                    auto prepared =
                        evaluator->PrepareQuery(std::span(queries).subspan(t * kDim, kDim));
                    std::vector<float> out(kCount);
                    if (!prepared.IsOk() ||
                        evaluator->BatchEval(*prepared.Value(), ids, out) != ErrorCode::Ok ||
                        out != expected[t]) {
                        ++mismatches[t];
                    }
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(mismatches, std::vector<int>(8, 0));
    }
}

}  // namespace
}  // namespace orvane::quantizer
