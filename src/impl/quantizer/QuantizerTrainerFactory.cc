#include "impl/quantizer/QuantizerTrainerFactory.h"

#include <string>

#include "impl/quantizer/PQTrainer.h"
#include "impl/quantizer/Rawf32Trainer.h"
#include "impl/quantizer/SQ8Trainer.h"
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

std::unique_ptr<QuantizerTrainer> CreateQuantizerTrainer(const api::QuantizerOptions& options,
                                                         std::pmr::memory_resource& resource) {
    const auto dimension = static_cast<dimension_t>(options.GetInt("index.dimension", 0));
    const MetricE metric = MetricFromOption(options.GetString("distance.metric", "l2"));
    const std::string encoding = options.GetString("encoding.type", "rawf32");
    if (encoding == "rawf32") return std::make_unique<Rawf32Trainer>(dimension, metric, resource);
    if (encoding == "sq8") return std::make_unique<SQ8Trainer>(dimension, metric, resource);
    if (encoding == "pq") {
        // No evaluator scores pq codes under cosine: an index of that pair
        // would build but could never be opened.
        if (metric == MetricE::cosine) {
            ORVANE_LOG_ERROR(
                "Failed to create quantizer trainer: the cosine metric is not supported with pq "
                "encoding; use sq8 or rawf32, or normalise the vectors and use inner_product");
            return nullptr;
        }
        const auto numChunks = static_cast<int32_t>(options.GetInt("encoding.pq.m", 8));
        if (numChunks <= 0 || static_cast<uint32_t>(numChunks) > dimension) {
            ORVANE_LOG_ERROR(
                "Invalid numChunks [%d] for PQ encoding, must be > 0 and <= dimension [%d].",
                numChunks, static_cast<int32_t>(dimension));
            return nullptr;
        }
        return std::make_unique<PQTrainer>(dimension, metric, resource, options);
    }
    ORVANE_LOG_ERROR("No quantizer trainer implementation for encoding [%s].", encoding.c_str());
    return nullptr;
}

}  // namespace orvane::quantizer
