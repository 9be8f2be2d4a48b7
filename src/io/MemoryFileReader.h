// MemoryFileReader: a FileReader over an index file image held in memory. It
// behaves like the memory-mapped reader (inline asynchronous reads, copy-free
// Peek) and serves tests, fuzzing and callers that already hold the bytes.
#pragma once

#include <string>

#include "io/RegionFileReader.h"

namespace orvane::io {

class MemoryFileReader : public RegionFileReader {
  public:
    explicit MemoryFileReader(std::string contents);
    core::Status Close() override;

  private:
    std::string _contents;
};

}  // namespace orvane::io
