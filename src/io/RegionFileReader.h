// RegionFileReader: the shared part of readers that hold the whole file as one
// contiguous region of memory. Every read, including asynchronous ones, is served
// by copying from the region on the calling thread, and Peek hands out views into
// it. Subclasses provide the region (a memory map, an owned buffer) and release it
// only after CloseReads: reads running on other threads when Close begins finish
// first, and reads begun after it are refused with "File is already closed".
// Views from Peek are not counted: they must not be used after Close; a scope
// opened by BeginInPlace is, so its views stay valid until EndInPlace.
#pragma once

#include <cstdint>

#include "orvane/io/FileReader.h"

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
    // Always completes: a copy out of the region.
    std::optional<core::Status> TryReadNow(char* data, uint64_t size, uint64_t offset) override;
    // The region, admitted like a read: Close waits for EndInPlace.
    const char* BeginInPlace() override;
    void EndInPlace() override { _gate.Leave(); }

  protected:
    RegionFileReader() = default;
    // Copies `size` bytes at `offset` after the checks every read shares.
    core::Status CopyOut(char* data, uint64_t size, uint64_t offset) const;
    // Refuses new reads and waits for those in flight; call before releasing
    // the region.
    void CloseReads() { _gate.CloseAndWait(); }
    // Admits reads again after a new region is in place.
    void ReopenReads() { _gate.Reopen(); }

    const char* _mappedData = nullptr;  // null when no bytes are held
    uint64_t _fileSize = 0;
    uint64_t _position = 0;
    bool _isClosed = false;

  private:
    mutable ReadGate _gate;
};

}  // namespace orvane::io
