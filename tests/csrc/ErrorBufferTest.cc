#include "ErrorBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace orvane::csrc {
namespace {

TEST(ErrorBufferTest, TruncatesTerminatesAndZeroPads) {
    char buf[6];
    std::memset(buf, 'x', sizeof(buf));
    CopyError("abcdefgh", buf, sizeof(buf));
    EXPECT_EQ(std::string(buf), "abcde");

    std::memset(buf, 'x', sizeof(buf));
    CopyError("ab", buf, sizeof(buf));
    EXPECT_EQ(std::string(buf), "ab");
    for (size_t i = 2; i < sizeof(buf); ++i) EXPECT_EQ(buf[i], '\0') << i;

    std::memset(buf, 'x', sizeof(buf));
    CopyError("", buf, sizeof(buf));
    for (char c : buf) EXPECT_EQ(c, '\0');
}

TEST(ErrorBufferTest, StopsAtAnEmbeddedZeroByte) {
    char buf[8];
    std::memset(buf, 'x', sizeof(buf));
    CopyError(std::string_view("ab\0cd", 5), buf, sizeof(buf));
    EXPECT_EQ(std::string(buf), "ab");
    for (size_t i = 2; i < sizeof(buf); ++i) EXPECT_EQ(buf[i], '\0') << i;
}

TEST(ErrorBufferTest, NullOrNonPositiveLengthWritesNothing) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    CopyError("message", buf, 0);
    CopyError("message", buf, -1);
    CopyError("message", nullptr, 4);
    EXPECT_EQ(std::string(buf, 4), "xxxx");
    CopyError("message", buf, 1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'x');
}

}  // namespace
}  // namespace orvane::csrc
