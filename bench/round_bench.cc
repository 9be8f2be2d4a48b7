// The cost of one beam-search-like round: 4 reads of 4 KiB at random offsets
// of a page-cached index file, as a DiskANN search issues them each round.
// Compared side by side:
//   RawPread            4 plain preads on a descriptor: the floor;
//   ReadBatch           SectionReader::ReadBatch (reads that can complete at
//                       once do so on the calling thread), the searcher's path.
// Reader 0 is the local-file reader, 1 the memory-mapped reader. The figure to
// watch is each round's time divided by RawPread's.
#include "BenchIndexFile.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "orvane/io/FileReader.h"
#include "io/InputStream.h"
#include "util/ExecutorManager.h"

namespace {

using orvane::bench::kReadSize;
using orvane::bench::OpenedSection;

using orvane::core::Status;
using orvane::io::InputStream;
using ReadRequest = InputStream::SectionReader::ReadRequest;

constexpr uint64_t kFileSize = 64ull << 20;
constexpr int kRoundReads = 4;

const orvane::bench::BenchIndexFile& File() {
    static const orvane::bench::BenchIndexFile file("round_bench", kFileSize);
    return file;
}

void BM_RoundRawPread(benchmark::State& state) {
    const auto& file = File();
    const int fd = ::open(file.Path().c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffers(kRoundReads * kReadSize);
    size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < kRoundReads; ++i) {
            if (::pread(fd, buffers.data() + i * kReadSize, kReadSize,
                        static_cast<off_t>(file.Offset(next++))) !=
                static_cast<ssize_t>(kReadSize)) {
                state.SkipWithError("pread failed");
            }
        }
        benchmark::DoNotOptimize(buffers.data());
    }
    ::close(fd);
}
BENCHMARK(BM_RoundRawPread)->UseRealTime();

void BM_RoundReadBatch(benchmark::State& state) {
    const int readerKind = static_cast<int>(state.range(0));
    const auto& file = File();
    OpenedSection opened(file, readerKind);
    std::vector<char> buffers(kRoundReads * kReadSize);
    ReadRequest requests[kRoundReads];
    size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < kRoundReads; ++i) {
            requests[i] = {file.Offset(next++), kReadSize, buffers.data() + i * kReadSize,
                           Status()};
        }
        if (!opened.section->ReadBatch(requests).IsOk()) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buffers.data());
    }
    state.SetLabel(OpenedSection::Label(readerKind));
}
BENCHMARK(BM_RoundReadBatch)->ArgNames({"mmap"})->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
