// Whole-file byte helpers for tests that hand-make (often deliberately broken)
// input files or check what a writer left on disk or wrote.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

namespace orvane::testing {

// The file's bytes; empty when it cannot be opened.
inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file's contents with `bytes`.
inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The 64-bit FNV-1a hash of `bytes`: pins a writer's output in a test without
// keeping the whole file.
inline uint64_t BytesHash(const std::string& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (const char c : bytes) {
        h ^= static_cast<uint8_t>(c);
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace orvane::testing
