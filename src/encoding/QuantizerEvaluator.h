// QuantizerEvaluator<Metric, Encoding>: the evaluator of one (metric,
// encoding) pair. Eight instances exist: rawf32 and sq8 with l2, ip and
// cosine, pq with l2 and ip; each encoding's specialization is declared in
// its own header (QuantizerEvaluatorRawF32.h, QuantizerEvaluatorSQ8.h,
// QuantizerEvaluatorPQ.h) and instantiated in the library. Use
// LoadQuantizerEvaluator to get the instance a stream needs.
#pragma once

#include "distance/MetricE.h"
#include "encoding/EncodingE.h"
#include "encoding/QuantizerEvaluatorBase.h"

namespace orvane::quantizer {

template <dist::MetricE Metric, dist::encode_space::EncodingE Encoding>
class QuantizerEvaluator;

}  // namespace orvane::quantizer
