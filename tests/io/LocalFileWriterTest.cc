#include "io/LocalFileWriter.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <cerrno>
#include <cstring>

#include <csignal>
#include <filesystem>
#include <string>

#include "orvane/api/Options.h"
#include "orvane/io/FileWriter.h"
#include "io/IoTestUtil.h"
#include "io/OutputStream.h"
#include "testing/FileBytes.h"
#include "testing/LogCapture.h"
#include "testing/TempDir.h"

namespace orvane::io {
namespace {

using core::ErrorCode;
using testing::LogCapture;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

TEST(LocalFileWriterTest, WritesAndPublishesOnClose) {
    TempDir dir;
    const std::string path = dir.File("index.bin");
    LocalFileWriter writer(path);
    ASSERT_TRUE(writer.Write("hello ", 6).IsOk());
    ASSERT_TRUE(writer.Write("world", 5).IsOk());
    EXPECT_EQ(writer.GetLength().Value(), 11u);
    // Nothing is visible under the target name before Close.
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists(writer.TempPath()));
    EXPECT_EQ(std::filesystem::path(writer.TempPath()).parent_path(), dir.path());
    ASSERT_TRUE(writer.Close().IsOk());
    EXPECT_EQ(ReadFileBytes(path), "hello world");
    EXPECT_EQ(dir.List().size(), 1u);  // the temporary file is gone
}

TEST(LocalFileWriterTest, LargeWritesBypassAndCrossTheBuffer) {
    TempDir dir;
    const std::string path = dir.File("big.bin");
    const std::string big = testutil::RandomBytes(LocalFileWriter::kBufferSize * 2 + 17, 3);
    LocalFileWriter writer(path);
    ASSERT_TRUE(writer.Write("x", 1).IsOk());
    ASSERT_TRUE(writer.Write(big.data(), big.size()).IsOk());
    ASSERT_TRUE(writer.Write(big.data(), LocalFileWriter::kBufferSize - 1).IsOk());
    ASSERT_TRUE(writer.Write(big.data(), 5).IsOk());
    ASSERT_TRUE(writer.Close().IsOk());
    const std::string expected =
        "x" + big + big.substr(0, LocalFileWriter::kBufferSize - 1) + big.substr(0, 5);
    EXPECT_EQ(writer.GetLength().Value(), expected.size());
    EXPECT_TRUE(ReadFileBytes(path) == expected);
}

TEST(LocalFileWriterTest, CreatesMissingDirectories) {
    TempDir dir;
    const std::string path = dir.File("a/b/c/index.bin");
    LocalFileWriter writer(path);
    ASSERT_TRUE(writer.Write("abc", 3).IsOk());
    ASSERT_TRUE(writer.Close().IsOk());
    EXPECT_EQ(ReadFileBytes(path), "abc");
}

TEST(LocalFileWriterTest, ArgumentAndStateChecksInOrder) {
    TempDir dir;
    LocalFileWriter writer(dir.File("f"));
    EXPECT_TRUE(writer.Write(nullptr, 0).IsOk());
    auto st = writer.Write(nullptr, 3);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Data pointer is null");
    ASSERT_TRUE(writer.Close().IsOk());
    st = writer.Write("a", 1);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "File is already closed");
    EXPECT_TRUE(writer.Close().IsOk());  // closing again repeats the outcome
    EXPECT_EQ(ReadFileBytes(dir.File("f")), "");
}

TEST(LocalFileWriterTest, EmptyPathLeavesWriterUnopened) {
    LogCapture logs;
    LocalFileWriter writer("");
    EXPECT_TRUE(logs.Contains(telemetry::LogLevel::Error,
                              "Failed to create LocalFileWriter: empty file path"));
    auto st = writer.Write("a", 1);
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message(), "File is not open");
    st = writer.Close();
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "File is not open");
    EXPECT_EQ(writer.GetLength().Value(), 0u);
}

TEST(LocalFileWriterTest, UnwritableLocationLogsAndReportsNotOpen) {
    TempDir dir;
    // A regular file where a directory is needed makes directory creation and open fail.
    WriteFileBytes(dir.File("blocker"), "x");
    const std::string path = dir.File("blocker/sub/index.bin");
    LogCapture logs;
    LocalFileWriter writer(path);
    EXPECT_TRUE(logs.Contains(telemetry::LogLevel::Error,
                              "Failed to open file for writing: [" + path + "]"));
    EXPECT_EQ(writer.Write("a", 1).Message(), "File is not open");
}

TEST(LocalFileWriterTest, ExistingTargetSurvivesAbandonedWriter) {
    TempDir dir;
    const std::string path = dir.File("index.bin");
    WriteFileBytes(path, "good old index");
    {
        LocalFileWriter writer(path);
        ASSERT_TRUE(writer.Write("partial", 7).IsOk());
        // Destroyed without Close, as when a dump fails half-way.
    }
    EXPECT_EQ(ReadFileBytes(path), "good old index");
    EXPECT_EQ(dir.List().size(), 1u);
}

