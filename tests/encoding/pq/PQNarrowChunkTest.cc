#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "encoding/pq/PQEncodeSpace.h"

namespace orvane::dist::encode_space {
namespace {

// Nearest centroid by exact squared distance, lowest index on ties. With small
// integer values every float operation of the matrix form is exact, so the
// encoder must give exactly this.
std::vector<uint8_t> Reference(const std::vector<float>& data, const std::vector<float>& centroids,
                               uint32_t width) {
    const size_t n = data.size() / width;
    const size_t k = centroids.size() / width;
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        double best = std::numeric_limits<double>::max();
        for (size_t c = 0; c < k; ++c) {
            double d = 0;
            for (uint32_t j = 0; j < width; ++j) {
                const double diff = double{data[i * width + j]} - centroids[c * width + j];
                d += diff * diff;
            }
            if (d < best) best = d, out[i] = static_cast<uint8_t>(c);
        }
    }
    return out;
}

struct NarrowCase {
    uint32_t width;
    uint32_t centroids;
    int maxValue;  // values are integers in [-maxValue, maxValue]
};

class PQNarrowChunkTest : public ::testing::TestWithParam<NarrowCase> {};

TEST_P(PQNarrowChunkTest, ClosestCentersEqualExactNearestWithTiesLow) {
    const NarrowCase& p = GetParam();
    std::mt19937 gen(p.width * 1000 + p.centroids + static_cast<uint32_t>(p.maxValue));
    std::uniform_int_distribution<int> value(-p.maxValue, p.maxValue);
    std::vector<float> centroids(size_t{p.centroids} * p.width);
    for (float& v : centroids) v = static_cast<float>(value(gen));
    // Some centroids repeat earlier ones, so equal distances are common.
    for (uint32_t c = 3; c < p.centroids; c += 3) {
        std::copy_n(centroids.begin() + (c / 3) * p.width, p.width,
                    centroids.begin() + size_t{c} * p.width);
    }
    std::vector<float> data(500 * size_t{p.width});
    for (float& v : data) v = static_cast<float>(value(gen));
    std::vector<uint8_t> out(500, 77);
    ComputeClosestCentersL2(data.data(), 500, p.width, centroids.data(), p.centroids, 1,
                            out.data());
    EXPECT_EQ(out, Reference(data, centroids, p.width));
}

std::vector<NarrowCase> NarrowCases() {
    std::vector<NarrowCase> cases;
    for (uint32_t width = 1; width <= 9; ++width) {
        for (uint32_t k : {1u, 5u, 8u, 100u, 256u}) {
            for (int maxValue : {1, 20}) cases.push_back({width, k, maxValue});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, PQNarrowChunkTest, ::testing::ValuesIn(NarrowCases()),
                         [](const ::testing::TestParamInfo<NarrowCase>& info) {
                             // Appended piece by piece: GCC 12 warns (-Wrestrict)
                             // about a literal + std::string chain here.
                             std::string name = "W";
                             name += std::to_string(info.param.width);
                             name += "K";
                             name += std::to_string(info.param.centroids);
                             name += "V";
                             name += std::to_string(info.param.maxValue);
                             return name;
                         });

// NaN in a centroid never wins; a row whose every score is NaN gets index 0.
TEST(PQNarrowChunkEdgeTest, NotANumber) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> centroids = {nan, 0, 5, 5, 1, 1};
    const std::vector<float> data = {0, 0, nan, 1};
    std::vector<uint8_t> out(2, 77);
    ComputeClosestCentersL2(data.data(), 2, 2, centroids.data(), 3, 1, out.data());
    EXPECT_EQ(out, (std::vector<uint8_t>{2, 0}));
}

}  // namespace
}  // namespace orvane::dist::encode_space
