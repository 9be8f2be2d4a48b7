// InvokeWithDynamicIsa: calls a dispatcher's kernel for the level chosen for this
// process. A dispatcher is an empty type with one static TagInvoke per level,
// taking IsaT<scalar> or IsaT<avx2> as its first argument.
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
struct DynamicIsaEntry {
    using Result = decltype(Dispatcher::TagInvoke(ScalarT{}, std::declval<Args>()...));
    using Fn = Result (*)(Args...);

    template <IsaE I>
    static Result Call(Args... args) {
        return Dispatcher::TagInvoke(IsaT<I>{}, std::forward<Args>(args)...);
    }

    static Fn Select() {
        return SelectKernelIsa(DetectCpu()) == IsaE::avx2 ? &Call<IsaE::avx2> : &Call<IsaE::scalar>;
    }

    static Fn Get() {
        static const Fn fn = Select();
        return fn;
    }
};

}  // namespace detail

template <typename Dispatcher, typename... Args>
decltype(auto) InvokeWithDynamicIsa(Dispatcher, Args&&... args) {
    using Entry = detail::DynamicIsaEntry<Dispatcher, Args&&...>;
    return Entry::Get()(std::forward<Args>(args)...);
}

}  // namespace orvane::isa
