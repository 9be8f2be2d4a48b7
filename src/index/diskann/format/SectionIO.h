// Small helpers shared by the DiskANN storage readers: fetching a section
// whose payload must hold at least a given number of bytes, with the size
// failure logged and reported the same way for every section.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>

#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "io/InputStream.h"

namespace orvane::index::diskann {

// The reader of section `name` when its payload holds at least `need` bytes.
// A short payload logs "Invalid section size for [name] ..." at error level and
// yields Internal "Invalid section size for " + what.
core::Result<std::shared_ptr<io::InputStream::SectionReader>> GetSectionAtLeast(
    io::InputStream& stream, const std::string& name, uint64_t need, const char* what);

// Reads the first `size` bytes of section `name` into `out` (same size rule).
core::Status ReadSectionPrefix(io::InputStream& stream, const std::string& name, void* out,
                               uint64_t size, const char* what);

// Reads `count` values of T from the start of section `name` into `out`,
// sizing `out` only after the section proved long enough (a damaged count
// then costs no allocation). `count` must satisfy count * sizeof(T) < 2^64.
template <typename T, typename Vector>
core::Status ReadSectionArray(io::InputStream& stream, const std::string& name, uint64_t count,
                              const char* what, Vector& out) {
    static_assert(std::is_same_v<T, typename Vector::value_type>, "values are read as stored");
    auto reader = GetSectionAtLeast(stream, name, count * sizeof(T), what);
    if (!reader.IsOk()) return reader.TakeStatus();
    return reader.Value()->ReadArray(0, count, out);
}

// a * b in 64 bits; false when it overflows.
inline bool CheckedMul(uint64_t a, uint64_t b, uint64_t* out) {
    return !__builtin_mul_overflow(a, b, out);
}

}  // namespace orvane::index::diskann
