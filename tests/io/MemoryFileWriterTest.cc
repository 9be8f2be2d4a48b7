#include "io/MemoryFileWriter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "io/InputStream.h"
#include "io/MemoryFileReader.h"
#include "io/OutputStream.h"

namespace orvane::io {
namespace {

TEST(MemoryFileWriterTest, AppendsUntilClosedAndKeepsTheImage) {
    std::string image = "stale bytes from an earlier dump";
    MemoryFileWriter writer(image);
    EXPECT_EQ(image, "");  // a new image, not appended to an old one
    struct Step {
        const char* bytes;
        uint64_t size;
        uint64_t length;
    };
    const Step steps[] = {{"abc", 3, 3}, {"", 0, 3}, {"\0de", 3, 6}};
    for (const Step& s : steps) {
        ASSERT_TRUE(writer.Write(s.bytes, s.size).IsOk());
        EXPECT_EQ(writer.GetLength().Value(), s.length);
    }
    ASSERT_TRUE(writer.Close().IsOk());
    EXPECT_EQ(image, std::string("abc\0de", 6));
    EXPECT_FALSE(writer.Write("x", 1).IsOk());
    EXPECT_EQ(image.size(), 6u);
}

TEST(MemoryFileWriterTest, ImageReadsBackThroughTheMemoryReader) {
    std::string image;
    {
        OutputStream out(std::make_unique<MemoryFileWriter>(image));
        ASSERT_TRUE(out.Init({}).IsOk());
        ASSERT_TRUE(out.Write("payload", 7).IsOk());
        ASSERT_TRUE(out.SealSection("s", 8).IsOk());
        ASSERT_TRUE(out.Close().IsOk());
    }
    InputStream in(std::make_unique<MemoryFileReader>(image));
    ASSERT_TRUE(in.Open({}).IsOk());
    auto section = in.GetSectionReader("s");
    ASSERT_TRUE(section.IsOk());
    std::vector<char> got(7);
    ASSERT_TRUE(section.Value()->Read(0, 7, got).IsOk());
    EXPECT_EQ(std::string(got.begin(), got.end()), "payload");
}

}  // namespace
}  // namespace orvane::io
