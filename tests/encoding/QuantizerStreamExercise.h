// Drives every reader of a quantizer stream over an arbitrary payload and
// checks what must hold whatever the bytes are: the evaluator loader, Open,
// Load, query preparation and scoring, and Deserialize into a fresh trainer of
// each encoding. A successful load must have found every part it needs inside
// the payload (and an Open or Deserialize exactly the payload, of the known
// version), scoring must stay within the loaded arrays, and a restored
// trainer must serialize back to a stream of the expected size. Shared by the
// damaged-stream tests and the fuzz target (no test framework here).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string>
#include <vector>

#include "encoding/QuantizerEvaluatorLoader.h"
#include "encoding/QuantizerTrainerFactory.h"
#include "encoding/pq/PQGlobalHeader.h"
#include "encoding/sq8/SQ8Types.h"
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

// The pq header of a stream (zeros when the stream is too short for one).
inline dist::encode_space::PQGlobalHeader PQHeaderOf(const std::string& stream) {
    dist::encode_space::PQGlobalHeader header{};
    if (stream.size() >= kQuantizerMetaSize + sizeof(header)) {
        std::memcpy(&header, stream.data() + kQuantizerMetaSize, sizeof(header));
    }
    return header;
}

// Bytes of one stored row of the stream `meta` describes.
inline uint64_t RowBytes(const QuantizerMeta& meta, const std::string& stream) {
    switch (meta.encodingType) {
        case dist::encode_space::EncodingE::rawf32:
            return uint64_t{meta.dimension} * sizeof(float);
        case dist::encode_space::EncodingE::sq8:
            return meta.dimension;
        default:
            return dist::encode_space::PQRowSize(PQHeaderOf(stream).numChunks, meta.metricType);
    }
}

// Size of the whole stream a meta (and, for pq, the header in `stream`)
// describes; an sq8 stream with its centroid.
inline uint64_t ExpectedStreamSize(const QuantizerMeta& meta, const std::string& stream) {
    const uint64_t n = meta.count;
    const uint64_t d = meta.dimension;
    switch (meta.encodingType) {
        case dist::encode_space::EncodingE::rawf32:
            return kQuantizerMetaSize + n * RowBytes(meta, stream);
        case dist::encode_space::EncodingE::sq8:
            return kQuantizerMetaSize + sizeof(dist::encode_space::SQ8GlobalHeader) +
                   d * sizeof(float) + n * sizeof(dist::encode_space::SQ8VectorHeader) +
                   n * RowBytes(meta, stream);
        case dist::encode_space::EncodingE::pq: {
            const dist::encode_space::PQGlobalHeader header = PQHeaderOf(stream);
            return kQuantizerMetaSize + sizeof(header) +
                   (uint64_t{header.numChunks} + 1) * sizeof(uint32_t) +
                   uint64_t{header.ks} * d * sizeof(float) +
                   (header.UsesOpq() ? d * d * sizeof(float) : 0) + n * RowBytes(meta, stream);
        }
        default:
            return 0;
    }
}

// Scores every stored vector and one supplied code; returns a violation or "".
inline std::string ExerciseScoring(const QuantizerEvaluatorBase& evaluator, bool opened,
                                   const std::string& stream) {
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
        std::vector<uint8_t> code(RowBytes(evaluator.Meta(), stream), 0);
        float score = 0.0f;
        if (evaluator.EvalWithCode(*prepared.Value(), 0, code, score) != core::ErrorCode::Ok) {
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
        const uint64_t expected = ExpectedStreamSize(evaluator->Meta(), payload);
        if (open && expected != payload.size()) return "opened a stream of another length";
        if (evaluator->Meta().version != kQuantizerStreamVersion) {
            return "loaded a stream of an unknown version";
        }
        if (evaluator->Dimension() <= 4096) {
            std::string violation = ExerciseScoring(*evaluator, open, payload);
            if (!violation.empty()) return violation;
        }
    }
    for (const char* encoding : {"rawf32", "sq8", "pq"}) {
        api::QuantizerOptions options{{"index.dimension", int64_t{8}},
                                      {"encoding.type", std::string(encoding)},
                                      {"encoding.pq.m", int64_t{2}}};
        auto trainer = CreateQuantizerTrainer(options, resource);
        if (trainer == nullptr) return "the factory refused a valid trainer";
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
        meta.metricType = trainer->Metric();
        std::string written;
        const core::Status st = trainer->Serialize([&written](const char* bytes, uint64_t length) {
            written.append(bytes, length);
            return core::Status::Ok();
        });
        if (!st.IsOk() || written.size() != ExpectedStreamSize(meta, written) ||
            written.size() != payload.size() || payload.compare(0, 4, written, 0, 4) != 0) {
            return "a restored trainer wrote a stream of another size";
        }
    }
    return "";
}

}  // namespace orvane::quantizer::testutil
