// Shared by the quantizer benchmarks: trains a quantizer from options, encodes
// a base set, writes its stream and opens an evaluator over it, timing each step.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <memory_resource>
#include <string>

#include "FashionMnist.h"
#include "encoding/QuantizerEvaluatorLoader.h"
#include "encoding/QuantizerTrainerFactory.h"
#include "io/MemoryFileReader.h"

namespace orvane::bench {

struct EncodedBase {
    std::shared_ptr<io::InputStream::SectionReader> section;
    std::unique_ptr<quantizer::QuantizerEvaluatorBase> evaluator;
    double trainSeconds = 0;
    double encodeSeconds = 0;
    uint64_t streamBytes = 0;
};

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Trains on the first `trainRows` rows of `base`, encodes all of it and opens
// the evaluator of the stream. The evaluator is null on any failure (reported
// on stderr).
inline EncodedBase EncodeBase(const api::QuantizerOptions& options, const ImageSet& base,
                              uint64_t trainRows) {
    EncodedBase out;
    auto& resource = *std::pmr::new_delete_resource();
    auto trainer = quantizer::CreateQuantizerTrainer(options, resource);
    if (trainer == nullptr) {
        std::fprintf(stderr, "trainer creation failed for %s\n", options.DebugString().c_str());
        return out;
    }
    trainRows = std::min(trainRows, base.rows);
    auto start = std::chrono::steady_clock::now();
    if (trainer->Pretrain(base.pixels, trainRows, base.dim) != core::ErrorCode::Ok) {
        std::fprintf(stderr, "Pretrain failed for %s\n", options.DebugString().c_str());
        return out;
    }
    out.trainSeconds = SecondsSince(start);
    start = std::chrono::steady_clock::now();
    if (!trainer->Reserve(base.rows).IsOk() ||
        trainer->EncodeBatch(base.pixels, base.rows, base.dim) != core::ErrorCode::Ok) {
        std::fprintf(stderr, "encoding failed for %s\n", options.DebugString().c_str());
        return out;
    }
    out.encodeSeconds = SecondsSince(start);
    std::string stream;
    const core::Status written = trainer->Serialize([&stream](const char* bytes, uint64_t n) {
        stream.append(bytes, n);
        return core::Status::Ok();
    });
    if (!written.IsOk()) return out;
    out.streamBytes = stream.size();
    const uint64_t size = stream.size();
    out.section = std::make_shared<io::InputStream::SectionReader>(
        0, size, 0, 0, std::make_shared<io::MemoryFileReader>(std::move(stream)));
    auto evaluator = quantizer::LoadQuantizerEvaluator(out.section, resource);
    if (evaluator == nullptr || !evaluator->Open(out.section).IsOk()) {
        std::fprintf(stderr, "evaluator open failed for %s\n", options.DebugString().c_str());
        return out;
    }
    out.evaluator = std::move(evaluator);
    return out;
}

}  // namespace orvane::bench
