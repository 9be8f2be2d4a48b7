// MetricDispatcher<M> / MetricBatchDispatcher<M>: the kernel families of the
// three metrics, one static TagInvoke per level (scalar, avx2, avx512), for
// use with isa::InvokeWithDynamicIsa. The batch kernels score one query against
// rows spaced `strideBytes` apart (contiguous rows: strideBytes = 4 * dim), one
// single-kernel call per row and in order, so a batch costs one dispatch.
#pragma once

#include <cstdint>
#include <span>

#include "distance/MetricE.h"
#include "isa/IsaE.h"

namespace orvane::dist {

template <MetricE M>
struct MetricDispatcher {
    static float TagInvoke(isa::ScalarT, std::span<const float> a, std::span<const float> b);
    static float TagInvoke(isa::Avx2T, std::span<const float> a, std::span<const float> b);
    static float TagInvoke(isa::Avx512T, std::span<const float> a, std::span<const float> b);
};

template <MetricE M>
struct MetricBatchDispatcher {
    static void TagInvoke(isa::ScalarT, const float* query, const uint8_t* base,
                          uint64_t strideBytes, dimension_t dim, uint64_t n, float* out);
    static void TagInvoke(isa::Avx2T, const float* query, const uint8_t* base, uint64_t strideBytes,
                          dimension_t dim, uint64_t n, float* out);
    static void TagInvoke(isa::Avx512T, const float* query, const uint8_t* base,
                          uint64_t strideBytes, dimension_t dim, uint64_t n, float* out);

    // Contiguous rows of `dim` floats.
    template <typename Level>
    static void TagInvoke(Level level, const float* query, const float* base, dimension_t dim,
                          uint64_t n, float* out) {
        TagInvoke(level, query, reinterpret_cast<const uint8_t*>(base),
                  uint64_t{dim} * sizeof(float), dim, n, out);
    }
};

// Scores one query against the rows named by `ids` (row r at base + r * dim
// floats), out[i] for ids[i], in one dispatch for the whole list.
template <MetricE M>
struct MetricGatherDispatcher {
    static void TagInvoke(isa::ScalarT, const float* query, const float* base, dimension_t dim,
                          const uint64_t* ids, uint64_t n, float* out);
    static void TagInvoke(isa::Avx2T, const float* query, const float* base, dimension_t dim,
                          const uint64_t* ids, uint64_t n, float* out);
    static void TagInvoke(isa::Avx512T, const float* query, const float* base, dimension_t dim,
                          const uint64_t* ids, uint64_t n, float* out);
};

using L2Dispatcher = MetricDispatcher<MetricE::l2>;
using IPDispatcher = MetricDispatcher<MetricE::ip>;
using CosineDispatcher = MetricDispatcher<MetricE::cosine>;
using L2BatchDispatcher = MetricBatchDispatcher<MetricE::l2>;
using IPBatchDispatcher = MetricBatchDispatcher<MetricE::ip>;
using CosineBatchDispatcher = MetricBatchDispatcher<MetricE::cosine>;

namespace detail {

// Shared row loop of the batch kernels; `Kernel` is the level's single kernel
// (a, b, length), called directly so that the loop makes no indirect calls.
template <auto Kernel>
inline void ForEachRow(const float* query, const uint8_t* base, uint64_t strideBytes,
                       dimension_t dim, uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) {
        out[i] = Kernel(query, reinterpret_cast<const float*>(base + i * strideBytes), dim);
    }
}

// Shared id loop of the gather kernels.
template <auto Kernel>
inline void ForEachId(const float* query, const float* base, dimension_t dim, const uint64_t* ids,
                      uint64_t n, float* out) {
    for (uint64_t i = 0; i < n; ++i) out[i] = Kernel(query, base + ids[i] * dim, dim);
}

}  // namespace detail

}  // namespace orvane::dist
