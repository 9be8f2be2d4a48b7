#include "orvane/io/FileReader.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "orvane/api/Options.h"
#include "io/IoTestUtil.h"
#include "io/LocalFileReader.h"
#include "io/MmapFileReader.h"
#include "testing/FileBytes.h"
#include "testing/LogCapture.h"
#include "testing/TempDir.h"

namespace orvane::io {
namespace {

using core::ErrorCode;
using core::Status;
using testing::LogCapture;
using testing::TempDir;

// A reader implementing only the required operations.
class MinimalReader : public FileReader {
  public:
    Status Read(char*, uint64_t) override { return Status(); }
    Status Close() override { return Status(); }
    core::Result<uint64_t> GetLength() override { return uint64_t{0}; }
    core::Result<uint64_t> GetPosition() override { return uint64_t{0}; }
    Status Seek(uint64_t) override { return Status(); }
};

TEST(FileReaderTest, BaseHasNoAsyncReadsAndNoPeek) {
    MinimalReader reader;
    Status got;
    bool called = false;
    char c;
    reader.ReadAsync(&c, 1, 0, [&](Status st) {
        got = st;
        called = true;
    });
    EXPECT_TRUE(called);
    EXPECT_EQ(got.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(got.Message(), "Unimplemented.");
    auto peek = reader.Peek(0, 1);
    EXPECT_EQ(peek.GetStatus().Code(), ErrorCode::NotSupported);
    EXPECT_EQ(peek.GetStatus().Message(), "Peek not implemented");
}

class CreateFileReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        _path = _dir.File("file.bin");
        testing::WriteFileBytes(_path, "0123456789");
    }
    TempDir _dir;
    std::string _path;
};

TEST_F(CreateFileReaderTest, PathIsRequired) {
    auto r = CreateFileReader({});
    EXPECT_EQ(r.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(r.GetStatus().Message(), "File path not specified in IOOptions");
    r = CreateFileReader(orvane::api::IOOptions{{"index.path", true}});
    EXPECT_EQ(r.GetStatus().Message(), "File path not specified in IOOptions");
}

TEST_F(CreateFileReaderTest, DefaultIsLocalOnTheIoExecutor) {
    auto r = CreateFileReader(orvane::api::IOOptions{{"index.path", _path}});
    ASSERT_TRUE(r.IsOk()) << r.GetStatus().Message();
    EXPECT_NE(dynamic_cast<LocalFileReader*>(r.Value().get()), nullptr);
    std::string buf(4, '\0');
    std::promise<Status> done;
    r.Value()->ReadAsync(buf.data(), 4, 3, [&](Status st) { done.set_value(st); });
    EXPECT_TRUE(done.get_future().get().IsOk());
    EXPECT_EQ(buf, "3456");
    // A non-string type also means local.
    r = CreateFileReader(
        orvane::api::IOOptions{{"index.path", _path}, {"io.reader.type", int64_t{1}}});
    ASSERT_TRUE(r.IsOk());
    EXPECT_NE(dynamic_cast<LocalFileReader*>(r.Value().get()), nullptr);
}

TEST_F(CreateFileReaderTest, MmapWithLockModes) {
    const std::pair<const char*, MmapFileReader::LockMode> cases[] = {
        {"none", MmapFileReader::LockMode::None},
        {"mlock", MmapFileReader::LockMode::Mlock},
        {"populate", MmapFileReader::LockMode::Populate},
    };
    for (const auto& [text, mode] : cases) {
        auto r = CreateFileReader(orvane::api::IOOptions{
            {"index.path", _path}, {"io.reader.type", "mmap"}, {"io.reader.mmap.lock_mode", text}});
        ASSERT_TRUE(r.IsOk());
        auto* mmap = dynamic_cast<MmapFileReader*>(r.Value().get());
        ASSERT_NE(mmap, nullptr);
        EXPECT_EQ(mmap->GetLockMode(), mode);
        EXPECT_EQ(mmap->GetLength().Value(), 10u);
    }
}

TEST_F(CreateFileReaderTest, UnknownLockModeWarnsAndUsesNone) {
    LogCapture logs;
    auto r = CreateFileReader(orvane::api::IOOptions{
        {"index.path", _path}, {"io.reader.type", "mmap"}, {"io.reader.mmap.lock_mode", "lock"}});
    ASSERT_TRUE(r.IsOk());
    EXPECT_EQ(dynamic_cast<MmapFileReader*>(r.Value().get())->GetLockMode(),
              MmapFileReader::LockMode::None);
    EXPECT_TRUE(
        logs.Contains(telemetry::LogLevel::Warn, "Unknown mmap lock mode '[lock]', using 'none'"));
}

TEST_F(CreateFileReaderTest, UnknownTypeIsCaseSensitive) {
    auto r =
        CreateFileReader(orvane::api::IOOptions{{"index.path", _path}, {"io.reader.type", "MMAP"}});
    EXPECT_EQ(r.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(r.GetStatus().Message(), "Unknown file reader type: MMAP");
}

TEST_F(CreateFileReaderTest, MmapErrorsPassThrough) {
    auto r = CreateFileReader(
        orvane::api::IOOptions{{"index.path", _dir.File("missing")}, {"io.reader.type", "mmap"}});
    EXPECT_EQ(r.GetStatus().Code(), ErrorCode::IoError);
    EXPECT_EQ(r.GetStatus().Message().rfind("Failed to open file: ", 0), 0u);
    r = CreateFileReader(orvane::api::IOOptions{{"index.path", ""}, {"io.reader.type", "mmap"}});
    EXPECT_EQ(r.GetStatus().Message(), "File path is empty");
}

}  // namespace
}  // namespace orvane::io
