// The sq8 encode space: one byte per component relative to a centroid, with a
// per-vector affine scale and offset fitted by least squares and a 24-byte
// header (SQ8VectorHeader) stored as the row's auxiliary bytes.
//
// Encode with TagInvoke(EncodeTag, model, x, builder); prepare a query once with
// TagInvoke(PrepareTag, MetricT<M>, SQ8T, q, centroid, centroidNormSq, resource);
// score it against one row with EvalEncodedTag. There is no batch form: the
// evaluator scores stored rows with the same kernel and row sums it keeps
// (SQ8ExpandedEval.h).
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>

#include "orvane/core/ErrorCode.h"
#include "distance/Metric.h"
#include "distance/OperationTags.h"
#include "encoding/EncodeTags.h"
#include "encoding/EncodedRow.h"
#include "encoding/EncodingE.h"
#include "encoding/sq8/SQ8Dispatchers.h"
#include "encoding/sq8/SQ8ExpandedEval.h"
#include "encoding/sq8/SQ8Types.h"
#include "isa/DynamicIsa.h"

namespace orvane::dist::encode_space {

template <>
struct EncodingT<EncodingE::sq8> {
    static constexpr EncodingE Value = EncodingE::sq8;
    static constexpr const char* Name = "sq8";
};
using SQ8T = EncodingT<EncodingE::sq8>;

// Writes x.size() code bytes to out.data and the 24-byte header to out.aux.
// FailedPrecondition when the centroid's length differs from x's;
// InvalidArgument for an empty x or builder spans too short. Nothing is
// written on failure.
core::ErrorCode TagInvoke(EncodeTag, const SQ8Model& model, std::span<const float> x,
                          EncodedRowBuilder out);

// Code of one component from its quotient (r - b) / a: rounded half away from
// zero, truncated to int32 and clamped to [0, 255]. A NaN, infinite or
// out-of-int32-range quotient gives 0.
uint8_t QuantizeSQ8Code(float quotient);

// Non-template body of the sq8 preparation, shared by the metric overloads.
PreparedSQ8 PrepareSQ8Query(MetricE metric, std::span<const float> q,
                            std::span<const float> centroid, float centroidNormSq,
                            std::pmr::memory_resource& resource);

template <MetricE M>
requires KernelMetric<M>
inline PreparedSQ8 TagInvoke(PrepareTag, MetricT<M>, SQ8T, std::span<const float> q,
                             std::span<const float> centroid, float centroidNormSq,
                             std::pmr::memory_resource& resource) {
    return PrepareSQ8Query(M, q, centroid, centroidNormSq, resource);
}

// Score of a prepared query against one row (row.data: d code bytes, row.aux:
// the header), in the expanded form of SQ8ExpandedEval.h. No checks: the
// caller guarantees both are complete.
template <MetricE M>
requires KernelMetric<M>
inline float TagInvoke(EvalEncodedTag, MetricT<M>, SQ8T, const PreparedSQ8& prepared,
                       const EncodedRow& row) {
    const SQ8QueryView q = prepared.View();
    const float dot = isa::InvokeWithDynamicIsa(SQ8CodeDotDispatcher{}, q, row.data);
    return FinishSQ8Expanded<M>(q, ComputeSQ8QuerySums(q), detail::LoadSQ8Header(row.aux),
                                ComputeSQ8CodeStats(row.data, q.dim), dot);
}

}  // namespace orvane::dist::encode_space
