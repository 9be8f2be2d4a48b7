// InputStream: opens an index file, validates its header, footer and section
// table before anything else is read, and hands out one SectionReader per named
// section. A SectionReader reads ranges of its section by copy, in batches
// (concurrently where reads must wait), or in place (when the file reader can
// expose its bytes), and verifies the section's CRC. Section readers share the file reader, which stays open while
// any of them is alive.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <string>

#include "orvane/core/NoCopyable.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "io/FileFormat.h"
#include "orvane/io/FileReader.h"

namespace orvane::io {

class InputStream : public core::NoCopyable {
  public:
    // Reads of one section; every offset is relative to the section's start and
    // bounds are those of the section including its padding.
    class SectionReader {
      public:
        // One read of a batch: `length` bytes at `offset` into `buffer`; `status`
        // receives its outcome.
        struct ReadRequest {
            uint64_t offset = 0;
            uint64_t length = 0;
            char* buffer = nullptr;
            core::Status status;
        };

        SectionReader(uint64_t offset, uint64_t size, uint64_t paddingSize, uint32_t crc,
                      std::shared_ptr<FileReader> fileReader);

        uint64_t SectionSize() const { return _size; }
        uint64_t SectionPayloadSize() const {
            return _size >= _paddingSize ? _size - _paddingSize : 0;
        }

        // Copies `length` bytes at `offset` into the start of `buffer`. Moves the
        // shared file position, so copying reads of one stream must not overlap.
        core::Status Read(uint64_t offset, uint64_t length, std::span<char> buffer) const;
        // The copying read done on the calling thread when it needs no wait
        // (memory map, bytes in the page cache): its status, or nullopt when
        // it would have to wait (then use ReadBatch).
        std::optional<core::Status> TryReadNow(uint64_t offset, uint64_t length,
                                               std::span<char> buffer) const;
        // Reads every request and returns once all are done: the ones that can
        // complete at once on the calling thread, the others concurrently as
        // asynchronous reads while the caller waits (on a pool worker it runs
        // its own queued work meanwhile). Returns the first failed request's
        // status, Ok when all succeeded. Allocates nothing when every read
        // completes at once. May be issued from many threads at once.
        core::Status ReadBatch(std::span<ReadRequest> requests) const;
        // Replaces the contents of `out` by `count` plain values read from
        // payload byte `offset` on. The caller has checked that the payload
        // holds them, so a damaged count is refused before anything is sized.
        // On failure `out` holds `count` values of which some may be unread.
        template <typename Vector>
        core::Status ReadArray(uint64_t offset, uint64_t count, Vector& out) const {
            using T = typename Vector::value_type;
            static_assert(std::is_trivially_copyable_v<T>, "only plain values are read as bytes");
            const uint64_t bytes = count * sizeof(T);
            out.assign(count, T{});
            if (bytes == 0) return core::Status::Ok();
            return Read(offset, bytes, std::span<char>(reinterpret_cast<char*>(out.data()), bytes));
        }
        // The bytes in place, valid while the file reader stays open.
        core::Result<std::span<const char>> Read(uint64_t offset, uint64_t length) const;
        // In-place access to the section for a scope (FileReader::BeginInPlace):
        // the section's first byte, or null when the file reader does not
        // hold its bytes; a non-null answer must be ended with EndInPlace.
        const char* BeginInPlace() const {
            const char* base = _fileReader->BeginInPlace();
            return base == nullptr ? nullptr : base + _offset;
        }
        void EndInPlace() const { _fileReader->EndInPlace(); }
        // Recomputes the section's CRC (padding included) in bounded chunks.
        core::Status VerifyCrc() const;

        static constexpr uint64_t kVerifyChunkSize = 4ull << 20;

      private:
        // Whether [offset, offset + length) lies within the section (and the
        // section's absolute end is representable, so `_offset + offset` is safe).
        bool InBounds(uint64_t offset, uint64_t length) const {
            return offset <= _size && length <= _size - offset && _size <= ~_offset;
        }

        uint64_t _offset;
        uint64_t _size;
        uint64_t _paddingSize;
        uint32_t _crc;
        std::shared_ptr<FileReader> _fileReader;
    };

    explicit InputStream(std::unique_ptr<FileReader> reader);
    InputStream(InputStream&&) noexcept = default;
    InputStream& operator=(InputStream&&) noexcept = default;
    ~InputStream() = default;

    // Validates the file and loads the section table. "io.verify_crc" (bool)
    // makes GetSectionReader verify each section when first handing it out.
    core::Status Open(const IOSettings& settings);
    // The reader of a section, created and cached on first request.
    core::Result<std::shared_ptr<SectionReader>> GetSectionReader(const std::string& name);
    // Drops the cached readers and closes the file reader.
    core::Status Close();

    // The loaded section table, by name.
    const std::map<std::string, SectionMeta>& SectionMetas() const { return _sectionMetas; }

  private:
    core::Status LoadSectionTable(const FileFooter& footer, uint64_t limit);

    std::shared_ptr<FileReader> _reader;
    std::map<std::string, std::shared_ptr<SectionReader>> _sectionReaders;
    std::map<std::string, SectionMeta> _sectionMetas;
    bool _verifyCrc = false;
};

}  // namespace orvane::io
