#include "encoding/QuantizerTrainerFactory.h"

#include <string>

#include "encoding/EncodingRegistry.h"
#include "telemetry/Logger.h"

namespace orvane::quantizer {

using dist::dimension_t;
using dist::MetricE;

namespace {

// What the options say, with the defaults of absent keys.
struct TrainerRequest {
    dimension_t dimension;
    MetricE metric;
    std::string encodingName;
    const EncodingDescriptor* encoding;  // null for a name not in the table
};

TrainerRequest ReadRequest(const api::QuantizerOptions& options) {
    TrainerRequest request;
    request.dimension = static_cast<dimension_t>(options.GetInt("index.dimension", 0));
    request.metric = dist::ParseMetric(options.GetString("distance.metric", "l2"));
    request.encodingName = options.GetString("encoding.type", "rawf32");
    request.encoding = FindEncoding(request.encodingName);
    return request;
}

std::string WhyNot(const TrainerRequest& request, const api::QuantizerOptions& options) {
    if (request.encoding == nullptr) {
        return "No quantizer trainer implementation for encoding [" + request.encodingName + "].";
    }
    if (request.encoding->whyNoTrainer == nullptr) return {};
    return request.encoding->whyNoTrainer(options, request.dimension, request.metric);
}

}  // namespace

std::string WhyNoQuantizerTrainer(const api::QuantizerOptions& options) {
    return WhyNot(ReadRequest(options), options);
}

std::unique_ptr<QuantizerTrainer> CreateQuantizerTrainer(const api::QuantizerOptions& options,
                                                         std::pmr::memory_resource& resource) {
    const TrainerRequest request = ReadRequest(options);
    const std::string why = WhyNot(request, options);
    if (!why.empty()) {
        // The cosine refusal is logged with its context, the others as they are.
        const bool cosine = request.metric == MetricE::cosine;
        ORVANE_LOG_ERROR("%s%s", cosine ? "Failed to create quantizer trainer: " : "", why.c_str());
        return nullptr;
    }
    return request.encoding->createTrainer(options, request.dimension, request.metric, resource);
}

}  // namespace orvane::quantizer
