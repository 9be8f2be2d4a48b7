#include "index/diskann/DiskANNKind.h"

#include <cstring>

#include "index/diskann/build/DiskANNBuilderBackend.h"
#include "index/diskann/DiskANNOptions.h"
#include "index/diskann/format/DiskANNRecords.h"
#include "index/diskann/search/DiskANNSearcherBackend.h"

namespace orvane::index::diskann {
namespace {

std::optional<api::IndexInfo> DecodeDiskANNMeta(std::span<const char> payload) {
    DiskANNIndexMeta meta;
    if (payload.size() < sizeof(meta)) return std::nullopt;
    std::memcpy(&meta, payload.data(), sizeof(meta));
    return api::IndexInfo{meta.count, meta.dimension};
}

constexpr OptionPair kDiskANNBuildOptions[] = {
    {"distance.metric", "l2"},
    {"encoding.type", "pq"},
    {"diskann.build.neighbor_count", "32"},
    {"diskann.build.ef_construction", "100"},
};
constexpr OptionPair kDiskANNSearchOptions[] = {
    {"diskann.search.list_size", "100"},
};

}  // namespace

constinit const IndexKindDescriptor kDiskANNKind{
    &kSchemas,
    &CreateDiskANNBuilderBackend,
    &CreateDiskANNSearcherBackend,
    kMetaSection,
    &DecodeDiskANNMeta,
    kDiskANNBuildOptions,
    kDiskANNSearchOptions,
};

}  // namespace orvane::index::diskann
