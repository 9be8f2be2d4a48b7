#include "io/RegionFileReader.h"

#include <algorithm>
#include <cstring>

namespace orvane::io {
namespace {

using core::ErrorCode;
using core::Status;

Status ClosedStatus() {
    return Status(ErrorCode::InvalidArgument, "File is already closed");
}
Status NotMappedStatus() {
    return Status(ErrorCode::IoError, "File is not mapped");
}

}  // namespace

Status RegionFileReader::CopyOut(char* data, uint64_t size, uint64_t offset) const {
    ReadGate::Pass pass(_gate);
    if (!pass.Admitted() || _isClosed) return ClosedStatus();
    if (_mappedData == nullptr) return NotMappedStatus();
    if (data == nullptr) return Status(ErrorCode::InvalidArgument, "Data pointer is null");
    if (size == 0) return Status();
    if (offset > _fileSize || size > _fileSize - offset) {
        return Status(ErrorCode::InvalidArgument, "Read beyond file size");
    }
    std::memcpy(data, _mappedData + offset, size);
    return Status();
}

Status RegionFileReader::Read(char* data, uint64_t size) {
    ORVANE_RETURN_IF_ERROR(CopyOut(data, size, _position));
    _position += size;
    return Status();
}

Status RegionFileReader::Seek(uint64_t offset) {
    if (_isClosed) return ClosedStatus();
    if (offset > _fileSize) return Status(ErrorCode::InvalidArgument, "Seek beyond file size");
    _position = offset;
    return Status();
}

void RegionFileReader::ReadAsync(char* data, uint64_t size, uint64_t offset,
                                 Completion completion) {
    if (!completion) return;
    completion(CopyOut(data, size, offset));
}

std::optional<Status> RegionFileReader::TryReadNow(char* data, uint64_t size, uint64_t offset) {
    return CopyOut(data, size, offset);
}

const char* RegionFileReader::BeginInPlace() {
    if (!_gate.Enter()) return nullptr;
    if (_isClosed || _mappedData == nullptr) {
        _gate.Leave();
        return nullptr;
    }
    return _mappedData;
}

core::Result<FileReader::PeekResult> RegionFileReader::Peek(uint64_t offset, uint64_t size) {
    ReadGate::Pass pass(_gate);
    if (!pass.Admitted() || _isClosed) return ClosedStatus();
    if (_mappedData == nullptr) return NotMappedStatus();
    if (offset > _fileSize) return Status(ErrorCode::InvalidArgument, "Offset beyond file size");
    return PeekResult{_mappedData + offset, std::min(size, _fileSize - offset)};
}

}  // namespace orvane::io
