// SectionPayloadReader: a bounded sequential reader over the payload of one
// section, used to parse quantizer streams. Every read is checked against the
// bytes left after the cursor before anything is allocated or read, so a
// forged count in a damaged stream yields Corruption instead of a huge
// allocation or an out-of-bounds read.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "orvane/core/Status.h"
#include "io/InputStream.h"
#include "util/HugePages.h"

namespace orvane::quantizer::detail {

class SectionPayloadReader {
  public:
    using SectionReader = io::InputStream::SectionReader;

    // Reads from `cursor` up to the section's payload size (0 without a reader).
    SectionPayloadReader(std::shared_ptr<SectionReader> sectionReader, uint64_t cursor);

    // Reads `bytes` bytes at the cursor into the start of `dest` and advances
    // the cursor. InvalidArgument "Null SectionReader" without a section
    // reader; Corruption with `truncatedMsg` when fewer bytes remain; the
    // section reader's status when its read fails.
    core::Status Read(uint64_t bytes, std::span<char> dest, const char* truncatedMsg);

    // Reads one plain record.
    template <typename T>
    core::Status ReadObject(T& object, const char* truncatedMsg) {
        static_assert(std::is_trivially_copyable_v<T>, "only plain records are read as bytes");
        return Read(sizeof(T), std::span<char>(reinterpret_cast<char*>(&object), sizeof(T)),
                    truncatedMsg);
    }

    // Replaces `out` by `count` plain values read at the cursor. Corruption
    // "Quantizer size overflow" when count * sizeof(value) overflows,
    // Corruption `tooLargeMsg` when `out` cannot hold count values, Corruption
    // `truncatedMsg` when the payload holds fewer bytes. `out` is unchanged on
    // failure.
    template <typename Vector>
    core::Status ReadArray(uint64_t count, Vector& out, const char* tooLargeMsg,
                           const char* truncatedMsg) {
        using T = typename Vector::value_type;
        static_assert(std::is_trivially_copyable_v<T>, "only plain values are read as bytes");
        uint64_t bytes = 0;
        ORVANE_RETURN_IF_ERROR(
            CheckArraySize(count, sizeof(T), out.max_size(), tooLargeMsg, bytes));
        // Nothing is allocated for a count that the payload cannot back.
        ORVANE_RETURN_IF_ERROR(CheckReadable(bytes, truncatedMsg));
        Vector values(out.get_allocator());
        // Code and row arrays are scored at random (graph candidates, id
        // lists): on huge pages their address translations stay cached.
        util::ReserveOnHugePages(values, count);
        values.resize(count);
        ORVANE_RETURN_IF_ERROR(Read(
            bytes, std::span<char>(reinterpret_cast<char*>(values.data()), bytes), truncatedMsg));
        out.swap(values);
        return core::Status::Ok();
    }

    // Corruption "Quantizer stream has trailing bytes" unless the cursor is at
    // the end of the payload: a stream's length is exactly what it describes.
    core::Status ExpectEnd() const;

    uint64_t Cursor() const { return _cursor; }
    uint64_t PayloadSize() const { return _payloadSize; }
    // Payload bytes after the cursor.
    uint64_t Remaining() const { return _cursor <= _payloadSize ? _payloadSize - _cursor : 0; }

  private:
    // The statuses of Read for a read of `bytes` bytes, before any reading.
    core::Status CheckReadable(uint64_t bytes, const char* truncatedMsg) const;
    // Sets `bytes` = count * elementSize after the overflow and capacity checks.
    static core::Status CheckArraySize(uint64_t count, uint64_t elementSize, uint64_t maxCount,
                                       const char* tooLargeMsg, uint64_t& bytes);

    std::shared_ptr<SectionReader> _sectionReader;
    uint64_t _payloadSize;
    uint64_t _cursor;
};

}  // namespace orvane::quantizer::detail
