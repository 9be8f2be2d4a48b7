#include "io/Crc32c.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace orvane::io {
namespace {

TEST(Crc32cTest, StandardCheckValue) {
    EXPECT_EQ(Crc32c::Value(std::string_view("123456789")), 0xE3069283u);
    EXPECT_EQ(Crc32c::Extend(0, std::string_view("123456789")), 0xE3069283u);
}

TEST(Crc32cTest, KnownVectors) {
    // 32 zero bytes and 32 0xFF bytes (published CRC-32C test vectors).
    EXPECT_EQ(Crc32c::Value(std::string(32, '\0')), 0x8A9136AAu);
    EXPECT_EQ(Crc32c::Value(std::string(32, '\xFF')), 0x62A8AB43u);
    EXPECT_EQ(Crc32c::Value(std::string_view("")), 0u);
}

TEST(Crc32cTest, TableMatchesPolynomial) {
    EXPECT_EQ(detail::crc32c::kTable[0], 0u);
    EXPECT_EQ(detail::crc32c::kTable[128], 0x82F63B78u);  // a lone top bit after 7 shifts
    EXPECT_EQ(detail::crc32c::kTable[1], 0xF26B8303u);
}

TEST(Crc32cTest, ExtendOverNothingKeepsCrc) {
    for (uint32_t c : {0u, 1u, 0xE3069283u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Crc32c::Extend(c, std::string_view()), c);
        EXPECT_EQ(Crc32c::Extend(c, nullptr, 0), c);
    }
}

TEST(Crc32cTest, ChainedPiecesEqualWhole) {
    std::mt19937 rng(7);
    std::string data(1000, '\0');
    for (char& ch : data) ch = static_cast<char>(rng());
    const uint32_t whole = Crc32c::Value(data);
    for (size_t cut : {0ul, 1ul, 13ul, 500ul, 999ul, 1000ul}) {
        const std::string_view view(data);
        EXPECT_EQ(Crc32c::Extend(Crc32c::Value(view.substr(0, cut)), view.substr(cut)), whole)
            << cut;
    }
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data.data()),
                                           data.size());
    EXPECT_EQ(Crc32c::Value(bytes), whole);
}

TEST(Crc32cTest, MaskValuesAndRoundTrip) {
    EXPECT_EQ(Crc32c::kMaskDelta, 2726488792u);
    EXPECT_EQ(Crc32c::Mask(0), 0xA282EAD8u);
    // Rotating 1 right by 15 gives 1 << 17.
    EXPECT_EQ(Crc32c::Mask(1), (1u << 17) + 0xA282EAD8u);
    EXPECT_NE(Crc32c::Mask(0xE3069283u), 0xE3069283u);
    std::mt19937 rng(11);
    for (int i = 0; i < 100000; ++i) {
        const uint32_t c = rng();
        ASSERT_EQ(Crc32c::Unmask(Crc32c::Mask(c)), c);
    }
    for (uint32_t c : {0u, 1u, 0x7FFFu, 0x8000u, 0xFFFFFFFFu, 0x5D7D1528u}) {
        EXPECT_EQ(Crc32c::Unmask(Crc32c::Mask(c)), c);
        EXPECT_EQ(Crc32c::Mask(Crc32c::Unmask(c)), c);
    }
}

}  // namespace
}  // namespace orvane::io
