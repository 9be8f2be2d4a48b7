#include "io/InputStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "orvane/api/Options.h"
#include "orvane/io/FileReader.h"
#include "io/IoTestUtil.h"
#include "io/LocalFileReader.h"
#include "io/MemoryFileReader.h"
#include "io/MmapFileReader.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::io {
namespace {

using core::ErrorCode;
using core::Status;
using testing::TempDir;
using testutil::ProbeReader;
using testutil::SectionSpec;

enum class ReaderKind { Local, Mmap, Memory };

std::string KindName(const ::testing::TestParamInfo<ReaderKind>& info) {
    switch (info.param) {
        case ReaderKind::Local:
            return "Local";
        case ReaderKind::Mmap:
            return "Mmap";
        case ReaderKind::Memory:
            return "Memory";
    }
    return "Unknown";
}

// The same file, read back through every reader kind and every read path.
class InputStreamRoundTripTest : public ::testing::TestWithParam<ReaderKind> {
  protected:
    static void SetUpTestSuite() {
        _sections = new std::vector<SectionSpec>{
            {"alpha", "0123456789", 8},
            {"beta", testutil::RandomBytes(5000, 1), 4096},
            {"empty", "", 16},
            // Larger than one verification chunk, so VerifyCrc streams it in pieces.
            {"big",
             testutil::RandomBytes(InputStream::SectionReader::kVerifyChunkSize * 2 + 123, 2), 1},
        };
        _file = new std::string(testutil::BuildFile(*_sections));
    }
    static void TearDownTestSuite() {
        delete _sections;
        delete _file;
    }

    // The file with `bytes` changed, opened by the reader kind under test.
    std::unique_ptr<FileReader> MakeReader(const std::string& bytes) {
        const std::string path = _dir.File("index_" + std::to_string(_files++) + ".bin");
        switch (GetParam()) {
            case ReaderKind::Local: {
                testing::WriteFileBytes(path, bytes);
                auto r = CreateFileReader(orvane::api::IOOptions{{"index.path", path}});
                EXPECT_TRUE(r.IsOk());
                return r.TakeValue();
            }
            case ReaderKind::Mmap: {
                testing::WriteFileBytes(path, bytes);
                auto r = MmapFileReader::Create(path, MmapFileReader::LockMode::Populate);
                EXPECT_TRUE(r.IsOk());
                return r.TakeValue();
            }
            case ReaderKind::Memory:
                return std::make_unique<MemoryFileReader>(bytes);
        }
        return nullptr;
    }
    InputStream OpenStream(const std::string& bytes, bool verify) {
        InputStream stream(MakeReader(bytes));
        EXPECT_TRUE(stream.Open(orvane::api::IOOptions{{"io.verify_crc", verify}}).IsOk());
        return stream;
    }
    // The padded bytes of a section as written.
    static std::string Padded(const SectionSpec& s) {
        const uint64_t pad = (s.align - s.payload.size() % s.align) % s.align;
        return s.payload + std::string(pad, '\0');
    }
    bool InPlaceSupported() const { return GetParam() != ReaderKind::Local; }

