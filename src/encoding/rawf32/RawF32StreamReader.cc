#include "encoding/rawf32/RawF32StreamReader.h"

#include <span>

namespace orvane::quantizer::detail {

using core::ErrorCode;
using core::Status;

Status ReadRawF32Rows(const std::shared_ptr<io::InputStream::SectionReader>& reader,
                      uint64_t offset, uint64_t count, dist::dimension_t dim,
                      std::pmr::vector<float>& rows) {
    if (reader == nullptr) return Status(ErrorCode::InvalidArgument, "Null SectionReader");
    const uint64_t payload = reader->SectionPayloadSize();
    if (offset > payload) {
        return Status(ErrorCode::Corruption, "Quantizer payload is smaller than meta size");
    }
    if (dim != 0 && count > UINT64_MAX / dim) {
        return Status(ErrorCode::Corruption, "Quantizer data size overflow");
    }
    const uint64_t elements = count * dim;
    if (elements > UINT64_MAX / sizeof(float)) {
        return Status(ErrorCode::Corruption, "Quantizer data size overflow");
    }
    const uint64_t bytes = elements * sizeof(float);
    if (payload - offset < bytes) {
        return Status(ErrorCode::Corruption, "Quantizer data size mismatch");
    }
    if (payload - offset > bytes) {
        return Status(ErrorCode::Corruption, "Quantizer stream has trailing bytes");
    }
    if (elements > rows.max_size()) {
        return Status(ErrorCode::Corruption, "Quantizer data size too large");
    }
    std::pmr::vector<float> loaded(elements, rows.get_allocator());
    if (bytes != 0) {
        ORVANE_RETURN_IF_ERROR(reader->Read(
            offset, bytes, std::span<char>(reinterpret_cast<char*>(loaded.data()), bytes)));
    }
    rows.swap(loaded);
    return Status::Ok();
}

}  // namespace orvane::quantizer::detail
