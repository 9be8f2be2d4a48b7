#include "encoding/pq/PQEncoding.h"

#include "encoding/pq/PQTrainer.h"
#include "encoding/pq/QuantizerEvaluatorPQ.h"
#include "schema/SchemaTables.h"

namespace orvane::quantizer {
namespace {

using dist::MetricE;
using dist::encode_space::EncodingE;
using dist::encode_space::PQT;

std::string WhyNoTrainer(const api::QuantizerOptions& options, dist::dimension_t dimension,
                         MetricE metric) {
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

std::unique_ptr<QuantizerTrainer> CreateTrainer(const api::QuantizerOptions& options,
                                                dist::dimension_t dimension, MetricE metric,
                                                std::pmr::memory_resource& resource) {
    return std::make_unique<PQTrainer>(dimension, metric, resource, options);
}

}  // namespace

constexpr EncodingDescriptor kPQEncoding{
    .name = PQT::Name,
    .encoding = EncodingE::pq,
    .quantizerOptions = schema::kPqQuantizerSchema,
    .whyNoTrainer = &WhyNoTrainer,
    .createTrainer = &CreateTrainer,
    .createEvaluator = &CreateEvaluatorFor<EncodingE::pq, MetricE::l2, MetricE::ip>,
};

}  // namespace orvane::quantizer
