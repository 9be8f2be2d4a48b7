// Helpers shared by the index file IO tests: an in-memory writer that can be told to fail, small
// executors with controllable behaviour, and a builder of well-formed multi-section files.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "coro/Executor.h"
#include "orvane/io/FileReader.h"
#include "io/InputStream.h"
#include "orvane/io/FileWriter.h"
#include "io/OutputStream.h"

namespace orvane::io::testutil {

// A FileWriter into a string shared with the test. `failAtWrite` makes the n-th
// Write call (0-based) fail with an IoError.
class StringWriter : public FileWriter {
  public:
    explicit StringWriter(std::shared_ptr<std::string> out, int failAtWrite = -1)
        : _out(std::move(out)), _failAt(failAtWrite) {}

    core::Status Write(const char* data, uint64_t size) override {
        if (_writes++ == _failAt) return core::Status(core::ErrorCode::IoError, "injected");
        _out->append(data, size);
        return core::Status();
    }
    core::Status Close() override {
        ++_closes;
        return core::Status();
    }
    core::Result<uint64_t> GetLength() override { return uint64_t{_out->size()}; }
    int Closes() const { return _closes; }

  private:
    std::shared_ptr<std::string> _out;
    int _failAt;
    int _writes = 0;
    int _closes = 0;
};

// One section of a test file: name, payload and alignment.
struct SectionSpec {
    std::string name;
    std::string payload;
    uint64_t align = 1;
};

// The bytes of a well-formed index file holding `sections`.
inline std::string BuildFile(const std::vector<SectionSpec>& sections) {
    auto out = std::make_shared<std::string>();
    OutputStream stream(std::make_unique<StringWriter>(out));
    EXPECT_TRUE(stream.Init({}).IsOk());
    for (const SectionSpec& s : sections) {
        EXPECT_TRUE(stream.Write(s.payload.data(), s.payload.size()).IsOk());
        EXPECT_TRUE(stream.SealSection(s.name, s.align).IsOk());
    }
    EXPECT_TRUE(stream.Close().IsOk());
    return *out;
}

inline std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
    return bytes;
}

// A pool of worker threads implementing the executor interface. Stop() makes
// later schedule calls fail and joins the workers after draining the queue.
class ThreadPoolExecutor : public coro::Executor {
  public:
    explicit ThreadPoolExecutor(int threads) : coro::Executor("test-pool") {
        for (int i = 0; i < threads; ++i) _workers.emplace_back([this] { Run(); });
    }
    ~ThreadPoolExecutor() override { Stop(); }

    bool schedule(Func fn) override {
        std::lock_guard<std::mutex> lock(_mu);
        if (_stopping) return false;
        _queue.push_back(std::move(fn));
        _cv.notify_one();
        return true;
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(_mu);
            _stopping = true;
            _cv.notify_all();
        }
        for (auto& t : _workers) {
            if (t.joinable()) t.join();
        }
    }

  private:
    void Run() {
        for (;;) {
            Func fn;
            {
                std::unique_lock<std::mutex> lock(_mu);
                _cv.wait(lock, [this] { return _stopping || !_queue.empty(); });
                if (_queue.empty()) return;
                fn = std::move(_queue.front());
                _queue.pop_front();
            }
            fn();
        }
    }

    std::mutex _mu;
    std::condition_variable _cv;
    std::deque<Func> _queue;
    bool _stopping = false;
    std::vector<std::thread> _workers;
};

// Holds every task until Release(), which runs them on one helper thread.
class GatedExecutor : public coro::Executor {
  public:
    GatedExecutor() : coro::Executor("gated") {}
    ~GatedExecutor() override { Join(); }

    bool schedule(Func fn) override {
        std::lock_guard<std::mutex> lock(_mu);
        _held.push_back(std::move(fn));
        return true;
    }
    size_t Held() {
        std::lock_guard<std::mutex> lock(_mu);
        return _held.size();
    }
    void Release() {
        std::vector<Func> tasks;
        {
            std::lock_guard<std::mutex> lock(_mu);
            tasks.swap(_held);
        }
        _runner = std::thread([tasks = std::move(tasks)] {
            for (const auto& task : tasks) task();
        });
    }
    void Join() {
        if (_runner.joinable()) _runner.join();
    }

  private:
    std::mutex _mu;
    std::vector<Func> _held;
    std::thread _runner;
};

// Refuses every task.
class RefusingExecutor : public coro::Executor {
  public:
    RefusingExecutor() : coro::Executor("refusing") {}
    bool schedule(Func) override { return false; }
};

// Wraps a reader, counts the calls it receives and can make chosen calls fail
// (the n-th Seek or Read, 0-based) or shorten Peek views.
class ProbeReader : public FileReader {
  public:
    explicit ProbeReader(std::unique_ptr<FileReader> inner) : _inner(std::move(inner)) {}

    core::Status Read(char* data, uint64_t size) override {
        if (_reads++ == failReadAt) return core::Status(core::ErrorCode::IoError, "probe read");
        return _inner->Read(data, size);
    }
    core::Status Close() override { return _inner->Close(); }
    core::Result<uint64_t> GetLength() override {
        if (failLength) return core::Status(core::ErrorCode::IoError, "probe length");
        return _inner->GetLength();
    }
    core::Result<uint64_t> GetPosition() override { return _inner->GetPosition(); }
    core::Status Seek(uint64_t offset) override {
        if (_seeks++ == failSeekAt) return core::Status(core::ErrorCode::IoError, "probe seek");
        return _inner->Seek(offset);
    }
    void ReadAsync(char* data, uint64_t size, uint64_t offset, Completion completion) override {
        ++asyncReads;
        _inner->ReadAsync(data, size, offset, std::move(completion));
    }
    core::Result<PeekResult> Peek(uint64_t offset, uint64_t size) override {
        auto view = _inner->Peek(offset, size);
        if (view.IsOk() && shortenPeek && view.Value().size > 0) --view.Value().size;
        return view;
    }

    int Reads() const { return _reads; }
    int Seeks() const { return _seeks; }

    int failReadAt = -1;
    int failSeekAt = -1;
    bool failLength = false;
    bool shortenPeek = false;
    std::atomic<int> asyncReads{0};

  private:
    std::unique_ptr<FileReader> _inner;
    int _reads = 0;
    int _seeks = 0;
};

// One read of `length` bytes at `offset` of a section through ReadBatch.
inline core::Status ReadOne(const InputStream::SectionReader& reader, uint64_t offset,
                            uint64_t length, char* buffer) {
    InputStream::SectionReader::ReadRequest request{offset, length, buffer, {}};
    return reader.ReadBatch({&request, 1});
}

}  // namespace orvane::io::testutil
