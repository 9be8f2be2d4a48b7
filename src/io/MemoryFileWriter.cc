#include "io/MemoryFileWriter.h"

namespace orvane::io {

core::Status MemoryFileWriter::Write(const char* data, uint64_t size) {
    if (_closed) return core::Status(core::ErrorCode::IoError, "File is already closed");
    if (size > _target.max_size() - _target.size()) {
        return core::Status(core::ErrorCode::IoError, "Index image too large for memory");
    }
    _target.append(data, size);
    return core::Status::Ok();
}

core::Status MemoryFileWriter::Close() {
    _closed = true;
    return core::Status::Ok();
}

}  // namespace orvane::io
