// EncodingDescriptor: everything the library needs to know about one encoding
// with code in this build: its name (the "encoding.type" value) and stored
// enumerator, the schema of its quantizer options, the factory of its trainer
// (with the check that says why options cannot make one) and the factory of
// its evaluator for a stream's meta. Each encoding defines its descriptor in
// its own folder; the registry (EncodingRegistry.h) lists them, and the
// trainer factory, the evaluator loader and the option validators consult it.
#pragma once

#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>

#include "orvane/api/Options.h"
#include "distance/MetricE.h"
#include "encoding/EncodingE.h"
#include "encoding/QuantizerEvaluator.h"
#include "encoding/QuantizerEvaluatorBase.h"
#include "encoding/QuantizerMeta.h"
#include "encoding/QuantizerTrainer.h"
#include "schema/OptionSchema.h"

namespace orvane::quantizer {

// Why `options` (already known to name this encoding, with this dimension and
// metric) cannot make a trainer: the text CreateQuantizerTrainer logs, empty
// when they can.
using TrainerCheck = std::string (*)(const api::QuantizerOptions& options,
                                     dist::dimension_t dimension, dist::MetricE metric);
// A trainer for options that passed the check.
using TrainerFactory = std::unique_ptr<QuantizerTrainer> (*)(const api::QuantizerOptions& options,
                                                             dist::dimension_t dimension,
                                                             dist::MetricE metric,
                                                             std::pmr::memory_resource& resource);
// The evaluator of a stream with this meta (its encoding is this one); null
// for a metric the encoding cannot score.
using EvaluatorFactory = std::unique_ptr<QuantizerEvaluatorBase> (*)(
    std::pmr::memory_resource& resource, const QuantizerMeta& meta);

struct EncodingDescriptor {
    std::string_view name;
    dist::encode_space::EncodingE encoding;
    schema::OptionSchemaView quantizerOptions;  // empty for an encoding without options
    TrainerCheck whyNoTrainer;                  // null: every option set can make one
    TrainerFactory createTrainer;
    EvaluatorFactory createEvaluator;
};

// The evaluator instance of encoding E for the meta's metric when that is M or
// one of Rest (the metrics E scores); null for any other metric. An encoding's
// EvaluatorFactory is usually CreateEvaluatorFor<E, its metrics...>.
template <dist::encode_space::EncodingE E, dist::MetricE M, dist::MetricE... Rest>
std::unique_ptr<QuantizerEvaluatorBase> CreateEvaluatorFor(std::pmr::memory_resource& resource,
                                                           const QuantizerMeta& meta) {
    if (meta.metricType == M) {
        return std::make_unique<QuantizerEvaluator<M, E>>(resource, meta);
    }
    if constexpr (sizeof...(Rest) > 0) {
        return CreateEvaluatorFor<E, Rest...>(resource, meta);
    } else {
        return nullptr;
    }
}

}  // namespace orvane::quantizer
