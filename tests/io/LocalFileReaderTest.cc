#include "io/LocalFileReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "io/IoTestUtil.h"
#include "testing/FileBytes.h"
#include "testing/LogCapture.h"
#include "testing/TempDir.h"

namespace orvane::io {
namespace {

using core::ErrorCode;
using core::Status;
using testing::LogCapture;
using testing::TempDir;
using testutil::GatedExecutor;
using testutil::RandomBytes;
using testutil::ThreadPoolExecutor;

// Runs ReadAsync and waits for its completion.
Status ReadAsyncWait(FileReader& reader, char* data, uint64_t size, uint64_t offset) {
    std::promise<Status> done;
    reader.ReadAsync(data, size, offset, [&done](Status st) { done.set_value(std::move(st)); });
    return done.get_future().get();
}

class LocalFileReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        _contents = RandomBytes(10000, 42);
        _path = _dir.File("data.bin");
        testing::WriteFileBytes(_path, _contents);
    }

    TempDir _dir;
    std::string _path;
    std::string _contents;
    ThreadPoolExecutor _pool{4};
};

TEST_F(LocalFileReaderTest, SequentialReadsAndSeeks) {
    LocalFileReader reader(_path, _pool);
    EXPECT_EQ(reader.GetLength().Value(), _contents.size());
    std::string buf(100, '\0');
    ASSERT_TRUE(reader.Read(buf.data(), 100).IsOk());
    EXPECT_EQ(buf, _contents.substr(0, 100));
    EXPECT_EQ(reader.GetPosition().Value(), 100u);
    ASSERT_TRUE(reader.Seek(9950).IsOk());
    ASSERT_TRUE(reader.Read(buf.data(), 50).IsOk());
    EXPECT_EQ(buf.substr(0, 50), _contents.substr(9950));
    EXPECT_EQ(reader.GetPosition().Value(), 10000u);
    EXPECT_TRUE(reader.Read(buf.data(), 0).IsOk());
    EXPECT_TRUE(reader.Seek(10000).IsOk());  // exactly the end is allowed
    EXPECT_TRUE(reader.Close().IsOk());
}

TEST_F(LocalFileReaderTest, SyncErrorsAndTheirOrder) {
    LocalFileReader reader(_path, _pool);
    std::string buf(20, '\0');
    auto st = reader.Read(nullptr, 5);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Data pointer is null");
    EXPECT_TRUE(reader.Read(nullptr, 0).IsOk());  // size 0 comes first
    st = reader.Seek(10001);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Seek beyond file size");
    ASSERT_TRUE(reader.Seek(9990).IsOk());
    st = reader.Read(buf.data(), 11);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Read beyond file size");
    EXPECT_EQ(reader.GetPosition().Value(), 9990u);  // a failed read does not move
    st = reader.Read(buf.data(), UINT64_MAX);
    EXPECT_EQ(st.Message(), "Read beyond file size");
}

TEST_F(LocalFileReaderTest, ClosedReaderRefusesEverything) {
    LocalFileReader reader(_path, _pool);
    ASSERT_TRUE(reader.Close().IsOk());
    std::string buf(4, '\0');
    EXPECT_EQ(reader.Read(buf.data(), 4).Message(), "File is already closed");
    EXPECT_EQ(reader.Read(buf.data(), 4).Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(reader.Seek(0).Message(), "File is already closed");
    EXPECT_EQ(reader.GetLength().GetStatus().Code(), ErrorCode::IoError);
    EXPECT_EQ(reader.GetLength().GetStatus().Message(), "File is not open");
    EXPECT_EQ(reader.GetPosition().GetStatus().Message(), "File is not open");
    auto st = ReadAsyncWait(reader, buf.data(), 4, 0);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "File is already closed");
    // Size 0 and null buffer are answered before the closed check.
    EXPECT_TRUE(ReadAsyncWait(reader, buf.data(), 0, 0).IsOk());
    EXPECT_EQ(ReadAsyncWait(reader, nullptr, 4, 0).Message(), "Data pointer is null");
    EXPECT_TRUE(reader.Close().IsOk());
}

