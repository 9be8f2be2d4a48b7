// SQ8CodeDotDispatcher: the one kernel of the sq8 encode space, sum
// qCentered[i] * code[i], the only per-component work of a score (the rest is
// finished from per-row and per-query sums, SQ8ExpandedEval.h). One static
// TagInvoke per level (scalar, avx2, avx512) for isa::InvokeWithDynamicIsa,
// for one row, for the rows of a list of ids (row id at codes + id * q.dim)
// or for a run of consecutive rows; the many-row forms give each row the
// value of the one-row kernel of its level. The scalar and AVX2 levels
// accumulate floats; the AVX-512 level sums the query's digit planes times
// the codes in integers (VNNI) where the processor has it, the query has them
// and the rows are long enough to pay, else floats. The shared per-row logic
// (header load, metric finish) is below in detail.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <span>

#include "distance/MetricE.h"
#include "encoding/sq8/SQ8Types.h"
#include "isa/CpuFeatures.h"
#include "isa/IsaE.h"

namespace orvane::dist::encode_space {

struct SQ8CodeDotDispatcher {
    static float TagInvoke(isa::ScalarT, const SQ8QueryView& q, const uint8_t* codes);
    static float TagInvoke(isa::Avx2T, const SQ8QueryView& q, const uint8_t* codes);
    static float TagInvoke(isa::Avx512T, const SQ8QueryView& q, const uint8_t* codes);
    static void TagInvoke(isa::ScalarT, const SQ8QueryView& q, const uint8_t* codes,
                          const uint64_t* ids, uint64_t n, float* out);
    static void TagInvoke(isa::Avx2T, const SQ8QueryView& q, const uint8_t* codes,
                          const uint64_t* ids, uint64_t n, float* out);
    static void TagInvoke(isa::Avx512T, const SQ8QueryView& q, const uint8_t* codes,
                          const uint64_t* ids, uint64_t n, float* out);
    // n consecutive rows from `rows` on.
    static void TagInvoke(isa::ScalarT, const SQ8QueryView& q, const uint8_t* rows, uint64_t n,
                          float* out);
    static void TagInvoke(isa::Avx2T, const SQ8QueryView& q, const uint8_t* rows, uint64_t n,
                          float* out);
    static void TagInvoke(isa::Avx512T, const SQ8QueryView& q, const uint8_t* rows, uint64_t n,
                          float* out);
};

// Rows shorter than this are scored in floats at every level: the integer
// kernel's three plane sums cost more to finish than a short row costs to
// score (at 256 components the two take the same time, at 784 the integer
// kernel 0.7x).
inline constexpr dimension_t kSQ8DigitMinDim = 256;

// Whether rows of `dim` components are scored from digit planes where the
// AVX-512 level runs: long enough rows on a processor with VNNI. Queries are
// split into planes only then.
inline bool SQ8DigitsPay(dimension_t dim) {
    return dim >= kSQ8DigitMinDim && isa::SupportsAvx512Vnni();
}

// The digit planes of a centred query (SQ8QueryDigits); empty when a component
// is not finite.
SQ8DigitPlanes SplitSQ8QueryDigits(std::span<const float> qCentered,
                                   std::pmr::memory_resource& resource);

namespace detail {

// Where row i is, for the many-row kernels: in a list of ids, or in a run.
struct SQ8IdRows {
    const uint8_t* codes;
    const uint64_t* ids;
    uint64_t dim;
    const uint8_t* operator()(uint64_t i) const { return codes + ids[i] * dim; }
};
struct SQ8RunRows {
    const uint8_t* rows;
    uint64_t dim;
    const uint8_t* operator()(uint64_t i) const { return rows + i * dim; }
};

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

}  // namespace detail

}  // namespace orvane::dist::encode_space
