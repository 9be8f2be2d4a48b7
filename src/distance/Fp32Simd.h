// Element-wise float vector helpers (add, subtract, multiply, divide, and the
// normalised difference of two vectors), each running the kernel level chosen
// for this process. They build PQ distance tables and k-means updates.
#pragma once

#include <span>
#include <type_traits>
#include <vector>

#include "isa/IsaE.h"

namespace orvane::dist {

// Operation selectors of the element-wise dispatcher.
struct Fp32AddOp {};
struct Fp32SubOp {};
struct Fp32MulOp {};
struct Fp32DivOp {};

namespace detail {

// The one-component form of each operation, shared by every kernel level.
template <typename Op>
inline float Fp32ApplyOne(float a, float b) {
    if constexpr (std::is_same_v<Op, Fp32AddOp>) {
        return a + b;
    } else if constexpr (std::is_same_v<Op, Fp32SubOp>) {
        return a - b;
    } else if constexpr (std::is_same_v<Op, Fp32MulOp>) {
        return a * b;
    } else {
        return a / b;
    }
}

}  // namespace detail

// out[i] = a[i] op b[i] for i below a's length; no length checks.
template <typename Op>
struct Fp32ElementwiseDispatcher {
    static void TagInvoke(isa::ScalarT, std::span<const float> a, std::span<const float> b,
                          std::span<float> out);
    static void TagInvoke(isa::Avx2T, std::span<const float> a, std::span<const float> b,
                          std::span<float> out);
    static void TagInvoke(isa::Avx512T, std::span<const float> a, std::span<const float> b,
                          std::span<float> out);
};

using Fp32VectorAddDispatcher = Fp32ElementwiseDispatcher<Fp32AddOp>;
using Fp32VectorSubDispatcher = Fp32ElementwiseDispatcher<Fp32SubOp>;
using Fp32VectorMulDispatcher = Fp32ElementwiseDispatcher<Fp32MulOp>;
using Fp32VectorDivDispatcher = Fp32ElementwiseDispatcher<Fp32DivOp>;

// Writes (a - b) / |a - b| into out (out has a's length), or zeros when the
// norm is below 1e-8. The caller allocates `out`, so kernels never allocate.
struct Fp32VectorNormalizeDispatcher {
    static void TagInvoke(isa::ScalarT, std::span<const float> a, std::span<const float> b,
                          std::span<float> out);
    static void TagInvoke(isa::Avx2T, std::span<const float> a, std::span<const float> b,
                          std::span<float> out);
    static void TagInvoke(isa::Avx512T, std::span<const float> a, std::span<const float> b,
                          std::span<float> out);
};

void Fp32VectorAdd(std::span<const float> a, std::span<const float> b, std::span<float> out);
void Fp32VectorSub(std::span<const float> a, std::span<const float> b, std::span<float> out);
void Fp32VectorMul(std::span<const float> a, std::span<const float> b, std::span<float> out);
// No guard against division by zero: IEEE results (inf, NaN) pass through.
void Fp32VectorDiv(std::span<const float> a, std::span<const float> b, std::span<float> out);

// A new vector of a's length: d = a - b, n = sqrt(sum d^2) in float; all zeros
// when n < 1e-8, else d[i] * (1/n).
std::vector<float> Fp32VectorNormalize(std::span<float> a, std::span<const float> b);

}  // namespace orvane::dist
