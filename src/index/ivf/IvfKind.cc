#include "index/ivf/IvfKind.h"

#include <cstring>

#include "index/ivf/IvfIndexMeta.h"
#include "index/ivf/IvfOptions.h"

namespace orvane::index::ivf {
namespace {

std::optional<api::IndexInfo> DecodeIvfMeta(std::span<const char> payload) {
    IndexMeta meta;
    if (payload.size() < sizeof(meta)) return std::nullopt;
    std::memcpy(&meta, payload.data(), sizeof(meta));
    return api::IndexInfo{meta.count, meta.dim};
}

constexpr OptionPair kIvfDemoBuildOptions[] = {
    {"distance.metric", "l2"},
    {"ivf.build.num_lists", "64"},
    {"ivf.build.thread_count", "2"},
};
constexpr OptionPair kIvfDemoSearchOptions[] = {{"search.nprobe", "8"}};

}  // namespace

constinit const IndexKindDescriptor kIvfKind{
    &kSchemas,
    &CreateIvfBuilderBackend,
    &CreateIvfSearcherBackend,
    kMetaSection,
    &DecodeIvfMeta,
    kIvfDemoBuildOptions,
    kIvfDemoSearchOptions,
    /*storesIds=*/true,
};

}  // namespace orvane::index::ivf
