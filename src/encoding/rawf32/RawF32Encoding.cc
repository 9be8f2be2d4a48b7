#include "encoding/rawf32/RawF32Encoding.h"

#include "encoding/rawf32/QuantizerEvaluatorRawF32.h"
#include "encoding/rawf32/Rawf32Trainer.h"

namespace orvane::quantizer {
namespace {

using dist::MetricE;
using dist::encode_space::EncodingE;
using dist::encode_space::RawF32T;

std::unique_ptr<QuantizerTrainer> CreateTrainer(const api::QuantizerOptions&,
                                                dist::dimension_t dimension, MetricE metric,
                                                std::pmr::memory_resource& resource) {
    return std::make_unique<Rawf32Trainer>(dimension, metric, resource);
}

}  // namespace

constexpr EncodingDescriptor kRawF32Encoding{
    .name = RawF32T::Name,
    .encoding = EncodingE::rawf32,
    .quantizerOptions = {},
    .whyNoTrainer = nullptr,
    .createTrainer = &CreateTrainer,
    .createEvaluator =
        &CreateEvaluatorFor<EncodingE::rawf32, MetricE::l2, MetricE::ip, MetricE::cosine>,
};

}  // namespace orvane::quantizer
