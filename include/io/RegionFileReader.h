// RegionFileReader: the shared part of readers that hold the whole file as one
// contiguous region of memory. Every read, including asynchronous ones, is served
// by copying from the region on the calling thread, and Peek hands out views into
// it. Subclasses provide the region (a memory map, an owned buffer) and release it.
#pragma once

#include <cstdint>

#include "io/FileReader.h"

namespace orvane::io {

class RegionFileReader : public FileReader {
  public:
    core::Status Read(char* data, uint64_t size) override;
    core::Result<uint64_t> GetLength() override { return _fileSize; }
    core::Result<uint64_t> GetPosition() override { return _position; }
    core::Status Seek(uint64_t offset) override;
    // Completes before returning; the completion must not be empty.
    void ReadAsync(char* data, uint64_t size, uint64_t offset, Completion completion) override;
    // A view shortened to the end of the file when it would run past it.
    core::Result<PeekResult> Peek(uint64_t offset, uint64_t size) override;

  protected:
    RegionFileReader() = default;
    // Copies `size` bytes at `offset` after the checks every read shares.
    core::Status CopyOut(char* data, uint64_t size, uint64_t offset) const;

    const char* _mappedData = nullptr;  // null when no bytes are held
    uint64_t _fileSize = 0;
    uint64_t _position = 0;
    bool _isClosed = false;
};

}  // namespace orvane::io
