#include "io/InputStream.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <variant>
#include <vector>

#include "coro/Baton.h"
#include "io/Crc32c.h"
#include "telemetry/Logger.h"

namespace orvane::io {

using core::ErrorCode;
using core::Status;

InputStream::InputStream(std::unique_ptr<FileReader> reader) : _reader(std::move(reader)) {}

Status InputStream::Open(const IOSettings& settings) {
    if (!_reader) return Status(ErrorCode::IoError, "File reader is null");
    _verifyCrc = settings.verifyCrc;

    auto length = _reader->GetLength();
    if (!length.IsOk()) return length.TakeStatus();
    const uint64_t fileSize = length.Value();
    if (fileSize < kFileHeaderSize + kFileFooterSize) {
        return Status(ErrorCode::Corruption, "File too small to contain header and footer");
    }

    FileHeader header;
    if (!_reader->Seek(0).IsOk() ||
        !_reader->Read(reinterpret_cast<char*>(&header), sizeof(header)).IsOk()) {
        return Status(ErrorCode::IoError, "Failed to read file header");
    }
    if (header.magic != kFileMagic)
        return Status(ErrorCode::Corruption, "Invalid file magic number");
    if (header.version != kFileVersion) {
        return Status(ErrorCode::NotSupported, "Unsupported file version");
    }
    const uint32_t headerCrc = ComputeHeaderCrc(header);
    if (headerCrc != header.headerCrc) {
        ORVANE_LOG_ERROR("Check header crc failed, [%u] vs [%u]", header.headerCrc, headerCrc);
        return Status(ErrorCode::Corruption, "Failed to check crc.");
    }

    const uint64_t footerOffset = fileSize - kFileFooterSize;
    if (!_reader->Seek(footerOffset).IsOk()) {
        return Status(ErrorCode::IoError, "Failed to seek to file footer");
    }
    FileFooter footer;
    if (!_reader->Read(reinterpret_cast<char*>(&footer), sizeof(footer)).IsOk()) {
        return Status(ErrorCode::IoError, "Failed to read file footer");
    }
    const uint32_t footerCrc = ComputeFooterCrc(footer);
    if (footerCrc != footer.footerCrc) {
        ORVANE_LOG_ERROR("Check footer crc failed, [%u] vs [%u]", footer.footerCrc, footerCrc);
        return Status(ErrorCode::Corruption, "Failed to check crc.");
    }
    if (footer.sectionMetaOffset > footerOffset || footer.sectionMetaOffset < kFileHeaderSize) {
        return Status(ErrorCode::Corruption, "Invalid section meta offset");
    }
    // No overflow: the count is 32-bit, so 64 times it fits in 64 bits.
    if (footerOffset - footer.sectionMetaOffset < kSectionMetaSize * footer.sectionCount) {
        return Status(ErrorCode::Corruption, "Section meta table exceeds file bounds");
    }
    if (!_reader->Seek(footer.sectionMetaOffset).IsOk()) {
        return Status(ErrorCode::IoError, "Failed to seek to section metadata");
    }
    ORVANE_LOG_INFO("File contains [%u] sections", footer.sectionCount);
    return LoadSectionTable(footer, footerOffset);
}

Status InputStream::LoadSectionTable(const FileFooter& footer, uint64_t limit) {
    if (footer.sectionCount == 0) return Status();
    // Bounded by the file size: the table was checked to lie inside the file.
    std::vector<SectionMeta> metas(footer.sectionCount);
    for (SectionMeta& meta : metas) {
        ORVANE_RETURN_IF_ERROR(_reader->Read(reinterpret_cast<char*>(&meta), sizeof(meta)));
    }
    const uint64_t metaOffset = footer.sectionMetaOffset;
    std::string name;
    for (const SectionMeta& meta : metas) {
        if (meta.dataSize < meta.paddingSize) {
            return Status(ErrorCode::Corruption, "Section data size is smaller than padding size");
        }
        if (meta.sectionDataOffset > metaOffset) {
            return Status(ErrorCode::Corruption, "Section data offset overlaps meta table");
        }
        if (meta.dataSize > metaOffset - meta.sectionDataOffset) {
            return Status(ErrorCode::Corruption, "Section data size exceeds file bounds");
        }
        if (meta.sectionNameOffset > limit) {
            return Status(ErrorCode::Corruption, "Section name offset exceeds file bounds");
        }
        if (meta.sectionNameSize > limit - meta.sectionNameOffset) {
            return Status(ErrorCode::Corruption, "Section name exceeds file bounds");
        }
        ORVANE_RETURN_IF_ERROR(_reader->Seek(meta.sectionNameOffset));
        name.assign(meta.sectionNameSize, '\0');
        ORVANE_RETURN_IF_ERROR(_reader->Read(name.data(), name.size()));
        _sectionMetas[name] = meta;
        ORVANE_LOG_INFO("File contains [%s] section", name.c_str());
    }
    return Status();
}

core::Result<std::shared_ptr<InputStream::SectionReader>> InputStream::GetSectionReader(
    const std::string& name) {
    if (auto cached = _sectionReaders.find(name); cached != _sectionReaders.end()) {
        return cached->second;
    }
    auto it = _sectionMetas.find(name);
    if (it == _sectionMetas.end()) {
        ORVANE_LOG_ERROR("Section [%s] doesn't exist", name.c_str());
        return Status(ErrorCode::InvalidArgument, "Failed to get section " + name);
    }
    const SectionMeta& meta = it->second;
    auto reader = std::make_shared<SectionReader>(meta.sectionDataOffset, meta.dataSize,
                                                  meta.paddingSize, meta.dataCrc, _reader);
    if (_verifyCrc) ORVANE_RETURN_IF_ERROR(reader->VerifyCrc());
    _sectionReaders.emplace(name, reader);
    return reader;
}

Status InputStream::Close() {
    _sectionReaders.clear();
    if (!_reader) return Status(ErrorCode::IoError, "File reader is null");
    return _reader->Close();
}

// ---- SectionReader ----------------------------------------------------------

InputStream::SectionReader::SectionReader(uint64_t offset, uint64_t size, uint64_t paddingSize,
                                          uint32_t crc, std::shared_ptr<FileReader> fileReader)
    : _offset(offset),
      _size(size),
      _paddingSize(paddingSize),
      _crc(crc),
      _fileReader(std::move(fileReader)) {}

Status InputStream::SectionReader::Read(uint64_t offset, uint64_t length,
                                        std::span<char> buffer) const {
    if (!InBounds(offset, length)) {
        return Status(ErrorCode::InvalidArgument,
                      "Read out of bounds, offset[" + std::to_string(offset) + "], length [" +
                          std::to_string(length) + "], size [" + std::to_string(_size) + "]");
    }
    if (length > buffer.size()) return Status(ErrorCode::InvalidArgument, "Buffer too small");
    ORVANE_RETURN_IF_ERROR(_fileReader->Seek(_offset + offset));
    return _fileReader->Read(buffer.data(), length);
}

std::optional<Status> InputStream::SectionReader::TryReadNow(uint64_t offset, uint64_t length,
                                                             std::span<char> buffer) const {
    if (length > buffer.size()) return Status(ErrorCode::InvalidArgument, "Buffer too small");
    if (!InBounds(offset, length)) return Status(ErrorCode::InvalidArgument, "Read out of bounds");
    return _fileReader->TryReadNow(buffer.data(), length, _offset + offset);
}

namespace {

// Counts the reads of a batch still running on other threads, plus one held
// by the issuing thread until it has issued them all.
struct BatchWait {
    void Arrive() {
        if (remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) done.Post();
    }

