#include "encoding/QuantizerEvaluatorLoader.h"

#include <span>

#include "encoding/EncodingRegistry.h"
#include "telemetry/Logger.h"

namespace orvane::quantizer {

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
    const EncodingDescriptor* encoding = FindEncoding(meta.encodingType);
    auto evaluator = encoding != nullptr ? encoding->createEvaluator(resource, meta) : nullptr;
    if (evaluator == nullptr) {
        ORVANE_LOG_ERROR("Unsupported encoding type [%s] and metric type [%s]",
                         dist::encode_space::EncodingName(meta.encodingType),
                         dist::MetricName(meta.metricType));
    }
    return evaluator;
}

}  // namespace orvane::quantizer
