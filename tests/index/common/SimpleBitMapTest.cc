#include "index/common/SimpleBitMap.h"

#include <gtest/gtest.h>

namespace orvane::index {
namespace {

TEST(SimpleBitMapTest, SizesRoundUpToWholeBytesAndStartCleared) {
    struct Case {
        size_t bits;
        size_t bitCount;
    };
    for (Case c : {Case{0, 0}, Case{1, 8}, Case{8, 8}, Case{9, 16}, Case{1000, 1000}}) {
        SimpleBitMap map(c.bits);
        EXPECT_EQ(map.BitCount(), c.bitCount) << c.bits;
        EXPECT_EQ(map.CountSet(), 0u) << c.bits;
    }
}

TEST(SimpleBitMapTest, SetTestResetTouchOnlyTheirBit) {
    SimpleBitMap map(24);
    for (size_t i : {0u, 7u, 8u, 13u, 23u}) {
        EXPECT_FALSE(map.TestAndSet(i)) << i;
        EXPECT_TRUE(map.TestAndSet(i)) << i;
    }
    EXPECT_EQ(map.CountSet(), 5u);
    for (size_t i = 0; i < 24; ++i) {
        EXPECT_EQ(map.Test(i), i == 0 || i == 7 || i == 8 || i == 13 || i == 23) << i;
    }
    map.Reset(8);
    EXPECT_FALSE(map.Test(8));
    EXPECT_TRUE(map.Test(7));
    EXPECT_TRUE(map.Test(13));
    map.Clear();
    EXPECT_EQ(map.CountSet(), 0u);
    EXPECT_EQ(map.BitCount(), 24u);
    map.Set(5);
    map.Resize(40);  // a resize starts over with every bit cleared
    EXPECT_EQ(map.CountSet(), 0u);
    EXPECT_EQ(map.BitCount(), 40u);
}

}  // namespace
}  // namespace orvane::index
