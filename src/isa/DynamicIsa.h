// InvokeWithDynamicIsa: calls a dispatcher's kernel for the level chosen for this
// process. A dispatcher is an empty type with one static TagInvoke per level,
// taking IsaT<scalar>, IsaT<avx2> or (optionally) IsaT<avx512> as its first
// argument. A dispatcher without an avx512 overload runs its avx2 kernel on
// AVX-512 processors.
//
// Each (dispatcher, argument types) pair resolves its kernel once per process, on
// first use and thread-safely, into a function pointer that later calls jump
// through. Changing the override variable afterwards has no effect on it.
#pragma once

#include <utility>

#include "isa/CpuFeatures.h"
#include "isa/IsaE.h"

namespace orvane::isa {

namespace detail {

template <typename Dispatcher, typename... Args>
concept HasAvx512Kernel = requires(Args&&... args) {
    Dispatcher::TagInvoke(Avx512T{}, std::forward<Args>(args)...);
};

// The level a dispatcher runs when `chosen` is the process's level: the
// highest it implements at or below `chosen`.
template <typename Dispatcher, typename... Args>
constexpr IsaE ImplementedLevel(IsaE chosen) {
    if (chosen == IsaE::avx512) {
        return HasAvx512Kernel<Dispatcher, Args...> ? IsaE::avx512 : IsaE::avx2;
    }
    return chosen == IsaE::avx2 ? IsaE::avx2 : IsaE::scalar;
}

template <typename Dispatcher, typename... Args>
struct DynamicIsaEntry {
    using Result = decltype(Dispatcher::TagInvoke(ScalarT{}, std::declval<Args>()...));
    using Fn = Result (*)(Args...);

    template <IsaE I>
    static Result Call(Args... args) {
        return Dispatcher::TagInvoke(IsaT<I>{}, std::forward<Args>(args)...);
    }

    // The level of this instantiation, chosen on first use and kept.
    static IsaE Level() {
        static const IsaE level = ImplementedLevel<Dispatcher, Args...>(ChooseKernelIsa());
        return level;
    }

    static Fn Get() {
        static const Fn fn = [] {
            switch (Level()) {
                case IsaE::avx512:
                    if constexpr (HasAvx512Kernel<Dispatcher, Args...>) {
                        return &Call<IsaE::avx512>;
                    }
                    break;
                case IsaE::avx2:
                    return &Call<IsaE::avx2>;
                default:
                    break;
            }
            return &Call<IsaE::scalar>;
        }();
        return fn;
    }
};

}  // namespace detail

// The kernel of `Dispatcher` for arguments of exactly the types Args, as a
// plain function pointer, for callers that keep it and call it in a loop
// (one indirect call, no dispatch per call).
template <typename Dispatcher, typename... Args>
typename detail::DynamicIsaEntry<Dispatcher, Args...>::Fn ResolveKernel() {
    return detail::DynamicIsaEntry<Dispatcher, Args...>::Get();
}

// The level ResolveKernel<Dispatcher, Args...> runs, for code whose results
// must follow the kernel's summation order.
template <typename Dispatcher, typename... Args>
IsaE ResolvedIsa() {
    return detail::DynamicIsaEntry<Dispatcher, Args...>::Level();
}

template <typename Dispatcher, typename... Args>
decltype(auto) InvokeWithDynamicIsa(Dispatcher, Args&&... args) {
    using Entry = detail::DynamicIsaEntry<Dispatcher, Args&&...>;
    return Entry::Get()(std::forward<Args>(args)...);
}

}  // namespace orvane::isa
