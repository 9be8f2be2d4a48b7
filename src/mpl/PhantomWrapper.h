// PhantomWrapper<T, Tag>: a value marked at compile time by Tag, for example an
// option map that is not yet coerced or validated (Unsanitized).
#pragma once

#include <utility>

namespace orvane::mpl {

struct Unsanitized {};

template <typename T, typename Tag>
struct PhantomWrapper {
    PhantomWrapper() = default;
    explicit PhantomWrapper(T val) : _val(std::move(val)) {}
    const T& Get() const { return _val; }
    T& Get() { return _val; }

    T _val;
};

}  // namespace orvane::mpl
