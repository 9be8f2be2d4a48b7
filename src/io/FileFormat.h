// The fixed records of the index file container. An index file is: a FileHeader,
// the sections' data back to back (each followed by its own zero padding), a table
// of SectionMeta records, the section names concatenated, and a FileFooter. The
// records are written as their in-memory image (little-endian, reserved words zero).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "io/Crc32c.h"

namespace orvane::io {

inline constexpr uint32_t kFileMagic = 0x0125E591u;  // 19260817
inline constexpr uint32_t kFileVersion = 0;
inline constexpr uint64_t kFileHeaderSize = 64;
inline constexpr uint64_t kFileFooterSize = 64;
inline constexpr uint64_t kSectionMetaSize = 64;
// Bytes of the header and footer that their CRCs cover (up to the CRC field's end).
inline constexpr size_t kHeaderCrcCoverage = 28;
inline constexpr size_t kFooterCrcCoverage = 16;

struct FileHeader {
    uint64_t dataOffset = 0;
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t headerSize = 0;
    uint32_t footerSize = 0;
    uint32_t headerCrc = 0;
    uint32_t reserved[9] = {};
};

struct SectionMeta {
    uint64_t sectionNameOffset = 0;
    uint64_t sectionDataOffset = 0;
    uint32_t sectionNameSize = 0;
    uint32_t dataCrc = 0;
    uint64_t dataSize = 0;
    uint64_t paddingSize = 0;
    uint32_t reserved[6] = {};
};

struct FileFooter {
    uint64_t sectionMetaOffset = 0;
    uint32_t sectionCount = 0;
    uint32_t footerCrc = 0;
    uint32_t reserved[12] = {};
};

static_assert(sizeof(FileHeader) == kFileHeaderSize && std::is_trivially_copyable_v<FileHeader>);
static_assert(offsetof(FileHeader, magic) == 8 && offsetof(FileHeader, headerCrc) == 24);
static_assert(sizeof(SectionMeta) == kSectionMetaSize && std::is_trivially_copyable_v<SectionMeta>);
static_assert(offsetof(SectionMeta, sectionNameSize) == 16 &&
              offsetof(SectionMeta, dataSize) == 24);
static_assert(offsetof(SectionMeta, paddingSize) == 32);
static_assert(sizeof(FileFooter) == kFileFooterSize && std::is_trivially_copyable_v<FileFooter>);
static_assert(offsetof(FileFooter, footerCrc) == 12);

// The masked CRC a header or footer must carry: computed over its covered bytes
// with the CRC field itself zero.
inline uint32_t ComputeHeaderCrc(FileHeader header) {
    header.headerCrc = 0;
    return Crc32c::Mask(Crc32c::Value(&header, kHeaderCrcCoverage));
}
inline uint32_t ComputeFooterCrc(FileFooter footer) {
    footer.footerCrc = 0;
    return Crc32c::Mask(Crc32c::Value(&footer, kFooterCrcCoverage));
}

}  // namespace orvane::io
