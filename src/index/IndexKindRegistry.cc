#include "index/IndexKindRegistry.h"

#include <algorithm>

#include "index/bruteforce/BruteforceKind.h"
#include "index/demo/DemoKind.h"
#include "index/diskann/DiskANNKind.h"
#include "index/ivf/IvfKind.h"

namespace orvane::index {
namespace {

// One row per kind with back ends; a new kind adds its descriptor here.
constexpr const IndexKindDescriptor* kKinds[] = {
    &demo::kDemoKind,
    &bruteforce::kBruteforceKind,
    &ivf::kIvfKind,
    &diskann::kDiskANNKind,
};

}  // namespace

std::span<const IndexKindDescriptor* const> AllIndexKinds() {
    return kKinds;
}

const IndexKindDescriptor* FindIndexKind(std::string_view type) {
    for (const IndexKindDescriptor* kind : kKinds) {
        if (kind->Name() == type) return kind;
    }
    return nullptr;
}

const IndexKindDescriptor* FindIndexKind(core::IndexE kind) {
    for (const IndexKindDescriptor* row : kKinds) {
        if (row->Kind() == kind) return row;
    }
    return nullptr;
}

const IndexKindDescriptor* KindFromSections(std::span<const std::string> sectionNames) {
    for (const IndexKindDescriptor* kind : kKinds) {
        if (std::find(sectionNames.begin(), sectionNames.end(), kind->metaSection) !=
            sectionNames.end()) {
            return kind;
        }
    }
    return nullptr;
}

std::string KindNames() {
    std::string out;
    for (const IndexKindDescriptor* kind : kKinds) {
        if (!out.empty()) out += ", ";
        out += kind->Name();
    }
    return out;
}

}  // namespace orvane::index