TEST_F(LocalFileReaderTest, MissingFileIsCreatedButNotOpen) {
    LogCapture logs;
    const std::string missing = _dir.File("nope.bin");
    LocalFileReader reader(missing, _pool);
    bool logged = false;
    for (const std::string& msg : logs.Messages(telemetry::LogLevel::Error)) {
        logged |= msg.rfind("Failed to open file for reading: [" + missing + "], [", 0) == 0;
    }
    EXPECT_TRUE(logged);
    auto len = reader.GetLength();
    ASSERT_FALSE(len.IsOk());
    EXPECT_EQ(len.GetStatus().Code(), ErrorCode::IoError);
    EXPECT_EQ(len.GetStatus().Message(), "File is not open");
    char c;
    EXPECT_EQ(reader.Read(&c, 1).Code(), ErrorCode::IoError);
    EXPECT_EQ(reader.Seek(0).Message(), "File is not open");
    EXPECT_EQ(ReadAsyncWait(reader, &c, 1, 0).Message(), "File is not open");
    auto st = reader.Close();
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "File is not open");
    EXPECT_EQ(reader.Close().Message(), "File is not open");
}

TEST_F(LocalFileReaderTest, EmptyPathLogs) {
    LogCapture logs;
    LocalFileReader reader("", _pool);
    EXPECT_TRUE(logs.Contains(telemetry::LogLevel::Error,
                              "Failed to create LocalFileReader: empty file path"));
    EXPECT_EQ(reader.GetLength().GetStatus().Message(), "File is not open");
}

TEST_F(LocalFileReaderTest, AsyncReadsCompleteOnWorkers) {
    LocalFileReader reader(_path, _pool);
    std::string buf(300, '\0');
    std::promise<std::thread::id> where;
    std::promise<Status> done;
    reader.ReadAsync(buf.data(), 300, 1234, [&](Status st) {
        where.set_value(std::this_thread::get_id());
        done.set_value(std::move(st));
    });
    EXPECT_TRUE(done.get_future().get().IsOk());
    EXPECT_NE(where.get_future().get(), std::this_thread::get_id());
    EXPECT_EQ(buf, _contents.substr(1234, 300));
    EXPECT_EQ(reader.GetPosition().Value(), 0u);  // the position is not used

    auto st = ReadAsyncWait(reader, buf.data(), 10, 9995);
    EXPECT_EQ(st.Code(), ErrorCode::InvalidArgument);
    EXPECT_EQ(st.Message(), "Read beyond file size");
    EXPECT_EQ(ReadAsyncWait(reader, buf.data(), 1, UINT64_MAX).Message(), "Read beyond file size");
    EXPECT_TRUE(ReadAsyncWait(reader, buf.data(), 6, 9994).IsOk());
    EXPECT_EQ(buf.substr(0, 6), _contents.substr(9994));
    // An empty completion is ignored.
    reader.ReadAsync(buf.data(), 1, 0, FileReader::Completion());
}

TEST_F(LocalFileReaderTest, RefusedScheduleReportsUnavailable) {
    testutil::RefusingExecutor refusing;
    LocalFileReader reader(_path, refusing);
    char buf[8];
    std::thread::id where;
    Status got;
    reader.ReadAsync(buf, 8, 0, [&](Status st) {
        where = std::this_thread::get_id();
        got = std::move(st);
    });
    EXPECT_EQ(where, std::this_thread::get_id());
    EXPECT_EQ(got.Code(), ErrorCode::Unavailable);
    EXPECT_EQ(got.Message(), "Failed to schedule async read");
    // The refused read is no longer counted: Close does not wait for it.
    EXPECT_TRUE(reader.Close().IsOk());
}

