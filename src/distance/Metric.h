// The metric operations: TagInvoke(EvalTag, MetricT<M>, a, b) and
// TagInvoke(BatchEvalTag, MetricT<M>, query, base, dim, n, out), for M in l2, ip,
// cosine, each running the kernel level chosen for this process. MetricT<dummy>
// has no overload, so asking for its distance does not compile.
#pragma once

#include <cstdint>
#include <span>

#include "distance/MetricDispatchers.h"
#include "distance/MetricE.h"
#include "distance/OperationTags.h"
#include "isa/DynamicIsa.h"

namespace orvane::dist {

template <MetricE M>
concept KernelMetric = M == MetricE::l2 || M == MetricE::ip || M == MetricE::cosine;

// Distance between a and b over a.size() components; b must be at least as long.
template <MetricE M>
requires KernelMetric<M>
inline float TagInvoke(EvalTag, MetricT<M>, std::span<const float> a, std::span<const float> b) {
    return isa::InvokeWithDynamicIsa(MetricDispatcher<M>{}, a, b);
}

// out[i] = distance between query and row i of `base` (n rows of dim floats).
template <MetricE M>
requires KernelMetric<M>
inline void TagInvoke(BatchEvalTag, MetricT<M>, const float* query, const float* base,
                      dimension_t dim, uint64_t n, float* out) {
    isa::InvokeWithDynamicIsa(MetricBatchDispatcher<M>{}, query,
                              reinterpret_cast<const uint8_t*>(base), uint64_t{dim} * sizeof(float),
                              dim, n, out);
}

}  // namespace orvane::dist
