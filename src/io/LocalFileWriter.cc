#include "io/LocalFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "io/TempFiles.h"
#include "telemetry/Logger.h"

namespace orvane::io {
namespace {

using core::ErrorCode;
using core::Status;

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// Writes all bytes to fd, retrying short writes and interruptions.
bool WriteAll(int fd, const char* data, size_t size, int* err) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::filesystem::path ParentDir(const std::string& path) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

constexpr char kTempTag[] = ".tmp.";

// Creates a new file beside `target` under a name no other writer uses:
// "<target>.tmp.<pid>.<sequence>.<ticks>", the pid telling later writers whether the
// file's writer is still alive.
int CreateTempBeside(const std::string& target, std::string* tempPath) {
    static std::atomic<uint64_t> sequence{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        const uint64_t seq = sequence.fetch_add(1, std::memory_order_relaxed);
        const auto ticks =
            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        std::string candidate = target + kTempTag + std::to_string(::getpid()) + "." +
                                std::to_string(seq) + "." + std::to_string(ticks % 1000000);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *tempPath = std::move(candidate);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

Status SyncDirectory(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Status(ErrorCode::IoError, "Failed to sync directory: " + ErrnoText(errno));
    Status status;
    if (::fsync(fd) != 0)
        status = Status(ErrorCode::IoError, "Failed to sync directory: " + ErrnoText(errno));
    ::close(fd);
    return status;
}

}  // namespace

LocalFileWriter::LocalFileWriter(std::string filePath) : _filePath(std::move(filePath)) {
    if (_filePath.empty()) {
        ORVANE_LOG_ERROR("Failed to create LocalFileWriter: empty file path");
        return;
    }
    const std::filesystem::path parent = std::filesystem::path(_filePath).parent_path();
    if (!parent.empty()) {
        // A failure here surfaces as the open failure just below.
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
    }
    // Temporary files of writers that were killed before they could clean up.
    RemoveStaleTempFiles(_filePath, kTempTag);
    _fd = CreateTempBeside(_filePath, &_tempPath);
    if (_fd >= 0) _pendingSlot = RegisterPendingTempFile(_tempPath);
    if (_fd < 0) {
        ORVANE_LOG_ERROR("Failed to open file for writing: [%s]", _filePath.c_str());
        return;
    }
    _buffer = std::make_unique<char[]>(kBufferSize);
}

LocalFileWriter::~LocalFileWriter() {
    if (!_isClosed) Abandon();
}

void LocalFileWriter::Abandon() {
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
    if (!_tempPath.empty()) {
        ::unlink(_tempPath.c_str());
        _tempPath.clear();
    }
    UnregisterPendingTempFile(_pendingSlot);
    _pendingSlot = -1;
}

Status LocalFileWriter::WriteFailure(int err) const {
    ORVANE_LOG_ERROR("Failed to write [%s]: [%s]", _tempPath.c_str(), ErrnoText(err).c_str());
    // The fixed text, then where and why, so a full disk is told apart from a
    // lost mount without the log.
    return Status(ErrorCode::IoError,
                  "Failed to write data to file: " + _filePath + ": " + ErrnoText(err));
}

Status LocalFileWriter::FlushBuffer() {
    if (_buffered == 0) return Status();
    int err = 0;
    const bool ok = WriteAll(_fd, _buffer.get(), _buffered, &err);
    _buffered = 0;
    if (!ok) {
        _failure = WriteFailure(err);
    }
    return _failure;
}

Status LocalFileWriter::Write(const char* data, uint64_t size) {
    if (_isClosed) return Status(ErrorCode::InvalidArgument, "File is already closed");
    if (_fd < 0) return Status(ErrorCode::IoError, "File is not open");
    if (size == 0) return Status();
    if (data == nullptr) return Status(ErrorCode::InvalidArgument, "Data pointer is null");
    if (!_failure.IsOk()) return _failure;

    if (size <= kBufferSize - _buffered) {
        std::memcpy(_buffer.get() + _buffered, data, size);
        _buffered += size;
    } else {
        ORVANE_RETURN_IF_ERROR(FlushBuffer());
        if (size >= kBufferSize) {
            int err = 0;
            if (!WriteAll(_fd, data, size, &err)) {
                _failure = WriteFailure(err);
                return _failure;
            }
        } else {
            std::memcpy(_buffer.get(), data, size);
            _buffered = size;
        }
    }
    _bytesWritten += size;
    return Status();
}

Status LocalFileWriter::Commit() {
    ORVANE_RETURN_IF_ERROR(_failure);
    ORVANE_RETURN_IF_ERROR(FlushBuffer());
    if (::fsync(_fd) != 0)
        return Status(ErrorCode::IoError, "Failed to sync file: " + ErrnoText(errno));
    const int fd = _fd;
    _fd = -1;
    if (::close(fd) != 0)
        return Status(ErrorCode::IoError, "Failed to close file: " + ErrnoText(errno));
    if (::rename(_tempPath.c_str(), _filePath.c_str()) != 0) {
        return Status(ErrorCode::IoError, "Failed to rename file: " + ErrnoText(errno));
    }
    _tempPath.clear();
    UnregisterPendingTempFile(_pendingSlot);
    _pendingSlot = -1;
    return SyncDirectory(ParentDir(_filePath));
}

Status LocalFileWriter::Close() {
    if (_isClosed) return _closeStatus;
    if (_fd < 0) return Status(ErrorCode::InvalidArgument, "File is not open");
    _closeStatus = Commit();
    if (!_closeStatus.IsOk()) {
        ORVANE_LOG_ERROR("Failed to publish [%s]: [%s]", _filePath.c_str(),
                         _closeStatus.Message().c_str());
    }
    // Whatever happened, nothing of this writer may stay behind except a published file.
    Abandon();
    _buffer.reset();
    _isClosed = true;
    return _closeStatus;
}

core::Result<uint64_t> LocalFileWriter::GetLength() {
    return _bytesWritten;
}

}  // namespace orvane::io
