// Random 4 KiB reads of a large index file section through SectionReader, on the
// local-file reader (positioned reads on the IO executor) and the memory-mapped
// reader: asynchronous reads with 1, 4 and 16 in flight, and plain synchronous
// copying reads. Reported as reads per second (items_per_second).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "io/FileReader.h"
#include "io/InputStream.h"
#include "io/LocalFileWriter.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace {

using orvane::io::InputStream;

constexpr uint64_t kFileSize = 256ull << 20;
constexpr uint64_t kReadSize = 4096;

// The benchmark file, written once and removed at exit.
class BenchFile {
  public:
    BenchFile() : _path("/tmp/orvane_io_bench_" + std::to_string(::getpid()) + ".idx") {
        orvane::telemetry::Logger::Instance().SetLevel(orvane::telemetry::LogLevel::Warn);
        orvane::io::OutputStream stream(std::make_unique<orvane::io::LocalFileWriter>(_path));
        if (!stream.Init({}).IsOk()) std::abort();
        std::vector<char> chunk(1 << 20);
        std::mt19937_64 rng(1);
        for (uint64_t done = 0; done < kFileSize; done += chunk.size()) {
            for (char& c : chunk) c = static_cast<char>(rng());
            if (!stream.Write(chunk.data(), chunk.size()).IsOk()) std::abort();
        }
        if (!stream.SealSection("data", 4096).IsOk() || !stream.Close().IsOk()) std::abort();
        std::mt19937_64 pick(2);
        _offsets.resize(1 << 16);
        for (uint64_t& off : _offsets) off = (pick() % (kFileSize / kReadSize)) * kReadSize;
    }
    ~BenchFile() { std::remove(_path.c_str()); }

    static BenchFile& Get() {
        static BenchFile file;
        return file;
    }
    const std::string& Path() const { return _path; }
    uint64_t Offset(size_t i) const { return _offsets[i & (_offsets.size() - 1)]; }

  private:
    std::string _path;
    std::vector<uint64_t> _offsets;
};

// An opened stream and its section over the chosen reader (0 local, 1 mmap).
struct OpenedSection {
    explicit OpenedSection(int readerKind) : stream(Create(readerKind)) {
        if (!stream.Open({}).IsOk()) std::abort();
        section = stream.GetSectionReader("data").TakeValue();
    }
    static std::unique_ptr<orvane::io::FileReader> Create(int readerKind) {
        auto reader = orvane::io::CreateFileReader(
            {{"index.path", BenchFile::Get().Path()},
             {"io.reader.type", std::string(readerKind == 0 ? "local" : "mmap")}});
        if (!reader.IsOk()) std::abort();
        return reader.TakeValue();
    }
    InputStream stream;
    std::shared_ptr<InputStream::SectionReader> section;
};

void ReaderLabel(benchmark::State& state, int readerKind) {
    state.SetLabel(readerKind == 0 ? "local" : "mmap");
}

// A sliding window of `inflight` reads: each step waits for the oldest read and
// issues a new one in its slot.
void BM_ReadAsync(benchmark::State& state) {
    const int readerKind = static_cast<int>(state.range(0));
    const size_t inflight = static_cast<size_t>(state.range(1));
    const BenchFile& file = BenchFile::Get();
    OpenedSection opened(readerKind);
    std::vector<std::vector<char>> buffers(inflight, std::vector<char>(kReadSize));
    std::vector<orvane::coro::Future<orvane::core::Status>> window(inflight);
    size_t next = 0;
    for (size_t i = 0; i < inflight; ++i) {
        window[i] = opened.section->ReadAsync(file.Offset(next++), kReadSize, buffers[i]);
    }
    size_t slot = 0;
    for (auto _ : state) {
        if (!window[slot].get().IsOk()) state.SkipWithError("read failed");
        window[slot] = opened.section->ReadAsync(file.Offset(next++), kReadSize, buffers[slot]);
        slot = slot + 1 == inflight ? 0 : slot + 1;
    }
    for (auto& f : window) (void)f.get();
    state.SetItemsProcessed(state.iterations());
    ReaderLabel(state, readerKind);
}

void BM_ReadSync(benchmark::State& state) {
    const int readerKind = static_cast<int>(state.range(0));
    const BenchFile& file = BenchFile::Get();
    OpenedSection opened(readerKind);
    std::vector<char> buffer(kReadSize);
    size_t next = 0;
    for (auto _ : state) {
        if (!opened.section->Read(file.Offset(next++), kReadSize, buffer).IsOk()) {
            state.SkipWithError("read failed");
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetItemsProcessed(state.iterations());
    ReaderLabel(state, readerKind);
}

BENCHMARK(BM_ReadAsync)
    ->ArgNames({"mmap", "inflight"})
    ->ArgsProduct({{0, 1}, {1, 4, 16}})
    ->UseRealTime();
BENCHMARK(BM_ReadSync)->ArgNames({"mmap"})->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
