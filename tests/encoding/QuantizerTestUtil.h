// Helpers of the quantizer tests: random vectors, trainers built from
// options, a writer that captures a stream, and access to stream fields.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <random>
#include <string>
#include <vector>

#include "encoding/QuantizerTrainerFactory.h"
#include "encoding/QuantizerWriter.h"

namespace orvane::quantizer::testutil {

inline std::vector<float> RandomVectors(uint64_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<float> data(n * dim);
    for (float& x : data) x = dist(rng) + 0.25f;
    return data;
}

inline std::unique_ptr<QuantizerTrainer> MakeTrainer(const std::string& encoding,
                                                     const std::string& metric, uint32_t dim) {
    api::QuantizerOptions options{{"index.dimension", int64_t{dim}},
                                  {"distance.metric", metric},
                                  {"encoding.type", encoding}};
    return CreateQuantizerTrainer(options, *std::pmr::new_delete_resource());
}

// A trainer that learned from `data` and encoded all of it.
inline std::unique_ptr<QuantizerTrainer> TrainedTrainer(const std::string& encoding,
                                                        const std::string& metric, uint32_t dim,
                                                        const std::vector<float>& data) {
    auto trainer = MakeTrainer(encoding, metric, dim);
    const uint64_t n = data.size() / dim;
    EXPECT_EQ(trainer->Pretrain(data, n, dim), core::ErrorCode::Ok);
    EXPECT_TRUE(trainer->Reserve(n).IsOk());
    EXPECT_EQ(trainer->EncodeBatch(data, n, dim), core::ErrorCode::Ok);
    return trainer;
}

// A writer appending to `out`; it fails (IoError) on call number `failAt`.
inline QuantizerWriter CaptureWriter(std::string& out, int failAt = -1) {
    auto calls = std::make_shared<int>(0);
    return [&out, failAt, calls](const char* bytes, uint64_t length) {
        if ((*calls)++ == failAt) return core::Status(core::ErrorCode::IoError, "injected");
        out.append(bytes, length);
        return core::Status::Ok();
    };
}

inline std::string SerializeToString(QuantizerTrainer& trainer) {
    std::string out;
    EXPECT_TRUE(trainer.Serialize(CaptureWriter(out)).IsOk());
    return out;
}

// Overwrites the uint32 at `offset` of a stream (meta fields: count at 4,
// dimension at 8, encoding at 12, metric at 16).
inline void PutU32(std::string& stream, uint64_t offset, uint32_t value) {
    std::memcpy(stream.data() + offset, &value, sizeof(value));
}

inline uint32_t GetU32(const std::string& stream, uint64_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, stream.data() + offset, sizeof(value));
    return value;
}

}  // namespace orvane::quantizer::testutil
