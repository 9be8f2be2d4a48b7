#include "io/MmapFileReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "telemetry/Logger.h"

namespace orvane::io {

using core::ErrorCode;
using core::Status;

core::Result<std::unique_ptr<MmapFileReader>> MmapFileReader::Create(const std::string& path,
                                                                     LockMode mode) {
    if (path.empty()) return Status(ErrorCode::InvalidArgument, "File path is empty");
    auto reader = std::make_unique<MmapFileReader>();
    ORVANE_RETURN_IF_ERROR(reader->Open(path, mode));
    return reader;
}

MmapFileReader::~MmapFileReader() {
    // Nobody is left to hear of a failing unmap.
    if (!_isClosed) (void)Close();
}

Status MmapFileReader::Open(const std::string& path, LockMode mode) {
    // A reader opened before gives up its mapping and descriptor first, and a
    // closed one becomes usable again; what the old mapping's release reports
    // does not concern the new file.
    (void)Close();
    _isClosed = false;
    ReopenReads();
    _position = 0;
    _filePath = path;
    _lockMode = mode;
    _fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not hang
    if (_fd < 0) {
        return Status(ErrorCode::IoError,
                      "Failed to open file: " + path + ", " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(_fd, &st) != 0) {
        const int err = errno;
        ::close(_fd);
        _fd = -1;
        return Status(ErrorCode::IoError,
                      std::string("Failed to fstat file: ") + std::strerror(err));
    }
    _fileSize = static_cast<uint64_t>(st.st_size);
    if (_fileSize == 0) {
        ::close(_fd);
        _fd = -1;
        _mappedData = nullptr;
        return Status();
    }
    const int flags = MAP_PRIVATE | (mode == LockMode::Populate ? MAP_POPULATE : 0);
    void* mapped = ::mmap(nullptr, _fileSize, PROT_READ, flags, _fd, 0);
    if (mapped == MAP_FAILED) {
        const int err = errno;
        ::close(_fd);
        _fd = -1;
        _mappedData = nullptr;
        return Status(ErrorCode::IoError,
                      std::string("Failed to mmap file: ") + std::strerror(err));
    }
    _mappedData = static_cast<const char*>(mapped);
    if (mode == LockMode::Mlock && ::mlock(mapped, _fileSize) != 0) {
        ORVANE_LOG_WARN("Failed to mlock file [%s]: [%s], continuing without lock", path.c_str(),
                        std::strerror(errno));
    }
    return Status();
}

Status MmapFileReader::Close() {
    // Reads copying out of the mapping on other threads finish before it goes.
    CloseReads();
    if (_isClosed) return Status();
    if (_mappedData != nullptr) {
        void* mapped = const_cast<char*>(_mappedData);
        if (_lockMode == LockMode::Mlock) ::munlock(mapped, _fileSize);
        ::munmap(mapped, _fileSize);
        _mappedData = nullptr;
    }
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
    _isClosed = true;
    return Status();
}

}  // namespace orvane::io
