// The sq8 encode space: one byte per component relative to a centroid, with a
// per-vector affine scale and offset fitted by least squares and a 24-byte
// header (SQ8VectorHeader) stored as the row's auxiliary bytes.
//
// Encode with TagInvoke(EncodeTag, model, x, builder); prepare a query once with
// TagInvoke(PrepareTag, MetricT<M>, SQ8T, q, centroid, centroidNormSq, resource);
// score it with EvalEncodedTag (one row) or BatchEvalEncodedTag (many rows).
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>

#include "api/ErrorCode.h"
#include "distance/Metric.h"
#include "distance/OperationTags.h"
#include "encoding/EncodeTags.h"
#include "encoding/EncodedRow.h"
#include "encoding/EncodingE.h"
#include "encoding/sq8/SQ8Dispatchers.h"
#include "encoding/sq8/SQ8Types.h"
#include "isa/DynamicIsa.h"

namespace orvane::dist::encode_space {

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
// the header). No checks: the caller guarantees both are complete.
template <MetricE M>
requires KernelMetric<M>
inline float TagInvoke(EvalEncodedTag, MetricT<M>, SQ8T, const PreparedSQ8& prepared,
                       const EncodedRow& row) {
    const SQ8QueryView q = prepared.View();
    const SQ8VectorHeader h = detail::LoadSQ8Header(row.aux);
    float sum;
    if constexpr (M == MetricE::l2) {
        sum = isa::InvokeWithDynamicIsa(SQ8EvalL2Dispatcher{}, q.qCentered, row.data, h.a, h.b,
                                        q.dim);
    } else {
        sum = isa::InvokeWithDynamicIsa(SQ8EvalIPDispatcher{}, q.qCentered, row.data, h.a, h.b,
                                        q.dim);
    }
    return detail::FinishSQ8<M>(q, h, sum);
}

// out[i] = the score of row i of the batch; the kernel level is resolved once
// for the whole batch. The batch needs auxBase/auxStride set to the headers.
template <MetricE M>
requires KernelMetric<M>
inline void TagInvoke(BatchEvalEncodedTag, MetricT<M>, SQ8T, const PreparedSQ8& prepared,
                      const EncodedBatch& batch, float* out) {
    const SQ8QueryView q = prepared.View();
    isa::InvokeWithDynamicIsa(SQ8BatchEvalDispatcher<M>{}, q, batch, out);
}

}  // namespace orvane::dist::encode_space
