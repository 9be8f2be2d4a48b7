// Query: a caller-owned view of one query vector; the library never copies it.
#pragma once

#include <cstdint>

namespace orvane::api {

struct Query {
    Query(const float* data_, uint64_t size_) : data(data_), size(size_) {}

    const float* data;
    const uint64_t size;
};

}  // namespace orvane::api
