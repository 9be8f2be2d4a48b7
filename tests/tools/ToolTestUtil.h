// Helpers shared by the tool tests: a scratch directory removed with its contents,
// and writers of raw bytes for hand-made (often deliberately broken) input files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "telemetry/Logger.h"

namespace orvane::tools::testutil {

// The library log at the level the tool runs it by default (errors only), so test
// output stays readable.
inline void QuietLibraryLog() {
    telemetry::Logger::Instance().SetLevel(telemetry::LogLevel::Error);
}

class ScratchDir {
  public:
    ScratchDir() {
        std::random_device rd;
        _path = std::filesystem::temp_directory_path() /
                ("orvane_tools_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        std::filesystem::create_directories(_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(_path, ec);
    }
    std::string Path(const std::string& name) const { return (_path / name).string(); }
    const std::filesystem::path& Root() const { return _path; }
    // Names of the files in the directory, sorted.
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(_path)) {
            out.push_back(e.path().filename().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    std::filesystem::path _path;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

template <typename T>
void Append(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof(T));
}

// A .npy file (format 1.0) with the given dictionary text and data bytes.
inline std::string NpyBytes(const std::string& dict, const std::string& data, char major = 1) {
    std::string out("\x93NUMPY", 6);
    out.push_back(major);
    out.push_back(0);
    std::string header = dict + "\n";
    if (major == 1) {
        Append<uint16_t>(out, static_cast<uint16_t>(header.size()));
    } else {
        Append<uint32_t>(out, static_cast<uint32_t>(header.size()));
    }
    return out + header + data;
}

inline std::string FloatBytes(const std::vector<float>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

}  // namespace orvane::tools::testutil
