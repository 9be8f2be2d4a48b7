// Helpers for tests that drive liborvane_py as a foreign host would: only the
// C functions, plain arrays and a character buffer for messages.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "orvane/csrc/orvane_c.h"

namespace orvane::testing {

// A message buffer that remembers what the library wrote.
struct ErrBuf {
    char data[512];
    ErrBuf() { std::memset(data, 0, sizeof(data)); }
    std::string str() const { return std::string(data); }
    int len() const { return static_cast<int>(sizeof(data)); }
};

inline std::string DemoOptions(int dim) {
    return "{\"index.type\": \"demo\", \"index.dimension\": " + std::to_string(dim) + "}";
}

inline std::vector<float> RandomVectors(uint64_t n, int dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> out(n * static_cast<uint64_t>(dim));
    for (float& v : out) v = dist(rng);
    return out;
}

// A file path in the test temp directory, unique per process and name.
inline std::string TempIndexPath(const std::string& name) {
    return ::testing::TempDir() + "orvane_csrc_" + std::to_string(::getpid()) + "_" + name + ".idx";
}

// Builds a demo index from `data` through the C functions; returns the first
// failure's message, or an empty string.
inline std::string BuildDemoIndex(const std::vector<float>& data, int dim,
                                  const std::string& path) {
    ErrBuf err;
    const uint64_t n = data.size() / static_cast<uint64_t>(dim);
    orvane_builder_handle* b = orvane_builder_create(DemoOptions(dim).c_str(), err.data, err.len());
    if (b == nullptr) return "create: " + err.str();
    std::string failure;
    if (orvane_builder_pretrain(b, data.data(), n, 0, err.data, err.len()) != 0) {
        failure = "pretrain: " + err.str();
    } else if (orvane_builder_insert(b, data.data(), nullptr, n, dim, err.data, err.len()) != 0) {
        failure = "insert: " + err.str();
    } else if (orvane_builder_dump(b, path.c_str(), err.data, err.len()) != 0) {
        failure = "dump: " + err.str();
    }
    orvane_builder_destroy(b);
    return failure;
}

// Row ids of the topk nearest rows by squared L2, nearest first.
inline std::vector<uint64_t> ExactNearest(const std::vector<float>& data, int dim,
                                          const float* query, size_t topk,
                                          std::vector<float>* distances) {
    const size_t n = data.size() / static_cast<size_t>(dim);
    std::vector<float> d(n, 0.0f);
    for (size_t r = 0; r < n; ++r) {
        for (int c = 0; c < dim; ++c) {
            const float diff = data[r * dim + c] - query[c];
            d[r] += diff * diff;
        }
    }
    std::vector<uint64_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) { return d[a] < d[b]; });
    order.resize(std::min(topk, n));
    if (distances != nullptr) {
        distances->clear();
        for (uint64_t id : order) distances->push_back(d[id]);
    }
    return order;
}

}  // namespace orvane::testing
