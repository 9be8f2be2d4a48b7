#include "encoding/QuantizerTrainerFactory.h"

#include <string>

#include "encoding/pq/PQTrainer.h"
#include "encoding/rawf32/Rawf32Trainer.h"
#include "encoding/sq8/SQ8Trainer.h"
#include "telemetry/Logger.h"

namespace orvane::quantizer {

using dist::dimension_t;
using dist::MetricE;

namespace {

MetricE MetricFromOption(const std::string& name) {
    if (name == "l2") return MetricE::l2;
    if (name == "inner_product") return MetricE::ip;
    if (name == "cosine") return MetricE::cosine;
    return MetricE::dummy;
}

}  // namespace

std::string WhyNoQuantizerTrainer(const api::QuantizerOptions& options) {
    const auto dimension = static_cast<dimension_t>(options.GetInt("index.dimension", 0));
    const MetricE metric = MetricFromOption(options.GetString("distance.metric", "l2"));
    const std::string encoding = options.GetString("encoding.type", "rawf32");
    if (encoding == "rawf32" || encoding == "sq8") return {};
    if (encoding != "pq")
        return "No quantizer trainer implementation for encoding [" + encoding + "].";
    // No evaluator scores pq codes under cosine: an index of that pair would
    // build but could never be opened.
    if (metric == MetricE::cosine) {
        return "the cosine metric is not supported with pq encoding; use sq8 or rawf32, or "
               "normalise the vectors and use inner_product";
    }
    const int64_t numChunks = options.GetInt("encoding.pq.m", 8);
    if (numChunks <= 0 || numChunks > int64_t{dimension}) {
        return "Invalid numChunks [" + std::to_string(numChunks) +
               "] for PQ encoding, must be > 0 and <= dimension [" + std::to_string(dimension) +
               "].";
    }
    return {};
}

std::unique_ptr<QuantizerTrainer> CreateQuantizerTrainer(const api::QuantizerOptions& options,
                                                         std::pmr::memory_resource& resource) {
    const std::string why = WhyNoQuantizerTrainer(options);
    if (!why.empty()) {
        // The cosine refusal is logged with its context, the others as they are.
        const bool cosine =
            MetricFromOption(options.GetString("distance.metric", "l2")) == MetricE::cosine;
        ORVANE_LOG_ERROR("%s%s", cosine ? "Failed to create quantizer trainer: " : "", why.c_str());
        return nullptr;
    }
    const auto dimension = static_cast<dimension_t>(options.GetInt("index.dimension", 0));
    const MetricE metric = MetricFromOption(options.GetString("distance.metric", "l2"));
    const std::string encoding = options.GetString("encoding.type", "rawf32");
    if (encoding == "rawf32") return std::make_unique<Rawf32Trainer>(dimension, metric, resource);
    if (encoding == "sq8") return std::make_unique<SQ8Trainer>(dimension, metric, resource);
    return std::make_unique<PQTrainer>(dimension, metric, resource, options);
}

}  // namespace orvane::quantizer
