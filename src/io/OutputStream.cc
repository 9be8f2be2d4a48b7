#include "io/OutputStream.h"

#include <algorithm>
#include <array>

#include "io/Crc32c.h"
#include "telemetry/Logger.h"

namespace orvane::io {
namespace {

using core::ErrorCode;
using core::Status;

Status NoActiveSection() {
    return Status(ErrorCode::FailedPrecondition, "No active section to write.");
}

Status AlreadyClosed() {
    return Status(ErrorCode::FailedPrecondition, "Stream is already closed.");
}

}  // namespace

OutputStream::OutputStream(std::unique_ptr<FileWriter> writer) : _writer(std::move(writer)) {}

Status OutputStream::Init(const IOSettings& /*settings*/) {
    if (_isClosed) return AlreadyClosed();
    if (!_writer) return Status(ErrorCode::FailedPrecondition, "File writer is null");
    if (!_sectionMetaWrappers.empty()) {
        return Status(ErrorCode::FailedPrecondition, "Stream is already initialized.");
    }
    FileHeader header;
    header.dataOffset = kFileHeaderSize;
    header.magic = kFileMagic;
    header.version = kFileVersion;
    header.headerSize = static_cast<uint32_t>(kFileHeaderSize);
    header.footerSize = static_cast<uint32_t>(kFileFooterSize);
    header.headerCrc = ComputeHeaderCrc(header);
    ORVANE_LOG_INFO("Writing FileHeader. crc[%u]", header.headerCrc);
    ORVANE_RETURN_IF_ERROR(
        Track(_writer->Write(reinterpret_cast<const char*>(&header), sizeof(header))));
    _sectionMetaWrappers.emplace_back();
    return Status();
}

Status OutputStream::Write(const char* data, uint64_t size) {
    if (_isClosed) return AlreadyClosed();
    if (_sectionMetaWrappers.empty()) return NoActiveSection();
    // Refused before the checksum would read through the pointer; the section
    // stays intact, so the caller may go on writing.
    if (data == nullptr && size != 0) {
        return Status(ErrorCode::InvalidArgument, "Data pointer is null");
    }
    SectionMetaWrapper& open = _sectionMetaWrappers.back();
    open.dataSize += size;
    if (size != 0) open.runningCrc = Crc32c::Extend(open.runningCrc, data, size);
    return Track(_writer->Write(data, size));
}

Status OutputStream::SealSection(std::string_view name, uint64_t alignSize) {
    if (_isClosed) return AlreadyClosed();
    if (_sectionMetaWrappers.empty()) return NoActiveSection();
    if (alignSize == 0) return Status(ErrorCode::InvalidArgument, "alignSize is 0.");
    const bool taken =
        std::any_of(_sectionMetaWrappers.begin(), _sectionMetaWrappers.end(),
                    [&](const SectionMetaWrapper& w) { return w.sectionName == name; });
    if (taken) return Status(ErrorCode::AlreadyExists, "section name exists");

    auto length = _writer->GetLength();
    if (!length.IsOk()) return Track(length.TakeStatus());
    SectionMetaWrapper& open = _sectionMetaWrappers.back();
    open.sectionName = std::string(name);
    open.sectionDataOffset = length.Value() - open.dataSize;

    const uint64_t pad = (alignSize - open.dataSize % alignSize) % alignSize;
    if (pad != 0) {
        // Zero padding is written in bounded pieces so huge alignments need no huge buffer.
        static constexpr std::array<char, 4096> kZeros{};
        for (uint64_t left = pad; left > 0;) {
            const uint64_t n = std::min<uint64_t>(left, kZeros.size());
            ORVANE_RETURN_IF_ERROR(Track(_writer->Write(kZeros.data(), n)));
            open.runningCrc = Crc32c::Extend(open.runningCrc, kZeros.data(), n);
            left -= n;
        }
        open.dataSize += pad;
    }
    open.dataCrc = Crc32c::Mask(open.runningCrc);
    open.paddingSize = pad;
    open.isSealed = true;
    ORVANE_LOG_INFO("Seal section[%s]", open.sectionName.c_str());
    // Invalidates `open`.
    _sectionMetaWrappers.emplace_back();
    return Status();
}

Status OutputStream::Close() {
    if (_isClosed) return AlreadyClosed();
    if (_sectionMetaWrappers.empty()) return NoActiveSection();
    const SectionMetaWrapper& open = _sectionMetaWrappers.back();
    if (open.dataSize != 0 && !open.isSealed) {
        return Status(ErrorCode::Corruption, "last section is not sealed.");
    }
    _sectionMetaWrappers.pop_back();
    _isClosed = true;

    auto length = _writer->GetLength();
    if (!length.IsOk()) return Track(length.TakeStatus());
    FileFooter footer;
    footer.sectionMetaOffset = length.Value();
    footer.sectionCount = static_cast<uint32_t>(_sectionMetaWrappers.size());

    uint64_t nameOffset = footer.sectionMetaOffset + kSectionMetaSize * footer.sectionCount;
    for (SectionMetaWrapper& wrapper : _sectionMetaWrappers) {
        wrapper.sectionNameOffset = nameOffset;
        wrapper.sectionNameSize = static_cast<uint32_t>(wrapper.sectionName.size());
        nameOffset += wrapper.sectionNameSize;
        SectionMeta meta = wrapper;  // only the on-disk part
        ORVANE_RETURN_IF_ERROR(
            Track(_writer->Write(reinterpret_cast<const char*>(&meta), sizeof(meta))));
    }
    for (const SectionMetaWrapper& wrapper : _sectionMetaWrappers) {
        ORVANE_RETURN_IF_ERROR(
            Track(_writer->Write(wrapper.sectionName.data(), wrapper.sectionName.size())));
    }
    footer.footerCrc = ComputeFooterCrc(footer);
    ORVANE_LOG_INFO("Writing FileFooter. crc[%u]", footer.footerCrc);
    ORVANE_RETURN_IF_ERROR(
        Track(_writer->Write(reinterpret_cast<const char*>(&footer), sizeof(footer))));
    return Track(_writer->Close());
}

Status OutputStream::Track(Status status) {
    if (!status.IsOk()) _writerFailed = true;
    return status;
}

}  // namespace orvane::io