    static std::vector<SectionSpec>* _sections;
    static std::string* _file;
    TempDir _dir;
    int _files = 0;
};

std::vector<SectionSpec>* InputStreamRoundTripTest::_sections = nullptr;
std::string* InputStreamRoundTripTest::_file = nullptr;

// The array read every section loader uses: the values at an offset replace
// what the vector held, and a read past the section is refused.
TEST_P(InputStreamRoundTripTest, ArrayReadsReplaceTheVectorByTheStoredValues) {
    InputStream stream = OpenStream(*_file, false);
    auto got = stream.GetSectionReader("beta");
    ASSERT_TRUE(got.IsOk());
    const std::string& payload = (*_sections)[1].payload;
    struct Case {
        uint64_t offset;
        uint64_t count;
        bool ok;
    };
    const Case cases[] = {{0, 0, true},    {0, 1, true},     {4, 1000, true},
                          {400, 1150, true}, {4996, 1, true}, {4997, 1024, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "offset " << c.offset << " count " << c.count);
        std::vector<uint32_t> values(7, 0xdeadbeef);
        const Status status = got.Value()->ReadArray(c.offset, c.count, values);
        ASSERT_EQ(status.IsOk(), c.ok) << status.Message();
        if (!c.ok) continue;
        std::vector<uint32_t> expected(c.count);
        if (c.count != 0) std::memcpy(expected.data(), payload.data() + c.offset, c.count * 4);
        EXPECT_EQ(values, expected);
    }
}

TEST_P(InputStreamRoundTripTest, EveryReadPathReturnsTheWrittenBytes) {
    for (bool verify : {false, true}) {
        InputStream stream = OpenStream(*_file, verify);
        EXPECT_EQ(stream.SectionMetas().size(), _sections->size());
        for (const SectionSpec& wanted : *_sections) {
            SCOPED_TRACE(wanted.name);
            auto got = stream.GetSectionReader(wanted.name);
            ASSERT_TRUE(got.IsOk()) << got.GetStatus().Message();
            const auto& reader = *got.Value();
            const std::string expected = Padded(wanted);
            ASSERT_EQ(reader.SectionSize(), expected.size());
            EXPECT_EQ(reader.SectionPayloadSize(), wanted.payload.size());

            std::string copy(expected.size(), '\x7f');
            ASSERT_TRUE(reader.Read(0, copy.size(), copy).IsOk());
            EXPECT_TRUE(copy == expected);

            std::string async(expected.size(), '\x7f');
            ASSERT_TRUE(testutil::ReadOne(reader, 0, async.size(), async.data()).IsOk());
            EXPECT_TRUE(async == expected);

            auto inPlace = reader.Read(0, expected.size());
            if (InPlaceSupported()) {
                ASSERT_TRUE(inPlace.IsOk());
                EXPECT_TRUE(std::string(inPlace.Value().data(), inPlace.Value().size()) ==
                            expected);
            } else {
                EXPECT_EQ(inPlace.GetStatus().Code(), ErrorCode::NotSupported);
                EXPECT_EQ(inPlace.GetStatus().Message(), "Peek not implemented");
            }
            EXPECT_TRUE(reader.VerifyCrc().IsOk());
        }
        EXPECT_TRUE(stream.Close().IsOk());
    }
}

TEST_P(InputStreamRoundTripTest, PartialReadsAtOffsets) {
    InputStream stream = OpenStream(*_file, false);
    auto beta = stream.GetSectionReader("beta").TakeValue();
    const std::string& payload = (*_sections)[1].payload;
    std::string buf(100, '\0');
    ASSERT_TRUE(beta->Read(4900, 100, buf).IsOk());
    EXPECT_EQ(buf, payload.substr(4900, 100));
    // Padding bytes are in bounds and read as zero.
    ASSERT_TRUE(beta->Read(5000, 100, buf).IsOk());
    EXPECT_EQ(buf, std::string(100, '\0'));
    std::string async(64, '\0');
    ASSERT_TRUE(testutil::ReadOne(*beta, 17, 64, async.data()).IsOk());
    EXPECT_EQ(async, payload.substr(17, 64));
    if (InPlaceSupported()) {
        auto view = beta->Read(1000, 10);
        ASSERT_TRUE(view.IsOk());
        EXPECT_EQ(std::string(view.Value().data(), 10), payload.substr(1000, 10));
    }
}

TEST_P(InputStreamRoundTripTest, BoundsAreCheckedAgainstThePaddedSize) {
    InputStream stream = OpenStream(*_file, false);
    auto alpha = stream.GetSectionReader("alpha").TakeValue();  // 10 bytes + 6 padding
    EXPECT_EQ(alpha->SectionSize(), 16u);
    EXPECT_EQ(alpha->SectionPayloadSize(), alpha->SectionSize() - 6);
    std::string buf(32, '\0');
    auto st = alpha->Read(10, 20, buf);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Read out of bounds, offset[10], length [20], size [16]");
    EXPECT_TRUE(alpha->Read(16, 0, buf).IsOk());
    st = alpha->Read(17, 0, buf);
    EXPECT_EQ(st.Message(), "Read out of bounds, offset[17], length [0], size [16]");
    st = alpha->Read(1, UINT64_MAX, buf);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    st = alpha->Read(0, 16, std::span<char>(buf.data(), 15));
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Buffer too small");

    EXPECT_EQ(testutil::ReadOne(*alpha, 8, 9, buf.data()).Message(), "Read out of bounds");
    EXPECT_EQ(testutil::ReadOne(*alpha, UINT64_MAX, 1, buf.data()).Message(),
              "Read out of bounds");
    EXPECT_TRUE(testutil::ReadOne(*alpha, 16, 0, buf.data()).IsOk());
    auto view = alpha->Read(8, 9);
    EXPECT_EQ(view.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(view.GetStatus().Message(), "Read out of bounds");
}

TEST_P(InputStreamRoundTripTest, CorruptSectionIsCaughtOnlyWhenVerifying) {
    std::string damaged = *_file;
    auto clean = OpenStream(*_file, false);
    const SectionMeta beta = clean.SectionMetas().at("beta");
    damaged[beta.sectionDataOffset + 2500] ^= 0x10;

    InputStream lax = OpenStream(damaged, false);
    auto reader = lax.GetSectionReader("beta");
    ASSERT_TRUE(reader.IsOk());
    auto st = reader.Value()->VerifyCrc();
    EXPECT_EQ(st.Code(), ErrorCode::Corruption);
    EXPECT_EQ(st.Message(), "Data corruption detected: CRC mismatch.");

    InputStream strict = OpenStream(damaged, true);
    auto refused = strict.GetSectionReader("beta");
    ASSERT_FALSE(refused.IsOk());
    EXPECT_EQ(refused.GetStatus().Code(), ErrorCode::Corruption);
    EXPECT_EQ(refused.GetStatus().Message(), "Data corruption detected: CRC mismatch.");
    EXPECT_TRUE(strict.GetSectionReader("alpha").IsOk());
    EXPECT_TRUE(strict.GetSectionReader("big").IsOk());
}

TEST_P(InputStreamRoundTripTest, CorruptPaddingAndLateChunksAreCaught) {
    auto clean = OpenStream(*_file, false);
    const SectionMeta alpha = clean.SectionMetas().at("alpha");
    const SectionMeta big = clean.SectionMetas().at("big");
    std::string damaged = *_file;
    damaged[alpha.sectionDataOffset + 13] = 1;                  // inside the padding
    damaged[big.sectionDataOffset + big.dataSize - 1] ^= 0x01;  // in the last chunk
    InputStream strict = OpenStream(damaged, true);
    EXPECT_EQ(strict.GetSectionReader("alpha").GetStatus().Code(), ErrorCode::Corruption);
    EXPECT_EQ(strict.GetSectionReader("big").GetStatus().Code(), ErrorCode::Corruption);
    EXPECT_TRUE(strict.GetSectionReader("beta").IsOk());
}

TEST_P(InputStreamRoundTripTest, ClosedStreamReadersReportTheReaderStatus) {
    InputStream stream = OpenStream(*_file, false);
    auto alpha = stream.GetSectionReader("alpha").TakeValue();
    ASSERT_TRUE(stream.Close().IsOk());
    std::string buf(16, '\0');
    auto st = alpha->Read(0, 4, buf);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "File is already closed");
    EXPECT_EQ(testutil::ReadOne(*alpha, 0, 4, buf.data()).Message(), "File is already closed");
    EXPECT_EQ(alpha->VerifyCrc().Message(), "File is already closed");
    if (InPlaceSupported()) {
        EXPECT_EQ(alpha->Read(0, 4).GetStatus().Message(), "File is already closed");
    }
    // The table stays loaded; a new reader is made and fails the same way.
    auto again = stream.GetSectionReader("alpha");
    ASSERT_TRUE(again.IsOk());
    EXPECT_NE(again.Value().get(), alpha.get());
    EXPECT_EQ(again.Value()->Read(0, 4, buf).Message(), "File is already closed");
}

TEST_P(InputStreamRoundTripTest, SectionReadersKeepTheFileOpen) {
    std::shared_ptr<InputStream::SectionReader> beta;
    {
        InputStream stream = OpenStream(*_file, false);
        beta = stream.GetSectionReader("beta").TakeValue();
    }
    std::string buf(10, '\0');
    ASSERT_TRUE(beta->Read(0, 10, buf).IsOk());
    EXPECT_EQ(buf, (*_sections)[1].payload.substr(0, 10));
    ASSERT_TRUE(testutil::ReadOne(*beta, 5, 10, buf.data()).IsOk());
    EXPECT_EQ(buf, (*_sections)[1].payload.substr(5, 10));
}

INSTANTIATE_TEST_SUITE_P(AllReaders, InputStreamRoundTripTest,
                         ::testing::Values(ReaderKind::Local, ReaderKind::Mmap, ReaderKind::Memory),
                         KindName);

// ---- behaviour observed through a probing reader ----------------------------

std::unique_ptr<ProbeReader> Probe(const std::string& bytes) {
    return std::make_unique<ProbeReader>(std::make_unique<MemoryFileReader>(bytes));
}

TEST(InputStreamSectionTest, SameSectionTwiceIsOneReaderVerifiedOnce) {
    const std::string file = testutil::BuildFile({{"a", "abcdef", 1}, {"b", "xyz", 1}});
    auto probe = Probe(file);
    ProbeReader* raw = probe.get();
    InputStream stream(std::move(probe));
    ASSERT_TRUE(stream.Open(orvane::api::IOOptions{{"io.verify_crc", true}}).IsOk());
    const int readsAfterOpen = raw->Reads();
    auto first = stream.GetSectionReader("a");
    ASSERT_TRUE(first.IsOk());
    const int readsAfterVerify = raw->Reads();
    EXPECT_GT(readsAfterVerify, readsAfterOpen);
    auto second = stream.GetSectionReader("a");
    ASSERT_TRUE(second.IsOk());
    EXPECT_EQ(first.Value().get(), second.Value().get());
    EXPECT_EQ(raw->Reads(), readsAfterVerify);
}

TEST(InputStreamSectionTest, FailedVerificationIsNotCached) {
    std::string file = testutil::BuildFile({{"a", "abcdef", 1}});
    file[64] ^= 1;
    auto probe = Probe(file);
    ProbeReader* raw = probe.get();
    InputStream stream(std::move(probe));
    ASSERT_TRUE(stream.Open(orvane::api::IOOptions{{"io.verify_crc", true}}).IsOk());
    EXPECT_FALSE(stream.GetSectionReader("a").IsOk());
    const int reads = raw->Reads();
    EXPECT_FALSE(stream.GetSectionReader("a").IsOk());
    EXPECT_GT(raw->Reads(), reads);  // verified again
}

TEST(InputStreamSectionTest, NonBooleanVerifyOptionMeansNoVerification) {
    std::string file = testutil::BuildFile({{"a", "abcdef", 1}});
    file[64] ^= 1;
    InputStream stream(std::make_unique<MemoryFileReader>(file));
    ASSERT_TRUE(stream.Open(orvane::api::IOOptions{{"io.verify_crc", std::string("true")}}).IsOk());
    EXPECT_TRUE(stream.GetSectionReader("a").IsOk());
}

TEST(InputStreamSectionTest, ShortPeekIsReportedAsTruncation) {
    const std::string file = testutil::BuildFile({{"a", "abcdef", 1}});
    auto probe = Probe(file);
    probe->shortenPeek = true;
    InputStream stream(std::move(probe));
    ASSERT_TRUE(stream.Open({}).IsOk());
    auto view = stream.GetSectionReader("a").Value()->Read(0, 6);
    EXPECT_EQ(view.GetStatus().Code(), ErrorCode::Corruption);
    EXPECT_EQ(view.GetStatus().Message(),
              "Peek length mismatch, data may be truncated or corrupted");
}

TEST(InputStreamSectionTest, ReaderWithoutAsyncSupportCompletesUnimplemented) {
    const std::string file = testutil::BuildFile({{"a", "abcdef", 1}});
    auto memory = std::make_shared<MemoryFileReader>(file);
    // A section reader over a reader that keeps the base asynchronous read.
    struct SyncOnly : FileReader {
        explicit SyncOnly(std::shared_ptr<FileReader> r) : inner(std::move(r)) {}
        Status Read(char* d, uint64_t n) override { return inner->Read(d, n); }
        Status Close() override { return inner->Close(); }
        core::Result<uint64_t> GetLength() override { return inner->GetLength(); }
        core::Result<uint64_t> GetPosition() override { return inner->GetPosition(); }
        Status Seek(uint64_t o) override { return inner->Seek(o); }
        std::shared_ptr<FileReader> inner;
    };
    InputStream::SectionReader reader(64, 6, 0, 0, std::make_shared<SyncOnly>(memory));
    char buf[6];
    auto st = testutil::ReadOne(reader, 0, 6, buf);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Unimplemented.");
    EXPECT_EQ(reader.Read(0, 6).GetStatus().Message(), "Peek not implemented");
    ASSERT_TRUE(reader.Read(0, 6, buf).IsOk());
    EXPECT_EQ(std::string(buf, 6), "abcdef");
}

TEST(InputStreamSectionTest, OverflowingSectionIsOutOfBounds) {
    // A section reader whose end would not fit in 64 bits refuses every read.
    auto memory = std::make_shared<MemoryFileReader>(std::string(128, 'x'));
    InputStream::SectionReader reader(UINT64_MAX - 4, 16, 0, 0, memory);
    char buf[16];
    EXPECT_EQ(reader.Read(8, 4, buf).Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(testutil::ReadOne(reader, 8, 4, buf).Message(), "Read out of bounds");
    EXPECT_EQ(reader.Read(8, 4).GetStatus().Message(), "Read out of bounds");
}

}  // namespace
}  // namespace orvane::io
