// IndexKindDescriptor: everything the library and the tool need to know about one
// index kind that has back ends in this build: its options vocabulary (name and
// schemas), the factories of its builder and searcher back ends, how to read the
// vector count and dimension from its meta section without opening a searcher,
// and the options the demo builds and searches it with. Each kind defines its
// descriptor in its own folder; the registry lists them.
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "orvane/core/MemoryResource.h"
#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "orvane/api/SearchTypes.h"
#include "api/builder/BuilderBackend.h"
#include "api/searcher/SearcherBackend.h"
#include "schema/KindSchemas.h"

namespace orvane::index {

using BuilderBackendPtr = std::unique_ptr<api::BuilderBackend>;
using SearcherBackendPtr = std::unique_ptr<api::SearcherBackend>;

// Build a back end from validated options and the normalized memory configuration.
using BuilderFactory = core::Result<BuilderBackendPtr> (*)(const api::BuilderOptions&,
                                                           const core::MemoryResourceConfig&);
using SearcherFactory = core::Result<SearcherBackendPtr> (*)(api::dimension_t,
                                                             const api::SearcherOptions&,
                                                             const core::MemoryResourceConfig&);
// Count and dimension from the first bytes (at most 64) of the meta section's
// payload; nullopt when the payload is too short to hold them.
using MetaDecoder = std::optional<api::IndexInfo> (*)(std::span<const char> payload);

// The MetaDecoder of a kind whose meta record `Meta` is a plain record with
// the fields `count` and `dimension`.
template <typename Meta>
std::optional<api::IndexInfo> DecodeCountDimensionMeta(std::span<const char> payload) {
    Meta meta;
    if (payload.size() < sizeof(meta)) return std::nullopt;
    std::memcpy(&meta, payload.data(), sizeof(meta));
    return api::IndexInfo{meta.count, meta.dimension};
}

// An option key and its value as text.
using OptionPair = std::pair<std::string_view, std::string_view>;

struct IndexKindDescriptor {
    const schema::KindSchemas* schemas;  // name, kind and option schemas
    BuilderFactory createBuilder;
    SearcherFactory createSearcher;
    std::string_view metaSection;  // the section holding count and dimension
    MetaDecoder decodeMeta;
    std::span<const OptionPair> demoBuildOptions;   // besides `index.type`
    std::span<const OptionPair> demoSearchOptions;  // besides `search.topk`
    // False for a kind that keeps no caller ids (its hits carry row positions):
    // callers that pass ids are refused rather than having them dropped.
    bool storesIds = true;

    constexpr std::string_view Name() const { return schemas->name; }
    constexpr core::IndexE Kind() const { return schemas->kind; }
};

}  // namespace orvane::index
