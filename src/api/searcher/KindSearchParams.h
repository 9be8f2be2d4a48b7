// KindSearchParams: the search parameters one index kind parsed from a call's
// options, carried by value in the call's BatchSearchRequest so that a back end
// reads its option keys once per call and never per query. The facade does not
// know the kinds' parameter types: a back end puts its own small, trivially
// copyable struct in and takes it out again by type; taking out another type
// than was put in yields null.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

namespace orvane::api {

class KindSearchParams {
  public:
    // Room for the largest kind's parameters.
    static constexpr size_t kCapacity = 48;

    template <typename T>
    void Put(const T& params) {
        static_assert(std::is_trivially_copyable_v<T>, "kind parameters are plain values");
        static_assert(sizeof(T) <= kCapacity && alignof(T) <= alignof(std::max_align_t),
                      "kind parameters exceed the request's room for them");
        ::new (static_cast<void*>(_bytes)) T(params);
        _type = &TypeTag<T>::kTag;
    }

    // The parameters put in as T, or null when none or another type were.
    template <typename T>
    const T* Find() const {
        if (_type != &TypeTag<T>::kTag) return nullptr;
        return std::launder(reinterpret_cast<const T*>(_bytes));
    }

  private:
    template <typename T>
    struct TypeTag {
        static constexpr char kTag = 0;
    };

    alignas(std::max_align_t) unsigned char _bytes[kCapacity] = {};
    const char* _type = nullptr;
};

}  // namespace orvane::api
