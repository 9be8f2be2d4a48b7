#include "encoding/sq8/SQ8Encoding.h"

#include "encoding/sq8/QuantizerEvaluatorSQ8.h"
#include "encoding/sq8/SQ8Trainer.h"

namespace orvane::quantizer {
namespace {

using dist::MetricE;
using dist::encode_space::EncodingE;
using dist::encode_space::SQ8T;

std::unique_ptr<QuantizerTrainer> CreateTrainer(const api::QuantizerOptions&,
                                                dist::dimension_t dimension, MetricE metric,
                                                std::pmr::memory_resource& resource) {
    return std::make_unique<SQ8Trainer>(dimension, metric, resource);
}

}  // namespace

constexpr EncodingDescriptor kSQ8Encoding{
    .name = SQ8T::Name,
    .encoding = EncodingE::sq8,
    .quantizerOptions = {},
    .whyNoTrainer = nullptr,
    .createTrainer = &CreateTrainer,
    .createEvaluator =
        &CreateEvaluatorFor<EncodingE::sq8, MetricE::l2, MetricE::ip, MetricE::cosine>,
};

}  // namespace orvane::quantizer
