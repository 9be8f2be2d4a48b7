// Immediate reads (TryReadNow) and read batches of section readers over every
// reader kind, and closing readers while reads are in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "io/InputStream.h"
#include "io/IoTestUtil.h"
#include "io/LocalFileReader.h"
#include "io/MemoryFileReader.h"
#include "io/MmapFileReader.h"
#include "testing/FileBytes.h"
#include "testing/TempDir.h"
#include "util/parallel/SimpleExecutor.h"

// Counts the heap allocations of the calling thread while counting is on, to
// check that a round served at once allocates nothing.
namespace {
thread_local bool g_countAllocations = false;
thread_local int g_allocations = 0;
}  // namespace

// GCC cannot tell that these replace the global pair and warns on free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (g_countAllocations) ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace orvane::io {
namespace {

using core::ErrorCode;
using core::Status;
using testing::TempDir;
using testutil::RandomBytes;
using testutil::ThreadPoolExecutor;

// A memory reader that never completes a read at once: every read of a batch
// takes the asynchronous path and completes on another thread.
class AsyncOnlyReader : public MemoryFileReader {
  public:
    AsyncOnlyReader(std::string contents, coro::Executor& executor)
        : MemoryFileReader(std::move(contents)), _executor(executor) {}
    std::optional<Status> TryReadNow(char*, uint64_t, uint64_t) override { return std::nullopt; }
    void ReadAsync(char* data, uint64_t size, uint64_t offset, Completion completion) override {
        _executor.schedule([this, data, size, offset, completion = std::move(completion)] {
            MemoryFileReader::ReadAsync(data, size, offset, completion);
        });
    }

  private:
    coro::Executor& _executor;
};

enum class Kind { Local, Mmap, Memory, AsyncOnly };

class SectionReadBatchTest : public ::testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        _payload = RandomBytes(64 * 1024, 3);
        _file = testutil::BuildFile({{"head", "xyz", 1}, {"data", _payload, 4096}});
        _path = _dir.File("index.bin");
        testing::WriteFileBytes(_path, _file);
    }

    std::unique_ptr<FileReader> MakeReader() {
        switch (GetParam()) {
            case Kind::Local:
                return std::make_unique<LocalFileReader>(_path, _pool);
            case Kind::Mmap:
                return MmapFileReader::Create(_path, MmapFileReader::LockMode::None).TakeValue();
            case Kind::Memory:
                return std::make_unique<MemoryFileReader>(_file);
            case Kind::AsyncOnly:
                return std::make_unique<AsyncOnlyReader>(_file, _pool);
        }
        return nullptr;
    }

    TempDir _dir;
    std::string _path;
    std::string _payload;
    std::string _file;
    ThreadPoolExecutor _pool{2};
};

TEST_P(SectionReadBatchTest, TryReadNowReadsOrDefers) {
    InputStream stream(MakeReader());
    ASSERT_TRUE(stream.Open({}).IsOk());
    auto section = stream.GetSectionReader("data").TakeValue();
    std::string buf(4096, '\0');
    std::optional<Status> now = section->TryReadNow(8192, 4096, buf);
    if (GetParam() == Kind::Mmap || GetParam() == Kind::Memory) {
        ASSERT_TRUE(now.has_value());
    }
    if (GetParam() == Kind::AsyncOnly) {
        EXPECT_FALSE(now.has_value());
    }
    if (now.has_value()) {
        ASSERT_TRUE(now->IsOk()) << now->Message();
        EXPECT_EQ(buf, _payload.substr(8192, 4096));
    }
    // Refusals come back at once, whatever the reader.
    EXPECT_EQ(section->TryReadNow(section->SectionSize(), 1, buf)->Code(),
              ErrorCode::InvalidArgument);
    EXPECT_EQ(section->TryReadNow(0, 8192, buf)->Message(), "Buffer too small");
}

TEST_P(SectionReadBatchTest, BatchFillsEveryBufferAndReportsTheFirstFailure) {
    InputStream stream(MakeReader());
    ASSERT_TRUE(stream.Open({}).IsOk());
    auto section = stream.GetSectionReader("data").TakeValue();
    std::vector<std::string> bufs(5, std::string(4096, '\0'));
    const uint64_t offsets[] = {0, 4096 * 7, 100, 4096 * 15, section->SectionSize() - 10};
    std::vector<InputStream::SectionReader::ReadRequest> requests(5);
    for (size_t i = 0; i < 5; ++i) requests[i] = {offsets[i], 4096, bufs[i].data(), Status()};
    const Status batch = section->ReadBatch(requests);
    EXPECT_EQ(batch.Code(), ErrorCode::InvalidArgument);  // the last one runs past the end
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(requests[i].status.IsOk()) << i << ": " << requests[i].status.Message();
        EXPECT_EQ(bufs[i], _payload.substr(offsets[i], 4096)) << i;
    }
    EXPECT_EQ(requests[4].status.Code(), ErrorCode::InvalidArgument);
    requests.pop_back();
    EXPECT_TRUE(section->ReadBatch(requests).IsOk());
    EXPECT_TRUE(section->ReadBatch({}).IsOk());
}

