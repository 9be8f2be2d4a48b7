// Drives every reader of a quantizer stream over an arbitrary payload and
// checks what must hold whatever the bytes are: the evaluator loader, Open,
// Load, query preparation and scoring, and Deserialize into a fresh trainer of
// each encoding. A successful load must have found every part it needs inside
// the payload, scoring must stay within the loaded arrays, and a restored
// trainer must serialize back to a stream of the expected size. Shared by the
// damaged-stream tests and the fuzz target (no test framework here).
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <vector>

#include "distance/encode_space/SQ8/SQ8Types.h"
#include "impl/quantizer/QuantizerEvaluatorLoader.h"
#include "impl/quantizer/QuantizerTrainerFactory.h"
#include "io/InputStream.h"
#include "io/MemoryFileReader.h"

namespace orvane::quantizer::testutil {

// A section reader over `payload`, followed by `padding` bytes of padding.
inline std::shared_ptr<io::InputStream::SectionReader> SectionOver(const std::string& payload,
                                                                   uint64_t padding = 0) {
    std::string image = payload + std::string(padding, '\0');
    const uint64_t size = image.size();
    return std::make_shared<io::InputStream::SectionReader>(
        0, size, padding, 0, std::make_shared<io::MemoryFileReader>(std::move(image)));
}

// Size of the rawf32 or sq8 stream a meta describes (sq8 with its centroid).
inline uint64_t ExpectedStreamSize(const QuantizerMeta& meta) {
    const uint64_t n = meta.count;
    const uint64_t d = meta.dimension;
    switch (meta.encodingType) {
        case dist::encode_space::EncodingE::rawf32:
            return kQuantizerMetaSize + n * d * sizeof(float);
        case dist::encode_space::EncodingE::sq8:
            return kQuantizerMetaSize + sizeof(dist::encode_space::SQ8GlobalHeader) +
                   d * sizeof(float) + n * sizeof(dist::encode_space::SQ8VectorHeader) + n * d;
        default:
            return 0;
    }
}

// Scores every stored vector and one supplied code; returns a violation or "".
inline std::string ExerciseScoring(const QuantizerEvaluatorBase& evaluator, bool opened) {
    std::vector<float> query(evaluator.Dimension(), 0.5f);
    auto prepared = evaluator.PrepareQuery(query);
    if (!prepared.IsOk()) return "PrepareQuery failed on a loaded evaluator";
    const uint64_t n = std::min<uint64_t>(evaluator.Count(), 64);
    std::vector<uint64_t> ids;
    for (uint64_t i = 0; i < n; ++i) ids.push_back(i);
    ids.push_back(evaluator.Count());  // one past the end must be refused
    std::vector<float> out(ids.size(), -1.0f);
    const core::ErrorCode batch = evaluator.BatchEval(*prepared.Value(), ids, out);
    if (batch !=
        (opened ? core::ErrorCode::InvalidArgument : core::ErrorCode::FailedPrecondition)) {
        return "BatchEval did not refuse the id past the end";
    }
    if (evaluator.Count() > 0) {
        const uint64_t rowBytes = evaluator.EncodingType() == dist::encode_space::EncodingE::rawf32
                                      ? uint64_t{evaluator.Dimension()} * sizeof(float)
                                      : evaluator.Dimension();
        std::vector<uint8_t> code(rowBytes, 0);
        float score = 0.0f;
        if (evaluator.EncodingType() != dist::encode_space::EncodingE::pq &&
            evaluator.EvalWithCode(*prepared.Value(), 0, code, score) != core::ErrorCode::Ok) {
            return "EvalWithCode refused a code of the row size";
        }
    }
    return "";
}

// Returns "" when every invariant held, else what broke.
inline std::string ExerciseQuantizerStream(const std::string& payload) {
    std::pmr::memory_resource& resource = *std::pmr::new_delete_resource();
    auto reader = SectionOver(payload);
    for (bool open : {true, false}) {
        auto evaluator = LoadQuantizerEvaluator(reader, resource);
        if (evaluator == nullptr) continue;
        const core::Status status = open ? evaluator->Open(reader) : evaluator->Load(reader);
        if (!status.IsOk()) {
            if (evaluator->IsLoaded()) return "a failed load left the evaluator loaded";
            continue;
        }
        const uint64_t expected = ExpectedStreamSize(evaluator->Meta());
        if (open && expected > payload.size()) return "opened a stream larger than its payload";
        if (evaluator->Dimension() <= 4096) {
            std::string violation = ExerciseScoring(*evaluator, open);
            if (!violation.empty()) return violation;
        }
    }
    for (const char* encoding : {"rawf32", "sq8"}) {
        api::QuantizerOptions options{{"index.dimension", int64_t{8}},
                                      {"encoding.type", std::string(encoding)}};
        auto trainer = CreateQuantizerTrainer(options, resource);
        if (trainer == nullptr) return "the factory refused a plain trainer";
        if (!trainer->Deserialize(reader).IsOk()) {
            if (trainer->Count() != 0 || trainer->Dimension() != 8) {
                return "a failed Deserialize changed the trainer";
            }
            continue;
        }
        QuantizerMeta meta;
        meta.count = static_cast<uint32_t>(trainer->Count());
        meta.dimension = trainer->Dimension();
        meta.encodingType = trainer->EncodingType();
        uint64_t written = 0;
        const core::Status st = trainer->Serialize([&written](const char*, uint64_t length) {
            written += length;
            return core::Status::Ok();
        });
        if (!st.IsOk() || written != ExpectedStreamSize(meta) || written > payload.size()) {
            return "a restored trainer wrote a stream of another size";
        }
    }
    return "";
}

}  // namespace orvane::quantizer::testutil