    std::atomic<size_t> remaining{1};
    coro::Baton done;
};

}  // namespace

Status InputStream::SectionReader::ReadBatch(std::span<ReadRequest> requests) const {
    BatchWait wait;
    for (ReadRequest& request : requests) {
        std::optional<Status> now =
            TryReadNow(request.offset, request.length, {request.buffer, request.length});
        if (now.has_value()) {
            request.status = std::move(*now);
            continue;
        }
        wait.remaining.fetch_add(1, std::memory_order_relaxed);
        // Two references: small enough for the completion to hold in place.
        _fileReader->ReadAsync(request.buffer, request.length, _offset + request.offset,
                               [&wait, &request](Status status) {
                                   request.status = std::move(status);
                                   wait.Arrive();
                               });
    }
    if (wait.remaining.fetch_sub(1, std::memory_order_acq_rel) != 1) wait.done.Wait();
    for (const ReadRequest& request : requests) {
        if (!request.status.IsOk()) return request.status;
    }
    return Status();
}

core::Result<std::span<const char>> InputStream::SectionReader::Read(uint64_t offset,
                                                                     uint64_t length) const {
    if (!InBounds(offset, length)) return Status(ErrorCode::InvalidArgument, "Read out of bounds");
    auto peeked = _fileReader->Peek(_offset + offset, length);
    if (!peeked.IsOk()) return peeked.TakeStatus();
    const FileReader::PeekResult& view = peeked.Value();
    if (view.size < length) {
        return Status(ErrorCode::Corruption,
                      "Peek length mismatch, data may be truncated or corrupted");
    }
    return std::span<const char>(view.data, length);
}

Status InputStream::SectionReader::VerifyCrc() const {
    if (_size == 0) return Status();
    std::vector<char> chunk(std::min(_size, kVerifyChunkSize));
    ORVANE_RETURN_IF_ERROR(_fileReader->Seek(_offset));
    uint32_t crc = 0;
    for (uint64_t done = 0; done < _size;) {
        const uint64_t n = std::min<uint64_t>(chunk.size(), _size - done);
        ORVANE_RETURN_IF_ERROR(_fileReader->Read(chunk.data(), n));
        crc = Crc32c::Extend(crc, chunk.data(), n);
        done += n;
    }
    if (crc != Crc32c::Unmask(_crc)) {
        return Status(ErrorCode::Corruption, "Data corruption detected: CRC mismatch.");
    }
    return Status();
}

}  // namespace orvane::io
