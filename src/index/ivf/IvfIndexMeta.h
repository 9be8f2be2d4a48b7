// The on-disk records of the ivf index kind and the names of its six sections,
// written in this order by the builder, each sealed with alignment 64:
//   "ivf.section.meta"       one IndexMeta
//   "ivf.section.centroids"  numLists x dim floats, centroid 0 first
//   "ivf.section.quantizer"  the quantizer stream of every vector, in insertion order
//   "ivf.section.rowids"     per list in turn, its row positions (u64, insertion order)
//   "ivf.section.ids"        per list in turn, its row ids (u64, same order)
//   "ivf.section.list_dir"   numLists ListDirEntry records
// A row position is the 0-based insertion order over the whole build; a row id
// is the caller's id. All fields are little-endian, records their memory image.
#pragma once

#include <cstdint>

namespace orvane::index::ivf {

inline constexpr const char* kMetaSection = "ivf.section.meta";
inline constexpr const char* kCentroidsSection = "ivf.section.centroids";
inline constexpr const char* kQuantizerSection = "ivf.section.quantizer";
inline constexpr const char* kRowIdsSection = "ivf.section.rowids";
inline constexpr const char* kIdsSection = "ivf.section.ids";
inline constexpr const char* kListDirSection = "ivf.section.list_dir";
inline constexpr uint64_t kSectionAlignment = 64;

inline constexpr uint32_t kIvfFormatVersion = 0;

struct IndexMeta {
    uint32_t version = kIvfFormatVersion;
    uint32_t dim = 0;
    uint32_t numLists = 0;
    uint32_t metric = 0;    // MetricE value; only l2 (0) is supported
    uint32_t encoding = 0;  // EncodingE value: rawf32 0, sq8 1, pq 2
    uint32_t padding = 0;   // written as zero, not interpreted
    uint64_t count = 0;     // vectors in the index
};
static_assert(sizeof(IndexMeta) == 32, "the ivf meta record is 32 bytes on disk");

// Where one list's row positions and row ids lie, as byte offsets into the
// payloads of the rowids and ids sections, and how many there are.
struct ListDirEntry {
    uint64_t rowOffset = 0;
    uint64_t rowCount = 0;
    uint64_t idsOffset = 0;
    uint64_t idsCount = 0;
};
static_assert(sizeof(ListDirEntry) == 32, "the ivf list directory entry is 32 bytes on disk");

}  // namespace orvane::index::ivf
