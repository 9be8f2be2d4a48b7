// An index file for the read benchmarks: one section "data" of random bytes,
// written once per process (so its pages are in the page cache) and removed at
// exit, with a fixed sequence of random 4 KiB-aligned read offsets; and the
// section opened through the local-file or memory-mapped reader.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "orvane/api/Options.h"
#include "orvane/io/FileReader.h"
#include "io/InputStream.h"
#include "io/LocalFileWriter.h"
#include "io/OutputStream.h"
#include "telemetry/Logger.h"

namespace orvane::bench {

constexpr uint64_t kReadSize = 4096;

class BenchIndexFile {
  public:
    BenchIndexFile(const std::string& name, uint64_t fileSize)
        : _path("/tmp/orvane_" + name + "_" + std::to_string(::getpid()) + ".idx") {
        telemetry::Logger::Instance().SetLevel(telemetry::LogLevel::Warn);
        io::OutputStream stream(std::make_unique<io::LocalFileWriter>(_path));
        if (!stream.Init({}).IsOk()) std::abort();
        std::vector<char> chunk(1 << 20);
        std::mt19937_64 rng(1);
        for (uint64_t done = 0; done < fileSize; done += chunk.size()) {
            for (char& c : chunk) c = static_cast<char>(rng());
            if (!stream.Write(chunk.data(), chunk.size()).IsOk()) std::abort();
        }
        if (!stream.SealSection("data", 4096).IsOk() || !stream.Close().IsOk()) std::abort();
        std::mt19937_64 pick(2);
        _offsets.resize(1 << 16);
        for (uint64_t& off : _offsets) off = (pick() % (fileSize / kReadSize)) * kReadSize;
    }
    ~BenchIndexFile() { std::remove(_path.c_str()); }

    const std::string& Path() const { return _path; }
    uint64_t Offset(size_t i) const { return _offsets[i & (_offsets.size() - 1)]; }

  private:
    std::string _path;
    std::vector<uint64_t> _offsets;
};

// The "data" section of `file` over reader kind 0 (local) or 1 (mmap).
struct OpenedSection {
    OpenedSection(const BenchIndexFile& file, int readerKind) : stream(Create(file, readerKind)) {
        if (!stream.Open({}).IsOk()) std::abort();
        section = stream.GetSectionReader("data").TakeValue();
    }
    static std::unique_ptr<io::FileReader> Create(const BenchIndexFile& file, int readerKind) {
        auto reader = io::CreateFileReader(orvane::api::IOOptions{
            {"index.path", file.Path()},
            {"io.reader.type", std::string(readerKind == 0 ? "local" : "mmap")}});
        if (!reader.IsOk()) std::abort();
        return reader.TakeValue();
    }
    static const char* Label(int readerKind) { return readerKind == 0 ? "local" : "mmap"; }

    io::InputStream stream;
    std::shared_ptr<io::InputStream::SectionReader> section;
};

}  // namespace orvane::bench
