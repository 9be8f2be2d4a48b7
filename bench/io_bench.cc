// Random 4 KiB reads of a large index file section through SectionReader, on the
// local-file reader (positioned reads on the IO executor) and the memory-mapped
// reader: batches of 1, 4 and 16 reads through ReadBatch, and plain synchronous
// copying reads. Reported as reads per second (items_per_second).
#include "BenchIndexFile.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "orvane/io/FileReader.h"
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

// Batches of `inflight` reads at consecutive random offsets through ReadBatch,
// the searcher's read path.
void BM_ReadBatch(benchmark::State& state) {
    const int readerKind = static_cast<int>(state.range(0));
    const size_t inflight = static_cast<size_t>(state.range(1));
    const auto& file = File();
    OpenedSection opened(file, readerKind);
    std::vector<std::vector<char>> buffers(inflight, std::vector<char>(kReadSize));
    std::vector<orvane::io::InputStream::SectionReader::ReadRequest> requests(inflight);
    size_t next = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < inflight; ++i) {
            requests[i].offset = file.Offset(next++);
            requests[i].length = kReadSize;
            requests[i].buffer = buffers[i].data();
        }
        if (!opened.section->ReadBatch(requests).IsOk()) state.SkipWithError("read failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * inflight));
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

BENCHMARK(BM_ReadBatch)
    ->ArgNames({"mmap", "inflight"})
    ->ArgsProduct({{0, 1}, {1, 4, 16}})
    ->UseRealTime();
BENCHMARK(BM_ReadSync)->ArgNames({"mmap"})->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
