// The bytes an ivf build writes, pinned by their hash for each encoding and
// build thread count: a change to the clustering, the assignment, the
// encoding or the dump that alters the file of the same input fails here.
// The rows are small integers, so that their distances are exact whatever
// order a kernel sums in.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "IvfTestUtil.h"
#include "testing/FileBytes.h"
#include "testing/LogCapture.h"

namespace orvane::index::ivf {
namespace {

// Rows of integers in 0..1023 around 12 centres: squared distances of 16
// components stay below 2^24, exact in float.
std::vector<float> IntegerRows(uint64_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> centres(12 * dim);
    for (uint32_t& c : centres) c = rng() % 768;
    std::vector<float> rows(n * dim);
    for (uint64_t i = 0; i < n; ++i) {
        const uint32_t* c = centres.data() + (rng() % 12) * dim;
        for (uint32_t k = 0; k < dim; ++k)
            rows[i * dim + k] = static_cast<float>(c[k] + rng() % 256);
    }
    return rows;
}

struct PinnedBuild {
    const char* encoding;
    uint32_t threads;
    uint32_t batch;
    uint64_t hash;
};

// Every thread count and batch size writes the same file as one thread. (PQ
// is left out: its training is not repeatable from run to run here.)
constexpr PinnedBuild kPinned[] = {
    {"rawf32", 1, 333, 0x80c8417984bde035ull}, {"rawf32", 2, 333, 0x80c8417984bde035ull},
    {"sq8", 1, 1000, 0xf09ebda4f2021541ull},   {"sq8", 2, 1000, 0xf09ebda4f2021541ull},
    {"sq8", 2, 97, 0xf09ebda4f2021541ull},     {"sq8", 2, 2000, 0xf09ebda4f2021541ull},
};

TEST(IvfBuildBytesTest, BuildsWriteThePinnedBytes) {
    testing::LogCapture quiet(testing::LogCapture::Keep::kNothing);
    const std::vector<float> rows = IntegerRows(2000, 16, 9);
    for (const PinnedBuild& c : kPinned) {
        SCOPED_TRACE(std::string(c.encoding) + " threads " + std::to_string(c.threads) + " batch " +
                     std::to_string(c.batch));
        testutil::BuildPlan plan;
        plan.dim = 16;
        plan.numLists = 16;
        plan.encoding = c.encoding;
        plan.threads = c.threads;
        plan.batch = c.batch;
        const std::string image = testutil::BuildImage(rows, plan);
        ASSERT_GT(image.size(), rows.size());
        const uint64_t hash = orvane::testing::BytesHash(image);
        EXPECT_EQ(hash, c.hash) << "wrote " << image.size() << " bytes, hash 0x" << std::hex
                                << hash;
    }
}

}  // namespace
}  // namespace orvane::index::ivf
