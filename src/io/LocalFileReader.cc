#include "io/LocalFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "telemetry/Logger.h"

namespace orvane::io {

using core::ErrorCode;
using core::Status;

LocalFileReader::LocalFileReader(std::string path, coro::Executor& executor)
    : _filePath(std::move(path)), _executor(executor) {
    if (_filePath.empty()) {
        ORVANE_LOG_ERROR("Failed to create LocalFileReader: empty file path");
        return;
    }
    // Non-blocking, so that opening a FIFO without a writer fails on reading
    // instead of hanging; it changes nothing for regular files.
    _fd = ::open(_filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (_fd < 0) {
        ORVANE_LOG_ERROR("Failed to open file for reading: [%s], [%s]", _filePath.c_str(),
                         std::strerror(errno));
        return;
    }
    struct stat st {};
    if (::fstat(_fd, &st) != 0) {
        ORVANE_LOG_ERROR("Failed to fstat file: [%s], [%s]", _filePath.c_str(),
                         std::strerror(errno));
        ::close(_fd);
        _fd = -1;
        return;
    }
    _fileSize = static_cast<uint64_t>(st.st_size);
}

LocalFileReader::~LocalFileReader() {
    // Nobody is left to hear of a failing close.
    (void)Close();
}

Status LocalFileReader::ReadFullyAt(int fd, char* data, uint64_t size, uint64_t offset,
                                    PreadFunction readAt) {
    uint64_t done = 0;
    while (done < size) {
        const ssize_t n = readAt(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (n == 0) return Status(ErrorCode::IoError, "Unexpected EOF while reading file");
        if (n < 0) {
            if (errno == EINTR) continue;
            return Status(ErrorCode::IoError, std::string("pread failed: ") + std::strerror(errno));
        }
        done += static_cast<uint64_t>(n);
    }
    return Status();
}

Status LocalFileReader::CheckOpenLocked() const {
    if (_closing || _isClosed) return Status(ErrorCode::InvalidArgument, "File is already closed");
    if (_fd < 0) return Status(ErrorCode::IoError, "File is not open");
    return Status();
}

Status LocalFileReader::Read(char* data, uint64_t size) {
    std::lock_guard<std::mutex> lock(_mutex);
    ORVANE_RETURN_IF_ERROR(CheckOpenLocked());
    if (size == 0) return Status();
    if (data == nullptr) return Status(ErrorCode::InvalidArgument, "Data pointer is null");
    if (_position > _fileSize || size > _fileSize - _position) {
        return Status(ErrorCode::InvalidArgument, "Read beyond file size");
    }
    ORVANE_RETURN_IF_ERROR(ReadFullyAt(_fd, data, size, _position));
    _position += size;
    return Status();
}

Status LocalFileReader::Seek(uint64_t offset) {
    std::lock_guard<std::mutex> lock(_mutex);
    ORVANE_RETURN_IF_ERROR(CheckOpenLocked());
    if (offset > _fileSize) return Status(ErrorCode::InvalidArgument, "Seek beyond file size");
    _position = offset;
    return Status();
}

core::Result<uint64_t> LocalFileReader::GetLength() {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!CheckOpenLocked().IsOk()) return Status(ErrorCode::IoError, "File is not open");
    return _fileSize;
}

core::Result<uint64_t> LocalFileReader::GetPosition() {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!CheckOpenLocked().IsOk()) return Status(ErrorCode::IoError, "File is not open");
    return _position;
}

void LocalFileReader::FinishInflight() {
    // Notifying under the mutex: once it is released a waiting Close may return
    // and the reader may be destroyed, so nothing of it is touched afterwards.
    std::lock_guard<std::mutex> lock(_mutex);
    if (--_inflight == 0) _inflightCv.notify_all();
}

void LocalFileReader::ReadAsync(char* data, uint64_t size, uint64_t offset, Completion completion) {
    if (!completion) return;
    if (data == nullptr) {
        completion(Status(ErrorCode::InvalidArgument, "Data pointer is null"));
        return;
    }
    if (size == 0) {
        completion(Status());
        return;
    }
    auto begun = BeginRead(size, offset);
    if (!begun.IsOk()) {
        completion(begun.TakeStatus());
        return;
    }
    const int fd = begun.Value();
    // The completion is shared with the task so that it is still ours to call when
    // the executor refuses the task (a refused std::function is gone with it).
    auto shared = std::make_shared<Completion>(std::move(completion));
    const bool scheduled = _executor.schedule([this, fd, data, size, offset, shared] {
        Status status = ReadFullyAt(fd, data, size, offset);
        FinishInflight();
        (*shared)(std::move(status));
    });
    if (!scheduled) {
        FinishInflight();
        (*shared)(Status(ErrorCode::Unavailable, "Failed to schedule async read"));
    }
}

core::Result<int> LocalFileReader::BeginRead(uint64_t size, uint64_t offset) {
    std::lock_guard<std::mutex> lock(_mutex);
    ORVANE_RETURN_IF_ERROR(CheckOpenLocked());
    if (offset > _fileSize || size > _fileSize - offset) {
        return Status(ErrorCode::InvalidArgument, "Read beyond file size");
    }
    ++_inflight;
    return _fd;
}

namespace {

// Cleared once the system refuses non-waiting reads altogether (an old kernel
// or a file system without them), so they are not tried again.
std::atomic<bool> g_noWaitReadsWork{true};

// Reads all of [offset, offset + size) without waiting for the disk: true when
// every byte came from the page cache; sets *status for a real failure.
bool ReadCachedAt(int fd, char* data, uint64_t size, uint64_t offset, Status* status) {
    uint64_t done = 0;
    while (done < size) {
        struct iovec iov {
            data + done, size - done
        };
        const ssize_t n = ::preadv2(fd, &iov, 1, static_cast<off_t>(offset + done), RWF_NOWAIT);
        if (n > 0) {
            done += static_cast<uint64_t>(n);
            continue;
        }
        if (n == 0) {
            *status = Status(ErrorCode::IoError, "Unexpected EOF while reading file");
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return false;  // part of it would wait for the disk
        if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) {
            g_noWaitReadsWork.store(false, std::memory_order_relaxed);
            return false;
        }
        *status = Status(ErrorCode::IoError, std::string("pread failed: ") + std::strerror(errno));
        return true;
    }
    return true;
}

}  // namespace

std::optional<Status> LocalFileReader::TryReadNow(char* data, uint64_t size, uint64_t offset) {
    if (data == nullptr) return Status(ErrorCode::InvalidArgument, "Data pointer is null");
    if (size == 0) return Status();
    auto begun = BeginRead(size, offset);
    if (!begun.IsOk()) return begun.TakeStatus();
    Status status;
    const bool completed = g_noWaitReadsWork.load(std::memory_order_relaxed) &&
                           ReadCachedAt(begun.Value(), data, size, offset, &status);
    FinishInflight();
    if (!completed) return std::nullopt;
    return status;
}

Status LocalFileReader::Close() {
    std::unique_lock<std::mutex> lock(_mutex);
    if (_isClosed) return _closeStatus;
    if (_closing) {
        _inflightCv.wait(lock, [this] { return _isClosed; });
        return _closeStatus;
    }
    _closing = true;
    _inflightCv.wait(lock, [this] { return _inflight == 0; });
    if (_fd < 0) {
        _closeStatus = Status(ErrorCode::InvalidArgument, "File is not open");
    } else {
        if (::close(_fd) != 0) {
            _closeStatus =
                Status(ErrorCode::IoError, std::string("close failed: ") + std::strerror(errno));
        } else {
            _closeStatus = Status();
        }
        _fd = -1;
    }
    _isClosed = true;
    _inflightCv.notify_all();
    return _closeStatus;
}

}  // namespace orvane::io
