// The rawf32 encode space: vectors stored unchanged as 4·d bytes of floats and
// scored with the metric kernels. The query needs no preparation beyond a view.
//
// Scoring a query against `count` stored rows under L2:
//   auto prepared = TagInvoke(PrepareTag{}, MetricT<MetricE::l2>{}, RawF32T{}, query);
//   TagInvoke(BatchEvalEncodedTag{}, MetricT<MetricE::l2>{}, RawF32T{}, prepared,
//             RawF32Batch(base, dim, count), out);
#pragma once

#include <cstdint>
#include <span>

#include "orvane/core/ErrorCode.h"
#include "distance/Metric.h"
#include "distance/MetricDispatchers.h"
#include "distance/OperationTags.h"
#include "encoding/EncodeTags.h"
#include "encoding/EncodedRow.h"
#include "encoding/EncodingE.h"
#include "isa/DynamicIsa.h"

namespace orvane::dist::encode_space {

template <>
struct EncodingT<EncodingE::rawf32> {
    static constexpr EncodingE Value = EncodingE::rawf32;
    static constexpr const char* Name = "rawf32";
};
using RawF32T = EncodingT<EncodingE::rawf32>;

// rawf32 learns nothing.
struct RawF32Model {};

// A view of the caller's query floats; the caller keeps them alive.
struct PreparedRawF32 {
    std::span<const float> _q;
};

// A batch view over `n` contiguous rows of `dim` floats.
inline EncodedBatch RawF32Batch(const float* base, dimension_t dim, uint64_t n) {
    return EncodedBatch{reinterpret_cast<const uint8_t*>(base), uint64_t{dim} * sizeof(float),
                        nullptr, 0, n};
}

// Copies x into out.data (4·x.size() bytes). Returns InvalidArgument, writing
// nothing, when out.data is shorter than that.
core::ErrorCode TagInvoke(EncodeTag, const RawF32Model& model, std::span<const float> x,
                          EncodedRowBuilder out);

template <MetricE M>
requires KernelMetric<M>
inline PreparedRawF32 TagInvoke(PrepareTag, MetricT<M>, RawF32T, std::span<const float> q) {
    return PreparedRawF32{q};
}

// The metric kernel on (q, the row's data read as q.size() floats); the row's
// `bytes` is not consulted.
template <MetricE M>
requires KernelMetric<M>
inline float TagInvoke(EvalEncodedTag, MetricT<M> metric, RawF32T, const PreparedRawF32& prepared,
                       const EncodedRow& row) {
    const auto* stored = reinterpret_cast<const float*>(row.data);
    return TagInvoke(EvalTag{}, metric, prepared._q,
                     std::span<const float>(stored, prepared._q.size()));
}

// out[i] = the metric kernel on (q, row i read as q.size() floats), rows in order.
// The kernel level is resolved once for the whole batch.
template <MetricE M>
requires KernelMetric<M>
inline void TagInvoke(BatchEvalEncodedTag, MetricT<M>, RawF32T, const PreparedRawF32& prepared,
                      const EncodedBatch& batch, float* out) {
    isa::InvokeWithDynamicIsa(MetricBatchDispatcher<M>{}, prepared._q.data(), batch.base,
                              batch.stride, static_cast<dimension_t>(prepared._q.size()), batch.n,
                              out);
}

}  // namespace orvane::dist::encode_space
