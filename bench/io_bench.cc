// Random 4 KiB reads of a large index file section through SectionReader, on the
// local-file reader (positioned reads on the IO executor) and the memory-mapped
// reader: asynchronous reads with 1, 4 and 16 in flight, and plain synchronous
// copying reads. Reported as reads per second (items_per_second).
#include "BenchIndexFile.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "io/FileReader.h"
#include "io/InputStream.h"

namespace {

using orvane::bench::kReadSize;
using orvane::bench::OpenedSection;

using orvane::io::InputStream;

constexpr uint64_t kFileSize = 256ull << 20;

const orvane::bench::BenchIndexFile& File() {
    static const orvane::bench::BenchIndexFile file("io_bench", kFileSize);
    return file;
}

void ReaderLabel(benchmark::State& state, int readerKind) {
    state.SetLabel(OpenedSection::Label(readerKind));
}

// A sliding window of `inflight` reads: each step waits for the oldest read and
// issues a new one in its slot.
void BM_ReadAsync(benchmark::State& state) {
    const int readerKind = static_cast<int>(state.range(0));
    const size_t inflight = static_cast<size_t>(state.range(1));
    const auto& file = File();
    OpenedSection opened(file, readerKind);
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
    const auto& file = File();
    OpenedSection opened(file, readerKind);
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
