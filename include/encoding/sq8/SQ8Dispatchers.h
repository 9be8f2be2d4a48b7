// Kernels of the sq8 encode space, one static TagInvoke per level (scalar,
// avx2) for isa::InvokeWithDynamicIsa:
//  - SQ8EvalL2Dispatcher: sum (qCentered[i] - (a * code[i] + b))^2
//  - SQ8EvalIPDispatcher: sum (a * code[i] + b) * qCentered[i]
//  - SQ8CodeDotDispatcher: sum qCentered[i] * code[i], the only per-component
//    work of the expanded scores (SQ8ExpandedEval.h), for one row or for the
//    rows of a list of ids (row id at codes + id * dim)
//  - SQ8BatchEvalDispatcher<M>: the full metric value for every row of a batch,
//    so that a batch resolves its kernel level once instead of once per row.
// The shared per-row logic (header load, metric finish) is below in detail.
#pragma once

#include <cstdint>
#include <cstring>

#include "distance/MetricE.h"
#include "encoding/EncodedRow.h"
#include "encoding/sq8/SQ8Types.h"
#include "isa/IsaE.h"

namespace orvane::dist::encode_space {

struct SQ8EvalL2Dispatcher {
    static float TagInvoke(isa::ScalarT, const float* qCentered, const uint8_t* codes, float a,
                           float b, dimension_t dim);
    static float TagInvoke(isa::Avx2T, const float* qCentered, const uint8_t* codes, float a,
                           float b, dimension_t dim);
};

struct SQ8EvalIPDispatcher {
    static float TagInvoke(isa::ScalarT, const float* qCentered, const uint8_t* codes, float a,
                           float b, dimension_t dim);
    static float TagInvoke(isa::Avx2T, const float* qCentered, const uint8_t* codes, float a,
                           float b, dimension_t dim);
};

struct SQ8CodeDotDispatcher {
    static float TagInvoke(isa::ScalarT, const float* qCentered, const uint8_t* codes,
                           dimension_t dim);
    static float TagInvoke(isa::Avx2T, const float* qCentered, const uint8_t* codes,
                           dimension_t dim);
    static void TagInvoke(isa::ScalarT, const float* qCentered, const uint8_t* codes,
                          dimension_t dim, const uint64_t* ids, uint64_t n, float* out);
    static void TagInvoke(isa::Avx2T, const float* qCentered, const uint8_t* codes, dimension_t dim,
                          const uint64_t* ids, uint64_t n, float* out);
};

template <MetricE M>
struct SQ8BatchEvalDispatcher {
    static void TagInvoke(isa::ScalarT, const SQ8QueryView& query, const EncodedBatch& batch,
                          float* out);
    static void TagInvoke(isa::Avx2T, const SQ8QueryView& query, const EncodedBatch& batch,
                          float* out);
};

namespace detail {

// Reads a row's header from its (possibly unaligned) auxiliary bytes.
inline SQ8VectorHeader LoadSQ8Header(const uint8_t* aux) {
    SQ8VectorHeader h;
    std::memcpy(&h, aux, sizeof(h));
    return h;
}

// Turns the kernel sum of a row into the metric value. For ip the sum is the
// residual dot product, and q.x = (q-c).(x-c) + q.c + x.c - c.c.
template <MetricE M>
inline float FinishSQ8(const SQ8QueryView& q, const SQ8VectorHeader& h, float sum) {
    if constexpr (M == MetricE::l2) {
        return sum;
    } else {
        const float cn = q.centroidNormSq;
        const float ip = (q.qDotCentroid - cn) + sum + (h.dotXC - cn) + cn;
        if constexpr (M == MetricE::ip) {
            return ip;
        } else {
            const float norms = h.norm * q.qNorm;
            if (norms <= 1e-6f) return 0.0f;
            return 1.0f - ip / norms;
        }
    }
}

// One row's metric value with the level's kernels passed in as L2K and IPK
// (cosine uses the inner-product kernel).
template <MetricE M, auto L2K, auto IPK>
inline float EvalSQ8Row(const SQ8QueryView& q, const uint8_t* codes, const uint8_t* aux) {
    const SQ8VectorHeader h = LoadSQ8Header(aux);
    if constexpr (M == MetricE::l2) {
        return FinishSQ8<M>(q, h, L2K(q.qCentered, codes, h.a, h.b, q.dim));
    } else {
        return FinishSQ8<M>(q, h, IPK(q.qCentered, codes, h.a, h.b, q.dim));
    }
}

template <MetricE M, auto L2K, auto IPK>
inline void SQ8BatchLoop(const SQ8QueryView& q, const EncodedBatch& batch, float* out) {
    for (uint64_t i = 0; i < batch.n; ++i) {
        out[i] = EvalSQ8Row<M, L2K, IPK>(q, batch.base + i * batch.stride,
                                         batch.auxBase + i * batch.auxStride);
    }
}

}  // namespace detail

}  // namespace orvane::dist::encode_space
