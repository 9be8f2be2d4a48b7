// LocalFileWriter: a FileWriter over a local file that replaces its target
// atomically. Bytes go to a uniquely named temporary file beside the target;
// only a successful Close flushes and syncs it, renames it over the target and
// syncs the directory. A writer that fails or is destroyed before that removes
// its temporary file, so an existing file at the target path is never damaged
// and a half-written file never appears under the target name. Temporary files
// are named and listed as TempFiles.h describes, so a signal handler can remove
// them and stale ones of dead processes are removed by the next writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "orvane/io/FileWriter.h"

namespace orvane::io {

class LocalFileWriter : public FileWriter {
  public:
    // Creates missing parent directories and the temporary file. Never fails:
    // a writer that could not open reports "File is not open" at first use.
    explicit LocalFileWriter(std::string filePath);
    ~LocalFileWriter() override;

    core::Status Write(const char* data, uint64_t size) override;
    core::Status Close() override;
    core::Result<uint64_t> GetLength() override;

    // The temporary file receiving the bytes; empty once closed or when unopened.
    const std::string& TempPath() const { return _tempPath; }

    static constexpr size_t kBufferSize = 1 << 20;

  private:
    core::Status Commit();
    core::Status FlushBuffer();
    // Logs a failed write and returns its IoError, naming the file and errno.
    core::Status WriteFailure(int err) const;
    // Closes and removes the temporary file without touching the target.
    void Abandon();

    std::string _filePath;
    std::string _tempPath;
    int _fd = -1;
    int _pendingSlot = -1;  // the temporary file's entry in the signal cleanup table
    std::unique_ptr<char[]> _buffer;
    size_t _buffered = 0;
    uint64_t _bytesWritten = 0;
    bool _isClosed = false;
    // The first write failure; once set, the file is never published.
    core::Status _failure;
    core::Status _closeStatus;
};

}  // namespace orvane::io