TEST(LocalFileWriterTest, ExistingTargetSurvivesFailedStream) {
    TempDir dir;
    const std::string path = dir.File("index.bin");
    WriteFileBytes(path, "good old index");
    {
        OutputStream stream(std::make_unique<LocalFileWriter>(path));
        ASSERT_TRUE(stream.Init({}).IsOk());
        ASSERT_TRUE(stream.Write("unsealed", 8).IsOk());
        EXPECT_EQ(stream.Close().Code(), ErrorCode::Corruption);
    }
    EXPECT_EQ(ReadFileBytes(path), "good old index");
    EXPECT_EQ(dir.List().size(), 1u);
}

TEST(LocalFileWriterTest, SuccessfulCloseReplacesExistingTarget) {
    TempDir dir;
    const std::string path = dir.File("index.bin");
    WriteFileBytes(path, "previous contents that are longer");
    LocalFileWriter writer(path);
    ASSERT_TRUE(writer.Write("new", 3).IsOk());
    EXPECT_EQ(ReadFileBytes(path), "previous contents that are longer");
    ASSERT_TRUE(writer.Close().IsOk());
    EXPECT_EQ(ReadFileBytes(path), "new");
    EXPECT_EQ(dir.List().size(), 1u);
}

TEST(LocalFileWriterTest, ConcurrentWritersUseDistinctTemporaries) {
    TempDir dir;
    const std::string path = dir.File("index.bin");
    LocalFileWriter a(path);
    LocalFileWriter b(path);
    EXPECT_NE(a.TempPath(), b.TempPath());
    ASSERT_TRUE(a.Write("aaaa", 4).IsOk());
    ASSERT_TRUE(b.Write("bb", 2).IsOk());
    ASSERT_TRUE(a.Close().IsOk());
    ASSERT_TRUE(b.Close().IsOk());
    EXPECT_EQ(ReadFileBytes(path), "bb");  // the last to publish wins, whole
    EXPECT_EQ(dir.List().size(), 1u);
}

TEST(LocalFileWriterTest, PublishFailureIsReportedAndCleansUp) {
    TempDir dir;
    // A non-empty directory at the target path cannot be replaced by a file.
    const std::string path = dir.File("target");
    std::filesystem::create_directories(dir.path() / "target" / "inner");
    LocalFileWriter writer(path);
    ASSERT_TRUE(writer.Write("abc", 3).IsOk());
    auto st = writer.Close();
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message().rfind("Failed to rename file: ", 0), 0u) << st.Message();
    EXPECT_EQ(writer.Close().Code(), ErrorCode::IoError);  // the outcome is kept
    EXPECT_EQ(dir.List().size(), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST(LocalFileWriterTest, WriteFailureIsReportedAndNeverPublished) {
    TempDir dir;
    const std::string path = dir.File("index.bin");
    WriteFileBytes(path, "good");
    // A file size limit makes the kernel refuse bytes past it (EFBIG).
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = old;
    limited.rlim_cur = 1 << 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    core::Status st;
    {
        LocalFileWriter writer(path);
        const std::string chunk(LocalFileWriter::kBufferSize * 2, 'z');
        st = writer.Write(chunk.data(), chunk.size());
        EXPECT_EQ(st.Code(), ErrorCode::IoError);
        // The fixed text, then the file and the system's reason.
        const std::string expected =
            "Failed to write data to file: " + path + ": " + std::strerror(EFBIG);
        EXPECT_EQ(st.Message().substr(0, expected.size()), expected);
        EXPECT_EQ(writer.Write("a", 1).Message(), st.Message());
        auto closeStatus = writer.Close();
        EXPECT_EQ(closeStatus.Code(), ErrorCode::IoError);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadFileBytes(path), "good");
    EXPECT_EQ(dir.List().size(), 1u);
}

TEST(CreateFileWriterTest, NeedsStringPath) {
    auto missing = CreateFileWriter({});
    ASSERT_FALSE(missing.IsOk());
    EXPECT_EQ(missing.GetStatus().Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(missing.GetStatus().Message(), "File path not specified in IOOptions");
    auto number = CreateFileWriter(orvane::api::IOOptions{{"index.path", int64_t{5}}});
    ASSERT_FALSE(number.IsOk());
    EXPECT_EQ(number.GetStatus().Message(), "File path not specified in IOOptions");

    TempDir dir;
    auto writer = CreateFileWriter(orvane::api::IOOptions{{"index.path", dir.File("w.bin")}});
    ASSERT_TRUE(writer.IsOk());
    ASSERT_TRUE(writer.Value()->Write("zz", 2).IsOk());
    ASSERT_TRUE(writer.Value()->Close().IsOk());
    EXPECT_EQ(ReadFileBytes(dir.File("w.bin")), "zz");
}

}  // namespace
}  // namespace orvane::io
