// IsaE: the processor instruction-set levels a kernel can be written for, and
// IsaT<I>, the empty tag type that selects a kernel level by overload.
// Kernels exist for IsaT<scalar>, IsaT<avx2> and IsaT<avx512>.
#pragma once

#include <cstdint>

namespace orvane::isa {

enum class IsaE : uint32_t {
    scalar = 0,
    sse = 1,
    avx = 2,
    avx2 = 3,
    avx512 = 4,
};

template <IsaE I>
struct IsaT {
    static constexpr IsaE Value = I;
    static constexpr const char* Name = I == IsaE::scalar ? "scalar"
                                        : I == IsaE::sse  ? "sse"
                                        : I == IsaE::avx  ? "avx"
                                        : I == IsaE::avx2 ? "avx2"
                                                          : "avx512";
};

using ScalarT = IsaT<IsaE::scalar>;
using Avx2T = IsaT<IsaE::avx2>;
using Avx512T = IsaT<IsaE::avx512>;

}  // namespace orvane::isa
