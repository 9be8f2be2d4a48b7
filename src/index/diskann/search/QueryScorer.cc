#include "index/diskann/search/QueryScorer.h"

#include "index/diskann/search/EncoderSectionLoader.h"
#include "encoding/QuantizerEvaluatorLoader.h"
#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;

bool QueryScorer::SetMetric(dist::MetricE metric, uint32_t dimension) {
    _dimension = dimension;
    return _calculator.Set(metric);
}

Status QueryScorer::LoadEncoder(io::InputStream& stream, const DiskANNIndexMeta& meta,
                                std::pmr::memory_resource& resource) {
    auto reader = EncoderStreamReader(stream, meta);
    if (reader.IsOk()) {
        auto evaluator = quantizer::LoadQuantizerEvaluator(reader.Value(), resource);
        if (evaluator != nullptr) {
            const Status opened = evaluator->Open(reader.Value());
            if (!opened.IsOk()) {
                ORVANE_LOG_STATUS_WARN(opened, "Get quantizer failed");
                return opened;
            }
            if (evaluator->Count() != meta.count) {
                ORVANE_LOG_ERROR("Quantizer count [%lu] does not match [%u]",
                                 static_cast<unsigned long>(evaluator->Count()), meta.count);
                return Status(ErrorCode::Corruption, "Quantizer count does not match");
            }
            _quantizerEvaluator = std::move(evaluator);
            return Status::Ok();
        }
    }
    ORVANE_LOG_ERROR("Get quantizer failed");
    return reader.IsOk() ? Status(ErrorCode::Corruption, "Get quantizer failed")
                         : reader.TakeStatus();
}

Status QueryScorer::LoadDiskEncoder(io::InputStream& stream, uint32_t count,
                                    std::pmr::memory_resource& resource) {
    auto reader = stream.GetSectionReader(kDiskEncoderSection);
    if (!reader.IsOk()) {
        ORVANE_LOG_ERROR("get disk quantizer failed");
        return reader.TakeStatus();
    }
    auto evaluator = quantizer::LoadQuantizerEvaluator(reader.Value(), resource);
    if (evaluator == nullptr) {
        ORVANE_LOG_ERROR("Disk quantizer evaluator is null");
        return Status(ErrorCode::Corruption, "Disk quantizer evaluator is null");
    }
    const Status loaded = evaluator->Load(reader.Value());
    if (!loaded.IsOk()) {
        ORVANE_LOG_ERROR("get disk quantizer failed");
        return loaded;
    }
    if (evaluator->Count() != count) {
        ORVANE_LOG_ERROR("Quantizer count [%lu] does not match [%u]",
                         static_cast<unsigned long>(evaluator->Count()), count);
        return Status(ErrorCode::InvalidArgument, "Quantizer count does not match");
    }
    _diskQuantizerEvaluator = std::move(evaluator);
    return Status::Ok();
}

Status QueryScorer::Prepare(std::span<const float> query, DiskANNContext& ctx) const {
    // The context keeps the prepared queries of its previous search, so that
    // preparing this one reuses their storage.
    if (Status st = _quantizerEvaluator->PrepareQueryInto(query, ctx._preparedQuery); !st.IsOk()) {
        ORVANE_LOG_ERROR("Prepare query failed");
        return st;
    }
    if (_diskQuantizerEvaluator != nullptr) {
        if (Status st =
                _diskQuantizerEvaluator->PrepareQueryInto(query, ctx._preparedQueryForDiskQuantizer);
            !st.IsOk()) {
            ORVANE_LOG_ERROR("Prepare query for disk quantizer failed");
            return st;
        }
    }
    return Status::Ok();
}

Status QueryScorer::Encoded(std::span<const uint64_t> ids, std::span<float> out,
                            const DiskANNContext& ctx) const {
    const ErrorCode code = _quantizerEvaluator->BatchEval(*ctx._preparedQuery, ids, out);
    if (code != ErrorCode::Ok) return Status(code, "expand node failed");
    if (!_quantizerEvaluator->LowerIsBetter()) {
        for (float& value : out) value = -value;
    }
    return Status::Ok();
}

Status QueryScorer::Exact(const float* query, uint32_t id, const GraphNode& node,
                          const DiskANNContext& ctx, float& distance) const {
    if (_diskQuantizerEvaluator != nullptr) {
        const ErrorCode code = _diskQuantizerEvaluator->EvalWithCode(
            *ctx._preparedQueryForDiskQuantizer, id, node.embedding, distance);
        if (code != ErrorCode::Ok) {
            return Status(code,
                          "expand node failed when calculating distance using disk quantizer");
        }
        if (!_diskQuantizerEvaluator->LowerIsBetter()) distance = -distance;
        return Status::Ok();
    }
    // Records lie at multiples of 4 bytes in the holder, so the raw floats are
    // aligned.
    const auto* vector = reinterpret_cast<const float*>(node.embedding.data());
    distance = _calculator.Distance(std::span<const float>(query, _dimension),
                                    std::span<const float>(vector, _dimension));
    return Status::Ok();
}

}  // namespace orvane::index::diskann
