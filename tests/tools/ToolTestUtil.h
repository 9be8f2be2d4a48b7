// Helpers shared by the tool tests: the library log at the tool's level, and the
// raw bytes of hand-made (often deliberately broken) input files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "telemetry/Logger.h"

namespace orvane::tools::testutil {

// The library log at the level the tool runs it by default (errors only), so test
// output stays readable.
inline void QuietLibraryLog() {
    telemetry::Logger::Instance().SetLevel(telemetry::LogLevel::Error);
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