// A round whose reads all complete at once allocates nothing.
TEST_P(SectionReadBatchTest, ImmediateRoundAllocatesNothing) {
    if (GetParam() != Kind::Mmap && GetParam() != Kind::Memory) GTEST_SKIP();
    InputStream stream(MakeReader());
    ASSERT_TRUE(stream.Open({}).IsOk());
    auto section = stream.GetSectionReader("data").TakeValue();
    std::vector<std::string> bufs(4, std::string(4096, '\0'));
    InputStream::SectionReader::ReadRequest requests[4];
    for (int i = 0; i < 4; ++i) requests[i] = {uint64_t(i) * 8192, 4096, bufs[i].data(), Status()};
    g_allocations = 0;
    g_countAllocations = true;
    const Status st = section->ReadBatch(requests);
    g_countAllocations = false;
    EXPECT_TRUE(st.IsOk());
    EXPECT_EQ(g_allocations, 0);
}

// Batches issued from many threads at once, among them workers of a pool that
// wait for reads completing elsewhere.
TEST_P(SectionReadBatchTest, ConcurrentBatchesStress) {
    InputStream stream(MakeReader());
    ASSERT_TRUE(stream.Open({}).IsOk());
    auto section = stream.GetSectionReader("data").TakeValue();
    std::atomic<int> bad{0};
    auto reader = [&](int seed) {
        std::vector<std::string> bufs(4, std::string(4096, '\0'));
        InputStream::SectionReader::ReadRequest requests[4];
        for (int round = 0; round < 200; ++round) {
            for (int i = 0; i < 4; ++i) {
                const uint64_t off = static_cast<uint64_t>((seed * 31 + round * 7 + i) % 15) * 4096;
                requests[i] = {off, 4096, bufs[i].data(), Status()};
            }
            if (!section->ReadBatch(requests).IsOk()) ++bad;
            for (int i = 0; i < 4; ++i) {
                if (bufs[i] != _payload.substr(requests[i].offset, 4096)) ++bad;
            }
        }
    };
    util::SimpleExecutor workers(2);
    std::atomic<int> workerRuns{0};
    for (int w = 0; w < 4; ++w) {
        ASSERT_TRUE(workers.schedule([&, w] {
            reader(100 + w);
            ++workerRuns;
        }));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(reader, t);
    for (auto& t : threads) t.join();
    workers.waitAllTaskFinish();
    EXPECT_EQ(workerRuns.load(), 4);
    EXPECT_EQ(bad.load(), 0);
}

// Close while other threads read: every read either completes with the right
// bytes or is refused as closed; none reads freed memory.
TEST_P(SectionReadBatchTest, CloseWhileReadsInFlightConcurrency) {
    for (int round = 0; round < 10; ++round) {
        auto owned = MakeReader();
        FileReader* reader = owned.get();
        const uint64_t base = _file.find(_payload);
        ASSERT_NE(base, std::string::npos);
        std::atomic<int> good{0};
        std::atomic<int> refused{0};
        std::atomic<int> bad{0};
        std::atomic<int> completed{0};
        std::atomic<bool> go{false};
        constexpr int kThreads = 4;
        constexpr int kReads = 200;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                std::string buf(16 * 1024, '\0');
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < kReads; ++i) {
                    const uint64_t off = static_cast<uint64_t>((t * 13 + i) % 48) * 1024;
                    auto tally = [&](const Status& st) {
                        if (st.IsOk()) {
                            if (buf == _payload.substr(off, buf.size())) {
                                ++good;
                            } else {
                                ++bad;
                            }
                        } else if (st.Message() == "File is already closed") {
                            ++refused;
                        } else {
                            ++bad;
                        }
                    };
                    std::optional<Status> now =
                        reader->TryReadNow(buf.data(), buf.size(), base + off);
                    if (now.has_value()) {
                        tally(*now);
                        ++completed;
                        continue;
                    }
                    std::atomic<bool> done{false};
                    reader->ReadAsync(buf.data(), buf.size(), base + off, [&](Status st) {
                        tally(st);
                        done.store(true);
                        done.notify_one();
                    });
                    done.wait(false);
                    ++completed;
                }
            });
        }
        go.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
        EXPECT_TRUE(reader->Close().IsOk());
        for (auto& t : threads) t.join();
        owned.reset();
        EXPECT_EQ(completed.load(), kThreads * kReads);
        EXPECT_EQ(good.load() + refused.load(), kThreads * kReads);
        EXPECT_EQ(bad.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(AllReaders, SectionReadBatchTest,
                         ::testing::Values(Kind::Local, Kind::Mmap, Kind::Memory, Kind::AsyncOnly),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             switch (info.param) {
                                 case Kind::Local:
                                     return std::string("Local");
                                 case Kind::Mmap:
                                     return std::string("Mmap");
                                 case Kind::Memory:
                                     return std::string("Memory");
                                 case Kind::AsyncOnly:
                                     return std::string("AsyncOnly");
                             }
                             return std::string("Unknown");
                         });

}  // namespace
}  // namespace orvane::io
