#include "encoding/SectionPayloadReader.h"

#include <utility>

namespace orvane::quantizer::detail {

using core::ErrorCode;
using core::Status;

SectionPayloadReader::SectionPayloadReader(std::shared_ptr<SectionReader> sectionReader,
                                           uint64_t cursor)
    : _sectionReader(std::move(sectionReader)),
      _payloadSize(_sectionReader ? _sectionReader->SectionPayloadSize() : 0),
      _cursor(cursor) {}

Status SectionPayloadReader::CheckReadable(uint64_t bytes, const char* truncatedMsg) const {
    if (_sectionReader == nullptr) return Status(ErrorCode::InvalidArgument, "Null SectionReader");
    if (bytes > Remaining()) return Status(ErrorCode::Corruption, truncatedMsg);
    return Status::Ok();
}

Status SectionPayloadReader::Read(uint64_t bytes, std::span<char> dest, const char* truncatedMsg) {
    ORVANE_RETURN_IF_ERROR(CheckReadable(bytes, truncatedMsg));
    if (bytes > dest.size()) return Status(ErrorCode::InvalidArgument, "Buffer too small");
    if (bytes == 0) return Status::Ok();
    ORVANE_RETURN_IF_ERROR(_sectionReader->Read(_cursor, bytes, dest));
    _cursor += bytes;
    return Status::Ok();
}

Status SectionPayloadReader::ExpectEnd() const {
    if (Remaining() != 0)
        return Status(ErrorCode::Corruption, "Quantizer stream has trailing bytes");
    return Status::Ok();
}

Status SectionPayloadReader::CheckArraySize(uint64_t count, uint64_t elementSize, uint64_t maxCount,
                                            const char* tooLargeMsg, uint64_t& bytes) {
    if (elementSize != 0 && count > UINT64_MAX / elementSize) {
        return Status(ErrorCode::Corruption, "Quantizer size overflow");
    }
    if (count > maxCount) return Status(ErrorCode::Corruption, tooLargeMsg);
    bytes = count * elementSize;
    return Status::Ok();
}

}  // namespace orvane::quantizer::detail
