#include "encoding/QuantizerEvaluatorLoader.h"

#include <span>

#include "encoding/pq/QuantizerEvaluatorPQ.h"
#include "encoding/rawf32/QuantizerEvaluatorRawF32.h"
#include "encoding/sq8/QuantizerEvaluatorSQ8.h"
#include "telemetry/Logger.h"

namespace orvane::quantizer {

using dist::MetricE;
using dist::encode_space::EncodingE;

namespace {

template <EncodingE E>
std::unique_ptr<QuantizerEvaluatorBase> CreateForMetric(std::pmr::memory_resource& resource,
                                                        const QuantizerMeta& meta) {
    switch (meta.metricType) {
        case MetricE::l2:
            return std::make_unique<QuantizerEvaluator<MetricE::l2, E>>(resource, meta);
        case MetricE::ip:
            return std::make_unique<QuantizerEvaluator<MetricE::ip, E>>(resource, meta);
        case MetricE::cosine:
            return std::make_unique<QuantizerEvaluator<MetricE::cosine, E>>(resource, meta);
        case MetricE::dummy:
            break;
    }
    return nullptr;
}

// The instance for the meta's pair, null for a pair without an evaluator.
std::unique_ptr<QuantizerEvaluatorBase> CreateEvaluator(std::pmr::memory_resource& resource,
                                                        const QuantizerMeta& meta) {
    switch (meta.encodingType) {
        case EncodingE::rawf32:
            return CreateForMetric<EncodingE::rawf32>(resource, meta);
        case EncodingE::sq8:
            return CreateForMetric<EncodingE::sq8>(resource, meta);
        case EncodingE::pq:
            // pq scores l2 and inner product only.
            if (meta.metricType == MetricE::l2) {
                return std::make_unique<QuantizerEvaluator<MetricE::l2, EncodingE::pq>>(resource,
                                                                                        meta);
            }
            if (meta.metricType == MetricE::ip) {
                return std::make_unique<QuantizerEvaluator<MetricE::ip, EncodingE::pq>>(resource,
                                                                                        meta);
            }
            break;
        case EncodingE::dummy:
            break;
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<QuantizerEvaluatorBase> LoadQuantizerEvaluator(
    const std::shared_ptr<io::InputStream::SectionReader>& reader,
    std::pmr::memory_resource& resource) {
    if (reader == nullptr) {
        ORVANE_LOG_ERROR("Null SectionReader");
        return nullptr;
    }
    if (reader->SectionPayloadSize() < kQuantizerMetaSize) {
        ORVANE_LOG_ERROR("Quantizer payload too small for meta");
        return nullptr;
    }
    QuantizerMeta meta;
    const core::Status status = reader->Read(
        0, sizeof(meta), std::span<char>(reinterpret_cast<char*>(&meta), sizeof(meta)));
    if (!status.IsOk()) {
        ORVANE_LOG_ERROR("Read QuantizerMeta failed.");
        return nullptr;
    }
    auto evaluator = CreateEvaluator(resource, meta);
    if (evaluator == nullptr) {
        ORVANE_LOG_ERROR("Unsupported encoding type [%s] and metric type [%s]",
                         dist::encode_space::EncodingName(meta.encodingType),
                         dist::MetricName(meta.metricType));
    }
    return evaluator;
}

}  // namespace orvane::quantizer
