#include "impl/index/demo/DemoKind.h"

#include <cstring>

#include "impl/index/demo/DemoIndexMeta.h"

namespace orvane::index::demo {
namespace {

std::optional<api::IndexInfo> DecodeDemoMeta(std::span<const char> payload) {
    DemoIndexMeta meta;
    if (payload.size() < sizeof(meta)) return std::nullopt;
    std::memcpy(&meta, payload.data(), sizeof(meta));
    return api::IndexInfo{meta.count, meta.dimension};
}

constexpr OptionPair kDemoBuildOptions[] = {{"distance.metric", "l2"}};

}  // namespace

constinit const IndexKindDescriptor kDemoKind{
    schema::FindKindSchemas(core::IndexE::demo),
    &CreateDemoBuilderBackend,
    &CreateDemoSearcherBackend,
    kMetaSection,
    &DecodeDemoMeta,
    kDemoBuildOptions,
    {},
};

}  // namespace orvane::index::demo
