#include "io/MmapFileReader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "io/IoTestUtil.h"
#include "io/MemoryFileReader.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"

namespace orvane::io {
namespace {

using core::ErrorCode;
using core::Status;
using LockMode = MmapFileReader::LockMode;
using testing::TempDir;
using testutil::RandomBytes;

class MmapFileReaderTest : public ::testing::TestWithParam<LockMode> {
  protected:
    void SetUp() override {
        _contents = RandomBytes(5000, 17);
        _path = _dir.File("data.bin");
        testing::WriteFileBytes(_path, _contents);
    }
    std::unique_ptr<MmapFileReader> Open() {
        auto reader = MmapFileReader::Create(_path, GetParam());
        EXPECT_TRUE(reader.IsOk());
        return reader.TakeValue();
    }

    TempDir _dir;
    std::string _path;
    std::string _contents;
};

TEST_P(MmapFileReaderTest, ReadsSeeksAndPeeks) {
    auto reader = Open();
    EXPECT_EQ(reader->GetLockMode(), GetParam());
    EXPECT_EQ(reader->GetLength().Value(), 5000u);
    std::string buf(64, '\0');
    ASSERT_TRUE(reader->Read(buf.data(), 64).IsOk());
    EXPECT_EQ(buf, _contents.substr(0, 64));
    EXPECT_EQ(reader->GetPosition().Value(), 64u);
    ASSERT_TRUE(reader->Seek(4990).IsOk());
    auto st = reader->Read(buf.data(), 11);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Read beyond file size");
    EXPECT_EQ(reader->Read(buf.data(), UINT64_MAX).Message(), "Read beyond file size");
    ASSERT_TRUE(reader->Read(buf.data(), 10).IsOk());
    EXPECT_EQ(buf.substr(0, 10), _contents.substr(4990));
    EXPECT_EQ(reader->Seek(5001).Message(), "Seek beyond file size");

    auto view = reader->Peek(100, 50);
    ASSERT_TRUE(view.IsOk());
    EXPECT_EQ(std::string(view.Value().data, view.Value().size), _contents.substr(100, 50));
    view = reader->Peek(5000 - 4, 16);
    ASSERT_TRUE(view.IsOk());
    EXPECT_EQ(view.Value().size, 4u);  // shortened at the end
    view = reader->Peek(5000, 0);
    ASSERT_TRUE(view.IsOk());
    EXPECT_EQ(view.Value().size, 0u);
    view = reader->Peek(5001, 0);
    ASSERT_FALSE(view.IsOk());
    EXPECT_EQ(view.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(view.GetStatus().Message(), "Offset beyond file size");
}

TEST_P(MmapFileReaderTest, AsyncReadsCompleteInline) {
    auto reader = Open();
    std::string buf(40, '\0');
    bool called = false;
    reader->ReadAsync(buf.data(), 40, 77, [&](Status st) {
        EXPECT_TRUE(st.IsOk());
        called = true;
    });
    EXPECT_TRUE(called);
    EXPECT_EQ(buf, _contents.substr(77, 40));
    Status got;
    reader->ReadAsync(buf.data(), 40, 4961, [&](Status st) { got = st; });
    EXPECT_EQ(got.Message(), "Read beyond file size");
    reader->ReadAsync(nullptr, 40, 0, [&](Status st) { got = st; });
    EXPECT_EQ(got.Message(), "Data pointer is null");
    reader->ReadAsync(buf.data(), 0, 99999, [&](Status st) { got = st; });
    EXPECT_TRUE(got.IsOk());
    reader->ReadAsync(buf.data(), 1, 0, FileReader::Completion());  // ignored, no crash
}

TEST_P(MmapFileReaderTest, ClosedReaderRefusesButKeepsAnswering) {
    auto reader = Open();
    ASSERT_TRUE(reader->Close().IsOk());
    char c;
    EXPECT_EQ(reader->Read(&c, 1).Message(), "File is already closed");
    EXPECT_EQ(reader->Read(&c, 1).Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(reader->Seek(0).Message(), "File is already closed");
    EXPECT_EQ(reader->Peek(0, 1).GetStatus().Message(), "File is already closed");
    Status got;
    reader->ReadAsync(&c, 1, 0, [&](Status st) { got = st; });
    EXPECT_EQ(got.Message(), "File is already closed");
    EXPECT_EQ(reader->GetLength().Value(), 5000u);
    EXPECT_TRUE(reader->GetPosition().IsOk());
    EXPECT_TRUE(reader->Close().IsOk());
}

TEST_P(MmapFileReaderTest, ConcurrentPeekAndAsyncReadStress) {
    auto reader = Open();
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            std::string buf(32, '\0');
            for (int i = 0; i < 2000; ++i) {
                const uint64_t off = rng() % (5000 - 32);
                auto view = reader->Peek(off, 32);
                if (!view.IsOk() || std::string(view.Value().data, 32) != _contents.substr(off, 32))
                    ++bad;
                reader->ReadAsync(buf.data(), 32, off, [&](Status st) {
                    if (!st.IsOk() || buf != _contents.substr(off, 32)) ++bad;
                });
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllLockModes, MmapFileReaderTest,
                         ::testing::Values(LockMode::None, LockMode::Mlock, LockMode::Populate),
                         [](const ::testing::TestParamInfo<LockMode>& info) {
                             switch (info.param) {
                                 case LockMode::None:
                                     return std::string("None");
                                 case LockMode::Mlock:
                                     return std::string("Mlock");
                                 case LockMode::Populate:
                                     return std::string("Populate");
                             }
                             return std::string("Unknown");
                         });

TEST(MmapFileReaderOpenTest, EmptyFileOpensWithNothingMapped) {
    TempDir dir;
    testing::WriteFileBytes(dir.File("empty"), "");
    auto reader = MmapFileReader::Create(dir.File("empty"), LockMode::Mlock);
    ASSERT_TRUE(reader.IsOk());
    EXPECT_EQ(reader.Value()->GetLength().Value(), 0u);
    char c;
    auto st = reader.Value()->Read(&c, 1);
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message(), "File is not mapped");
    EXPECT_EQ(reader.Value()->Peek(0, 0).GetStatus().Message(), "File is not mapped");
    EXPECT_TRUE(reader.Value()->Seek(0).IsOk());
    EXPECT_TRUE(reader.Value()->Close().IsOk());
}

TEST(MmapFileReaderOpenTest, OpenFailures) {
    auto empty = MmapFileReader::Create("", LockMode::None);
    ASSERT_FALSE(empty.IsOk());
    EXPECT_EQ(empty.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(empty.GetStatus().Message(), "File path is empty");

    TempDir dir;
    const std::string missing = dir.File("missing");
    auto absent = MmapFileReader::Create(missing, LockMode::None);
    ASSERT_FALSE(absent.IsOk());
    EXPECT_EQ(absent.GetStatus().Code(), ErrorCode::IoError);
    EXPECT_EQ(absent.GetStatus().Message(),
              "Failed to open file: " + missing + ", " + std::strerror(ENOENT));

    // A directory opens and stats but cannot be mapped.
    auto directory = MmapFileReader::Create(dir.path().string(), LockMode::None);
    ASSERT_FALSE(directory.IsOk());
    EXPECT_EQ(directory.GetStatus().Code(), ErrorCode::IoError);
    EXPECT_EQ(directory.GetStatus().Message().rfind("Failed to mmap file: ", 0), 0u)
        << directory.GetStatus().Message();
}

// Whether the process has `path` mapped, read from /proc/self/maps.
bool IsMapped(const std::string& path) {
    return testing::ReadFileBytes("/proc/self/maps").find(path) != std::string::npos;
}

TEST(MmapFileReaderOpenTest, ReopeningReleasesTheOldMappingAndServesTheNewFile) {
    TempDir dir;
    const std::string first = dir.File("first");
    const std::string second = dir.File("second");
    testing::WriteFileBytes(first, "first file");
    testing::WriteFileBytes(second, "second file");
    auto created = MmapFileReader::Create(first, LockMode::None);
    ASSERT_TRUE(created.IsOk());
    MmapFileReader& reader = *created.Value();
    char buf[6];
    ASSERT_TRUE(reader.Seek(3).IsOk());
    ASSERT_TRUE(IsMapped(first));

    // Open on an open reader: the first mapping goes, position starts over.
    ASSERT_TRUE(reader.Open(second, LockMode::None).IsOk());
    EXPECT_FALSE(IsMapped(first));
    EXPECT_EQ(reader.GetPosition().Value(), 0u);
    ASSERT_TRUE(reader.Read(buf, 6).IsOk());
    EXPECT_EQ(std::string(buf, 6), "second");

    // Open after Close: the reader serves reads again.
    ASSERT_TRUE(reader.Close().IsOk());
    EXPECT_FALSE(IsMapped(second));
    ASSERT_TRUE(reader.Open(first, LockMode::None).IsOk());
    ASSERT_TRUE(reader.Read(buf, 5).IsOk());
    EXPECT_EQ(std::string(buf, 5), "first");
    ASSERT_TRUE(reader.Close().IsOk());
}

TEST(MemoryFileReaderTest, BehavesLikeAMapping) {
    MemoryFileReader reader("abcdefgh");
    char buf[4];
    ASSERT_TRUE(reader.Seek(2).IsOk());
    ASSERT_TRUE(reader.Read(buf, 4).IsOk());
    EXPECT_EQ(std::string(buf, 4), "cdef");
    auto view = reader.Peek(6, 10);
    ASSERT_TRUE(view.IsOk());
    EXPECT_EQ(std::string(view.Value().data, view.Value().size), "gh");
    ASSERT_TRUE(reader.Close().IsOk());
    EXPECT_EQ(reader.Peek(0, 1).GetStatus().Message(), "File is already closed");
    MemoryFileReader empty("");
    EXPECT_EQ(empty.Read(buf, 1).Message(), "File is not mapped");
}

}  // namespace
}  // namespace orvane::io
