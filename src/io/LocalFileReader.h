// LocalFileReader: a FileReader over a local file descriptor. Synchronous reads
// are positioned reads under the reader's mutex; asynchronous reads run their
// positioned reads on the executor's workers, any number at a time, and are
// counted so that Close waits until none of them touches the descriptor.
#pragma once

#include <sys/types.h>
#include <unistd.h>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "coro/Executor.h"
#include "orvane/io/FileReader.h"

namespace orvane::io {

class LocalFileReader : public FileReader {
  public:
    // Opens the file; never fails. An unopened reader answers "File is not open".
    // The executor must outlive the reader.
    LocalFileReader(std::string path, coro::Executor& executor);
    ~LocalFileReader() override;

    core::Status Read(char* data, uint64_t size) override;
    // Waits for asynchronous reads in flight, then closes the descriptor. Every
    // call returns the outcome of the one real close.
    core::Status Close() override;
    core::Result<uint64_t> GetLength() override;
    core::Result<uint64_t> GetPosition() override;
    core::Status Seek(uint64_t offset) override;
    // Completes on an executor worker, or on the calling thread when refused early.
    void ReadAsync(char* data, uint64_t size, uint64_t offset, Completion completion) override;
    // Reads on the calling thread when every byte is in the page cache (a
    // positioned read that refuses to wait for the disk); nullopt otherwise, or
    // where the system offers no such read.
    std::optional<core::Status> TryReadNow(char* data, uint64_t size, uint64_t offset) override;

    // The positioned read primitive; tests substitute one that is interrupted or
    // returns short counts.
    using PreadFunction = ssize_t (*)(int fd, void* buf, size_t count, off_t offset);

    // Reads exactly `size` bytes at `offset`, retrying interrupted and short reads.
    static core::Status ReadFullyAt(int fd, char* data, uint64_t size, uint64_t offset,
                                    PreadFunction readAt = &::pread);

  private:
    // Checks shared by every operation; requires _mutex.
    core::Status CheckOpenLocked() const;
    // Admits an asynchronous or immediate read of [offset, offset + size): its
    // descriptor, or the refusal.
    core::Result<int> BeginRead(uint64_t size, uint64_t offset);
    void FinishInflight();

    std::string _filePath;
    coro::Executor& _executor;
    int _fd = -1;
    uint64_t _fileSize = 0;
    uint64_t _position = 0;
    uint64_t _inflight = 0;
    bool _closing = false;
    bool _isClosed = false;
    core::Status _closeStatus;
    mutable std::mutex _mutex;
    std::condition_variable _inflightCv;
};

}  // namespace orvane::io
