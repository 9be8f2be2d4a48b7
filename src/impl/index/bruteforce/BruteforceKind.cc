#include "impl/index/bruteforce/BruteforceKind.h"

#include <cstring>

#include "impl/index/bruteforce/BruteforceIndexMeta.h"

namespace orvane::index::bruteforce {
namespace {

std::optional<api::IndexInfo> DecodeBruteforceMeta(std::span<const char> payload) {
    BruteforceIndexMeta meta;
    if (payload.size() < sizeof(meta)) return std::nullopt;
    std::memcpy(&meta, payload.data(), sizeof(meta));
    return api::IndexInfo{meta.count, meta.dimension};
}

// The exact reference: raw vectors under L2.
constexpr OptionPair kDemoBuildOptions[] = {{"distance.metric", "l2"}, {"encoding.type", "rawf32"}};

}  // namespace

constinit const IndexKindDescriptor kBruteforceKind{
    schema::FindKindSchemas(core::IndexE::bruteforce),
    &CreateBruteforceBuilderBackend,
    &CreateBruteforceSearcherBackend,
    kIndexMetaName,
    &DecodeBruteforceMeta,
    kDemoBuildOptions,
    {},
};

}  // namespace orvane::index::bruteforce
