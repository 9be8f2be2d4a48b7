// Whole-file byte helpers for tests that hand-make (often deliberately broken)
// input files or check what a writer left on disk.
#pragma once

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

}  // namespace orvane::testing
