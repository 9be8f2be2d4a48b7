#include "IndexKinds.h"

#include <algorithm>
#include <cstring>

namespace orvane::tools {
namespace {

constexpr OptionPair kL2Only[] = {{"distance.metric", "l2"}};
constexpr OptionPair kIvfBuild[] = {{"distance.metric", "l2"}, {"ivf.build.num_lists", "64"}};
constexpr OptionPair kIvfSearch[] = {{"search.nprobe", "16"}};
constexpr OptionPair kDiskANNBuild[] = {{"distance.metric", "l2"},
                                        {"diskann.build.neighbor_count", "32"},
                                        {"diskann.build.ef_construction", "64"}};
constexpr OptionPair kDiskANNSearch[] = {{"diskann.search.list_size", "64"}};

// type, meta section, count offset, count bytes, dimension offset, demo build
// options, demo search options.
constexpr IndexKindInfo kKinds[] = {
    {"demo", "demo.section.meta", 0, 4, 4, kL2Only, {}},
    {"bruteforce", "bruteforce.section.meta", 0, 4, 4, kL2Only, {}},
    {"ivf", "ivf.section.meta", 24, 8, 4, kIvfBuild, kIvfSearch},
    {"diskann", "diskann.section.meta", 0, 4, 4, kDiskANNBuild, kDiskANNSearch},
};

}  // namespace

std::span<const IndexKindInfo> AllIndexKinds() {
    return kKinds;
}

const IndexKindInfo* FindIndexKind(std::string_view type) {
    for (const IndexKindInfo& k : kKinds) {
        if (k.type == type) return &k;
    }
    return nullptr;
}

const IndexKindInfo* KindFromSections(std::span<const std::string> sectionNames) {
    for (const IndexKindInfo& k : kKinds) {
        if (std::find(sectionNames.begin(), sectionNames.end(), k.metaSection) !=
            sectionNames.end()) {
            return &k;
        }
    }
    return nullptr;
}

std::optional<CountAndDim> DecodeKindMeta(const IndexKindInfo& kind,
                                          std::span<const char> payload) {
    if (payload.size() < uint64_t(kind.countOffset) + kind.countBytes ||
        payload.size() < uint64_t(kind.dimOffset) + 4) {
        return std::nullopt;
    }
    CountAndDim out;
    // Little-endian fields on a little-endian platform: a plain copy decodes them.
    std::memcpy(&out.count, payload.data() + kind.countOffset, kind.countBytes);
    std::memcpy(&out.dim, payload.data() + kind.dimOffset, 4);
    return out;
}

std::string KindNames() {
    std::string out;
    for (const IndexKindInfo& k : kKinds) {
        if (!out.empty()) out += ", ";
        out += k.type;
    }
    return out;
}

}  // namespace orvane::tools
