#include "index/diskann/format/SectionIO.h"

#include <span>

#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Status;
using SectionReaderPtr = std::shared_ptr<io::InputStream::SectionReader>;

core::Result<SectionReaderPtr> GetSectionAtLeast(io::InputStream& stream, const std::string& name,
                                                 uint64_t need, const char* what) {
    auto reader = stream.GetSectionReader(name);
    if (!reader.IsOk()) return reader.TakeStatus();
    const uint64_t got = reader.Value()->SectionPayloadSize();
    if (got < need) {
        ORVANE_LOG_ERROR("Invalid section size for [%s], expected at least %zu bytes, got %zu",
                         name.c_str(), static_cast<size_t>(need), static_cast<size_t>(got));
        return Status(ErrorCode::Internal, std::string("Invalid section size for ") + what);
    }
    return reader.TakeValue();
}

Status ReadSectionPrefix(io::InputStream& stream, const std::string& name, void* out, uint64_t size,
                         const char* what) {
    auto reader = GetSectionAtLeast(stream, name, size, what);
    if (!reader.IsOk()) return reader.TakeStatus();
    if (size == 0) return Status::Ok();
    return reader.Value()->Read(0, size, std::span<char>(static_cast<char*>(out), size));
}

}  // namespace orvane::index::diskann
