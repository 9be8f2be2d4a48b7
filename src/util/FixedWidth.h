// WithFixedWidth: picks, from a width known only at run time, the
// instantiation of a kernel written for a width known at compile time.
//
//   WithFixedWidth<8>(dim, [&](auto w) { Kernel<decltype(w)::value>(...); });
//
// calls the function with std::integral_constant<uint32_t, W> for W = width
// when 1 <= width <= kMax, and for W = kMax otherwise.
#pragma once

#include <cstdint>
#include <type_traits>

namespace orvane::util {

template <uint32_t kMax, uint32_t W = 1, typename Fn>
void WithFixedWidth(uint32_t width, Fn&& fn) {
    static_assert(W >= 1 && W <= kMax);
    if constexpr (W == kMax) {
        fn(std::integral_constant<uint32_t, W>{});
    } else if (width == W) {
        fn(std::integral_constant<uint32_t, W>{});
    } else {
        WithFixedWidth<kMax, W + 1>(width, fn);
    }
}

}  // namespace orvane::util
