#include "io/OutputStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "io/Crc32c.h"
#include "io/FileFormat.h"
#include "io/IoTestUtil.h"

namespace orvane::io {
namespace {

using core::ErrorCode;
using testutil::StringWriter;

template <typename T>
T RecordAt(const std::string& file, uint64_t offset) {
    T record;
    EXPECT_LE(offset + sizeof(T), file.size());
    std::memcpy(&record, file.data() + offset, sizeof(T));
    return record;
}

uint32_t Le32(const std::string& file, size_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(file.data() + offset);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

class OutputStreamTest : public ::testing::Test {
  protected:
    std::shared_ptr<std::string> _out = std::make_shared<std::string>();
    OutputStream MakeStream(int failAtWrite = -1) {
        return OutputStream(std::make_unique<StringWriter>(_out, failAtWrite));
    }
};

TEST_F(OutputStreamTest, EmptyStreamIs128BytesWithExactHeaderAndFooter) {
    OutputStream stream = MakeStream();
    ASSERT_TRUE(stream.Init({}).IsOk());
    ASSERT_TRUE(stream.Close().IsOk());
    const std::string& file = *_out;
    ASSERT_EQ(file.size(), 128u);

    // Header, checked field by field from raw little-endian bytes.
    EXPECT_EQ(Le32(file, 0), 64u);  // dataOffset low word
    EXPECT_EQ(Le32(file, 4), 0u);
    EXPECT_EQ(Le32(file, 8), 0x0125E591u);
    EXPECT_EQ(Le32(file, 12), 0u);
    EXPECT_EQ(Le32(file, 16), 64u);
    EXPECT_EQ(Le32(file, 20), 64u);
    std::string covered = file.substr(0, 28);
    std::memset(covered.data() + 24, 0, 4);
    EXPECT_EQ(Le32(file, 24), Crc32c::Mask(Crc32c::Value(covered.substr(0, 28))));
    for (size_t i = 28; i < 64; ++i) EXPECT_EQ(file[i], 0) << i;

    // Footer: sectionMetaOffset 64, count 0, CRC over bytes 0..15 with CRC zeroed.
    EXPECT_EQ(Le32(file, 64), 64u);
    EXPECT_EQ(Le32(file, 68), 0u);
    EXPECT_EQ(Le32(file, 72), 0u);
    std::string footerCovered = file.substr(64, 16);
    std::memset(footerCovered.data() + 12, 0, 4);
    EXPECT_EQ(Le32(file, 76), Crc32c::Mask(Crc32c::Value(footerCovered)));
    for (size_t i = 80; i < 128; ++i) EXPECT_EQ(file[i], 0) << i;
}

TEST_F(OutputStreamTest, TwoAlignedSectionsLandBackToBack) {
    OutputStream stream = MakeStream();
    ASSERT_TRUE(stream.Init({}).IsOk());
    ASSERT_TRUE(stream.Write("abcd", 4).IsOk());
    ASSERT_TRUE(stream.SealSection("first", 4).IsOk());
    ASSERT_TRUE(stream.Write("01234567", 8).IsOk());
    ASSERT_TRUE(stream.SealSection(std::string("second"), 4).IsOk());
    ASSERT_TRUE(stream.Close().IsOk());
    const std::string& file = *_out;

    const auto footer = RecordAt<FileFooter>(file, file.size() - 64);
    EXPECT_EQ(footer.sectionMetaOffset, 76u);
    EXPECT_EQ(footer.sectionCount, 2u);
    EXPECT_EQ(file.size(), 76u + 2 * 64 + 5 + 6 + 64);

    const auto first = RecordAt<SectionMeta>(file, 76);
    const auto second = RecordAt<SectionMeta>(file, 140);
    EXPECT_EQ(first.sectionDataOffset, 64u);
    EXPECT_EQ(first.dataSize, 4u);
    EXPECT_EQ(first.paddingSize, 0u);
    EXPECT_EQ(first.dataCrc, Crc32c::Mask(Crc32c::Value(std::string_view("abcd"))));
    EXPECT_EQ(first.sectionNameOffset, 76u + 128);
    EXPECT_EQ(first.sectionNameSize, 5u);
    EXPECT_EQ(second.sectionDataOffset, 68u);
    EXPECT_EQ(second.dataSize, 8u);
    EXPECT_EQ(second.sectionNameOffset, 76u + 128 + 5);
    EXPECT_EQ(second.sectionNameSize, 6u);
    for (uint32_t r : second.reserved) EXPECT_EQ(r, 0u);
    EXPECT_EQ(file.substr(64, 12), "abcd01234567");
    EXPECT_EQ(file.substr(204, 11), "firstsecond");
}

TEST_F(OutputStreamTest, PaddingCountsIntoSectionAndCrc) {
    OutputStream stream = MakeStream();
    ASSERT_TRUE(stream.Init({}).IsOk());
    const std::string payload = "0123456789";
    ASSERT_TRUE(stream.Write(payload.data(), payload.size()).IsOk());
    ASSERT_TRUE(stream.SealSection("padded", 8).IsOk());
    ASSERT_TRUE(stream.Write(payload.data(), payload.size()).IsOk());
    ASSERT_TRUE(stream.SealSection("unpadded", 1).IsOk());
    ASSERT_TRUE(stream.Close().IsOk());
    const std::string& file = *_out;

    const auto footer = RecordAt<FileFooter>(file, file.size() - 64);
    const auto padded = RecordAt<SectionMeta>(file, footer.sectionMetaOffset);
    const auto unpadded = RecordAt<SectionMeta>(file, footer.sectionMetaOffset + 64);
    EXPECT_EQ(padded.dataSize, 16u);
    EXPECT_EQ(padded.paddingSize, 6u);
    EXPECT_EQ(file.substr(74, 6), std::string(6, '\0'));
    EXPECT_EQ(padded.dataCrc, Crc32c::Mask(Crc32c::Value(payload + std::string(6, '\0'))));
    EXPECT_EQ(unpadded.sectionDataOffset, 80u);
    EXPECT_EQ(unpadded.dataSize, 10u);
    EXPECT_EQ(unpadded.paddingSize, 0u);
    EXPECT_EQ(footer.sectionMetaOffset, 90u);
}

TEST_F(OutputStreamTest, EmptySectionHasMaskOfZeroCrc) {
    OutputStream stream = MakeStream();
    ASSERT_TRUE(stream.Init({}).IsOk());
    ASSERT_TRUE(stream.Write("xyz", 3).IsOk());
    ASSERT_TRUE(stream.SealSection("a", 1).IsOk());
    ASSERT_TRUE(stream.SealSection("empty", 64).IsOk());
    ASSERT_TRUE(stream.Close().IsOk());
    const std::string& file = *_out;
    const auto footer = RecordAt<FileFooter>(file, file.size() - 64);
    const auto empty = RecordAt<SectionMeta>(file, footer.sectionMetaOffset + 64);
    EXPECT_EQ(empty.dataSize, 0u);
    EXPECT_EQ(empty.paddingSize, 0u);
    EXPECT_EQ(empty.sectionDataOffset, 67u);
    EXPECT_EQ(empty.dataCrc, 0xA282EAD8u);
}

TEST_F(OutputStreamTest, WriteObjWritesInMemoryImage) {
    struct Meta {
        uint32_t a;
        uint64_t b;
    };
    OutputStream stream = MakeStream();
    ASSERT_TRUE(stream.Init({}).IsOk());
    const Meta meta{0x01020304u, 0x1122334455667788ull};
    ASSERT_TRUE(stream.WriteObj(meta).IsOk());
    EXPECT_EQ(stream.Sections().back().dataSize, sizeof(Meta));
    EXPECT_EQ(std::memcmp(_out->data() + 64, &meta, sizeof(Meta)), 0);
}

TEST_F(OutputStreamTest, WriteBeforeInitIsRefused) {
    OutputStream stream = MakeStream();
    auto st = stream.Write("a", 1);
    EXPECT_EQ(st.Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(st.Message(), "No active section to write.");
    EXPECT_EQ(stream.SealSection("a", 1).Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(stream.Close().Code(), ErrorCode::FailedPrecondition);
    EXPECT_TRUE(_out->empty());
}

TEST_F(OutputStreamTest, NullDataIsRefusedWithoutDamagingTheSection) {
    OutputStream stream = MakeStream();
    ASSERT_TRUE(stream.Init({}).IsOk());
    ASSERT_TRUE(stream.Write("ab", 2).IsOk());
    auto st = stream.Write(nullptr, 5);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Data pointer is null");
    EXPECT_TRUE(stream.Write(nullptr, 0).IsOk());
    EXPECT_EQ(stream.Sections().back().dataSize, 2u);
    ASSERT_TRUE(stream.SealSection("s", 1).IsOk());
    ASSERT_TRUE(stream.Close().IsOk());
    const auto footer = RecordAt<FileFooter>(*_out, _out->size() - 64);
    const auto s = RecordAt<SectionMeta>(*_out, footer.sectionMetaOffset);
    EXPECT_EQ(s.dataSize, 2u);
    EXPECT_EQ(s.dataCrc, Crc32c::Mask(Crc32c::Value(std::string_view("ab"))));
}

TEST_F(OutputStreamTest, SealRejectsZeroAlignmentAndDuplicateOrEmptyNames) {
    OutputStream stream = MakeStream();
    ASSERT_TRUE(stream.Init({}).IsOk());
    ASSERT_TRUE(stream.Write("abc", 3).IsOk());
    auto st = stream.SealSection("s", 0);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "alignSize is 0.");
    st = stream.SealSection("", 1);
    EXPECT_EQ(st.Code(), ErrorCode::AlreadyExists);
    EXPECT_EQ(st.Message(), "section name exists");
    ASSERT_TRUE(stream.SealSection("s", 1).IsOk());
    ASSERT_TRUE(stream.Write("defg", 4).IsOk());
    st = stream.SealSection("s", 1);
    EXPECT_EQ(st.Code(), ErrorCode::AlreadyExists);
    EXPECT_EQ(st.Message(), "section name exists");
    // The refused seal changed nothing: the bytes are sealed under another name.
    ASSERT_TRUE(stream.SealSection("t", 1).IsOk());
    ASSERT_TRUE(stream.Close().IsOk());
    const auto footer = RecordAt<FileFooter>(*_out, _out->size() - 64);
    const auto t = RecordAt<SectionMeta>(*_out, footer.sectionMetaOffset + 64);
    EXPECT_EQ(t.dataSize, 4u);
    EXPECT_EQ(t.dataCrc, Crc32c::Mask(Crc32c::Value(std::string_view("defg"))));
}

TEST_F(OutputStreamTest, CloseWithUnsealedBytesFailsAndWritesNothing) {
    auto writerOut = _out;
    auto writer = std::make_unique<StringWriter>(writerOut);
    StringWriter* raw = writer.get();
    OutputStream stream(std::move(writer));
    ASSERT_TRUE(stream.Init({}).IsOk());
    ASSERT_TRUE(stream.Write("pending", 7).IsOk());
    const size_t before = _out->size();
    auto st = stream.Close();
    EXPECT_EQ(st.Code(), ErrorCode::Corruption);
    EXPECT_EQ(st.Message(), "last section is not sealed.");
    EXPECT_EQ(_out->size(), before);
    EXPECT_EQ(raw->Closes(), 0);
    // Sealing then closing still works.
    ASSERT_TRUE(stream.SealSection("late", 1).IsOk());
    ASSERT_TRUE(stream.Close().IsOk());
    EXPECT_EQ(raw->Closes(), 1);
}

TEST_F(OutputStreamTest, UseAfterCloseIsRefused) {
    OutputStream stream = MakeStream();
    ASSERT_TRUE(stream.Init({}).IsOk());
    ASSERT_TRUE(stream.Close().IsOk());
    const size_t size = _out->size();
    EXPECT_EQ(stream.Write("a", 1).Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(stream.SealSection("a", 1).Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(stream.Close().Code(), ErrorCode::FailedPrecondition);
    EXPECT_EQ(_out->size(), size);
}

TEST_F(OutputStreamTest, WriterFailuresPassThroughUnchanged) {
    // Write #0 is the header, #1 the payload, #2 the padding, #3 the first table record.
    for (int failAt = 0; failAt < 6; ++failAt) {
        _out = std::make_shared<std::string>();
        OutputStream stream = MakeStream(failAt);
        core::Status st = stream.Init({});
        if (st.IsOk()) st = stream.Write("abc", 3);
        if (st.IsOk()) st = stream.SealSection("s", 8);
        if (st.IsOk()) st = stream.Close();
        EXPECT_EQ(st.Code(), ErrorCode::IoError) << failAt;
        EXPECT_EQ(st.Message(), "injected") << failAt;
    }
}

TEST_F(OutputStreamTest, MovedStreamKeepsWriting) {
    OutputStream first = MakeStream();
    ASSERT_TRUE(first.Init({}).IsOk());
    ASSERT_TRUE(first.Write("ab", 2).IsOk());
    OutputStream second(std::move(first));
    ASSERT_TRUE(second.SealSection("ab", 1).IsOk());
    ASSERT_TRUE(second.Close().IsOk());
    EXPECT_EQ(_out->size(), 64u + 2 + 64 + 2 + 64);
}

}  // namespace
}  // namespace orvane::io
