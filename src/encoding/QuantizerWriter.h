// QuantizerWriter: the sink every quantizer serialization writes through, a
// callable that appends bytes to the current section of an output stream.
// Every write goes through it and the first failing status is returned at once.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <type_traits>

#include "orvane/core/Status.h"

namespace orvane::quantizer {

using QuantizerWriter = std::function<core::Status(const char* bytes, uint64_t length)>;

// Writes the bytes of a span of plain values; an empty span writes nothing.
template <typename T>
core::Status WriteSpan(const QuantizerWriter& writer, std::span<const T> values) {
    static_assert(std::is_trivially_copyable_v<T>, "only plain values are written as bytes");
    if (values.empty()) return core::Status::Ok();
    return writer(reinterpret_cast<const char*>(values.data()), values.size_bytes());
}

// Writes the in-memory image of one plain record.
template <typename T>
core::Status WriteObject(const QuantizerWriter& writer, const T& object) {
    return WriteSpan(writer, std::span<const T>(&object, 1));
}

}  // namespace orvane::quantizer
