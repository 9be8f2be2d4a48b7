// FileReader: the byte source an index file is read from. Besides sequential reads
// from a current position it offers positioned asynchronous reads, which neither use
// nor move the position, and, where the bytes are held in memory, in-place views.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "api/NoCopyable.h"
#include "api/Options.h"
#include "api/Result.h"
#include "api/Status.h"

namespace orvane::io {

class FileReader : public core::NoCopyable {
  public:
    // Receives the outcome of an asynchronous read, exactly once.
    using Completion = std::function<void(core::Status)>;

    // A view of bytes held by the reader, valid until the reader is closed.
    struct PeekResult {
        const char* data = nullptr;
        uint64_t size = 0;
    };

    FileReader() = default;
    virtual ~FileReader() = default;

    // Reads `size` bytes at the current position and advances it.
    virtual core::Status Read(char* data, uint64_t size) = 0;
    virtual core::Status Close() = 0;
    virtual core::Result<uint64_t> GetLength() = 0;
    virtual core::Result<uint64_t> GetPosition() = 0;
    virtual core::Status Seek(uint64_t offset) = 0;
    // Reads `size` bytes at absolute `offset` into `data`, then calls `completion`.
    // The default has no asynchronous support and completes with "Unimplemented.".
    virtual void ReadAsync(char* data, uint64_t size, uint64_t offset, Completion completion);
    // A view of up to `size` bytes at `offset`. The default returns NotSupported.
    virtual core::Result<PeekResult> Peek(uint64_t offset, uint64_t size);
};

// Creates the reader named by "io.reader.type" ("local" by default, or "mmap" with
// "io.reader.mmap.lock_mode") for the file named by "index.path".
core::Result<std::unique_ptr<FileReader>> CreateFileReader(const api::IOOptions& options);

}  // namespace orvane::io
