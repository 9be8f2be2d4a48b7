// Huge-page advice is only advice: whatever the range (null, shorter than a
// huge page, unaligned at either end, already written), the buffer keeps its
// contents and stays usable, and a buffer advised before it is written
// reads back what was written.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "util/HugePages.h"

namespace orvane::util {
namespace {

TEST(HugePagesTest, AdviceKeepsEveryByteOfTheBuffer) {
    constexpr size_t kMiB = size_t{1} << 20;
    struct Case {
        size_t offset;  // from the start of an 8 MiB allocation
        size_t bytes;
    };
    const Case cases[] = {{0, 0}, {0, 100}, {1, 2 * kMiB}, {4096, 5 * kMiB + 3}, {0, 8 * kMiB}};
    AdviseHugePages(nullptr, 8 * kMiB);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "offset " << c.offset << " bytes " << c.bytes);
        std::vector<uint8_t> buffer(8 * kMiB + 4096);
        for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 131 + 7);
        AdviseHugePages(buffer.data() + c.offset, c.bytes);
        size_t wrong = 0;
        for (size_t i = 0; i < buffer.size(); ++i) {
            wrong += buffer[i] != static_cast<uint8_t>(i * 131 + 7);
        }
        EXPECT_EQ(wrong, 0u);
    }
    // Advised before the first write, as the DiskANN builder reserves its rows.
    std::vector<float> rows;
    rows.reserve(3 * kMiB);
    AdviseHugePages(rows.data(), rows.capacity() * sizeof(float));
    for (size_t i = 0; i < 3 * kMiB; ++i) rows.push_back(static_cast<float>(i));
    for (size_t i = 0; i < rows.size(); i += 4099) ASSERT_EQ(rows[i], static_cast<float>(i));
}

}  // namespace
}  // namespace orvane::util