TEST_F(LocalFileReaderTest, FileShrunkAfterOpenGivesUnexpectedEof) {
    LocalFileReader reader(_path, _pool);
    std::filesystem::resize_file(_path, 100);
    std::string buf(200, '\0');
    ASSERT_TRUE(reader.Seek(50).IsOk());
    auto st = reader.Read(buf.data(), 200);
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message(), "Unexpected EOF while reading file");
    st = ReadAsyncWait(reader, buf.data(), 200, 0);
    EXPECT_EQ(st.Message(), "Unexpected EOF while reading file");
}

TEST_F(LocalFileReaderTest, PreadFailureIsReported) {
    // A directory opens read-only but refuses pread with EISDIR.
    LocalFileReader reader(_dir.path().string(), _pool);
    auto len = reader.GetLength();
    ASSERT_TRUE(len.IsOk());
    if (len.Value() == 0) GTEST_SKIP() << "directory reports size 0 on this filesystem";
    char c;
    auto st = reader.Read(&c, 1);
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message().rfind("pread failed: ", 0), 0u) << st.Message();
}

// A scripted pread: each call takes the next step (-1 sets errno to the step's
// error, otherwise at most `count` bytes of 'r' are delivered).
struct PreadStep {
    ssize_t result;
    int err;
};
std::vector<PreadStep> g_steps;
size_t g_next = 0;
std::vector<off_t> g_offsets;

ssize_t ScriptedPread(int, void* buf, size_t count, off_t offset) {
    g_offsets.push_back(offset);
    const PreadStep step = g_steps.at(g_next++);
    if (step.result < 0) {
        errno = step.err;
        return -1;
    }
    const size_t n = std::min<size_t>(count, static_cast<size_t>(step.result));
    std::memset(buf, 'r', n);
    return static_cast<ssize_t>(n);
}

void Script(std::vector<PreadStep> steps) {
    g_steps = std::move(steps);
    g_next = 0;
    g_offsets.clear();
}

TEST(LocalFileReaderReadFullyTest, InterruptedAndShortReadsAreContinued) {
    Script({{-1, EINTR}, {3, 0}, {-1, EINTR}, {4, 0}, {100, 0}});
    std::string buf(10, '\0');
    ASSERT_TRUE(LocalFileReader::ReadFullyAt(7, buf.data(), 10, 1000, &ScriptedPread).IsOk());
    EXPECT_EQ(buf, std::string(10, 'r'));
    EXPECT_EQ(g_offsets, (std::vector<off_t>{1000, 1000, 1003, 1003, 1007}));
}

TEST(LocalFileReaderReadFullyTest, EndOfFileAndErrors) {
    std::string buf(10, '\0');
    Script({{4, 0}, {0, 0}});
    auto st = LocalFileReader::ReadFullyAt(7, buf.data(), 10, 0, &ScriptedPread);
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message(), "Unexpected EOF while reading file");
    Script({{-1, EIO}});
    st = LocalFileReader::ReadFullyAt(7, buf.data(), 10, 0, &ScriptedPread);
    EXPECT_EQ(st.Code(), ErrorCode::IoError);
    EXPECT_EQ(st.Message(), std::string("pread failed: ") + std::strerror(EIO));
    Script({});
    EXPECT_TRUE(LocalFileReader::ReadFullyAt(7, buf.data(), 0, 0, &ScriptedPread).IsOk());
    EXPECT_TRUE(g_offsets.empty());
}

