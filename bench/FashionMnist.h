// Fashion-MNIST for the benchmarks: the images of an idx3 file (gzip
// compressed, as Debian's dataset-fashion-mnist ships them) as float vectors
// of 784 pixel values in 0..255, one row per image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace orvane::bench {

inline const char* kFashionMnistDir = "/usr/share/datasets/fashion-mnist";

struct ImageSet {
    std::vector<float> pixels;  // rows * dim floats
    uint64_t rows = 0;
    uint32_t dim = 0;
};

namespace detail {

inline uint32_t BigEndian32(const unsigned char* b) {
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

}  // namespace detail

// Reads at most `maxRows` images of `<dir>/<name>` (e.g. "train-images-idx3-ubyte.gz").
// Returns an empty set when the file is missing or malformed.
inline ImageSet LoadIdxImages(const std::string& name, uint64_t maxRows = UINT64_MAX) {
    ImageSet set;
    const std::string path = std::string(kFashionMnistDir) + "/" + name;
    if (FILE* probe = std::fopen(path.c_str(), "rb")) {
        std::fclose(probe);
    } else {
        return set;
    }
    const std::string command = "gzip -dc '" + path + "'";
    FILE* in = popen(command.c_str(), "r");
    if (in == nullptr) return set;
    unsigned char header[16];
    if (std::fread(header, 1, sizeof(header), in) == sizeof(header) &&
        detail::BigEndian32(header) == 0x00000803u) {
        const uint64_t count = detail::BigEndian32(header + 4);
        const uint32_t dim = detail::BigEndian32(header + 8) * detail::BigEndian32(header + 12);
        const uint64_t rows = count < maxRows ? count : maxRows;
        std::vector<unsigned char> bytes(rows * dim);
        if (std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size()) {
            set.rows = rows;
            set.dim = dim;
            set.pixels.assign(bytes.begin(), bytes.end());
        }
    }
    pclose(in);
    return set;
}

// Rows shaped like Fashion-MNIST images, for machines without the dataset.
inline ImageSet GeneratedImages(uint64_t rows, uint32_t dim, uint32_t seed) {
    ImageSet set{std::vector<float>(rows * dim), rows, dim};
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pixel(0, 255);
    for (float& x : set.pixels) x = static_cast<float>(pixel(rng));
    return set;
}

}  // namespace orvane::bench