TEST_F(LocalFileReaderTest, CloseWaitsForAsyncReadsInFlight) {
    GatedExecutor gated;
    LocalFileReader reader(_path, gated);
    constexpr int kReads = 10;
    std::vector<std::string> bufs(kReads, std::string(100, '\0'));
    std::atomic<int> ok{0};
    for (int i = 0; i < kReads; ++i) {
        reader.ReadAsync(bufs[i].data(), 100, i * 100, [&ok](Status st) {
            if (st.IsOk()) ++ok;
        });
    }
    ASSERT_EQ(gated.Held(), static_cast<size_t>(kReads));
    std::atomic<bool> closed{false};
    Status closeStatus;
    std::thread closer([&] {
        closeStatus = reader.Close();
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closed.load());
    // While closing, new reads are refused at once.
    char c;
    EXPECT_EQ(ReadAsyncWait(reader, &c, 1, 0).Message(), "File is already closed");
    EXPECT_EQ(reader.Read(&c, 1).Message(), "File is already closed");
    gated.Release();
    closer.join();
    gated.Join();
    EXPECT_TRUE(closeStatus.IsOk());
    EXPECT_EQ(ok.load(), kReads);
    for (int i = 0; i < kReads; ++i) EXPECT_EQ(bufs[i], _contents.substr(i * 100, 100));
    EXPECT_TRUE(reader.Close().IsOk());
}

TEST_F(LocalFileReaderTest, ConcurrentCloseCallsShareOneOutcome) {
    GatedExecutor gated;
    LocalFileReader reader(_path, gated);
    char buf[16];
    reader.ReadAsync(buf, 16, 0, [](Status) {});
    std::vector<std::thread> closers;
    std::vector<Status> results(4);
    for (int i = 0; i < 4; ++i) closers.emplace_back([&, i] { results[i] = reader.Close(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gated.Release();
    for (auto& t : closers) t.join();
    for (const auto& st : results) EXPECT_TRUE(st.IsOk());
}

TEST(LocalFileReaderStressTest, CloseWithManyAsyncReadsInFlight) {
    TempDir dir;
    const std::string path = dir.File("stress.bin");
    const std::string contents = RandomBytes(1 << 20, 5);
    testing::WriteFileBytes(path, contents);
    ThreadPoolExecutor pool(4);
    for (int round = 0; round < 20; ++round) {
        auto reader = std::make_unique<LocalFileReader>(path, pool);
        constexpr int kReads = 200;
        std::vector<std::string> bufs(kReads, std::string(4096, '\0'));
        std::atomic<int> completed{0};
        std::atomic<int> succeeded{0};
        std::atomic<int> refused{0};
        std::thread issuer([&] {
            for (int i = 0; i < kReads; ++i) {
                const uint64_t offset =
                    (static_cast<uint64_t>(i) * 7919 * 4096) % (contents.size() - 4096);
                reader->ReadAsync(bufs[i].data(), 4096, offset, [&, i, offset](Status st) {
                    if (st.IsOk()) {
                        if (bufs[i] == contents.substr(offset, 4096)) ++succeeded;
                    } else if (st.Message() == "File is already closed") {
                        ++refused;
                    }
                    ++completed;
                });
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
        ASSERT_TRUE(reader->Close().IsOk());
        issuer.join();
        reader.reset();
        // Every read either finished correctly or was refused; none is lost.
        while (completed.load() < kReads) std::this_thread::yield();
        EXPECT_EQ(succeeded.load() + refused.load(), kReads);
    }
}

TEST(LocalFileReaderStressTest, ConcurrentAsyncAndSyncReads) {
    TempDir dir;
    const std::string path = dir.File("stress.bin");
    const std::string contents = RandomBytes(1 << 20, 9);
    testing::WriteFileBytes(path, contents);
    ThreadPoolExecutor pool(4);
    LocalFileReader reader(path, pool);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            std::string buf(512, '\0');
            for (int i = 0; i < 300; ++i) {
                const uint64_t offset = rng() % (contents.size() - 512);
                Status st;
                if (t == 0) {
                    // One thread mixes in sequential reads, which hold the mutex.
                    st = reader.Seek(offset);
                    if (st.IsOk()) st = reader.Read(buf.data(), 512);
                } else {
                    st = ReadAsyncWait(reader, buf.data(), 512, offset);
                }
                if (!st.IsOk() || buf != contents.substr(offset, 512)) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_TRUE(reader.Close().IsOk());
}

}  // namespace
}  // namespace orvane::io
