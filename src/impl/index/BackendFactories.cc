#include "impl/index/BackendFactories.h"

namespace orvane::index {

namespace {

// One row per index kind that has back ends; kinds without a row are refused
// by the facades as unknown.
struct KindFactories {
    std::string_view type;
    BuilderFactory builder;
    SearcherFactory searcher;
};

constexpr KindFactories kKinds[] = {
    {"demo", &CreateDemoBuilderBackend, &CreateDemoSearcherBackend},
};

const KindFactories* Find(std::string_view type) {
    for (const auto& kind : kKinds) {
        if (kind.type == type) return &kind;
    }
    return nullptr;
}

}  // namespace

BuilderFactory FindBuilderFactory(std::string_view type) {
    const KindFactories* kind = Find(type);
    return kind ? kind->builder : nullptr;
}

SearcherFactory FindSearcherFactory(std::string_view type) {
    const KindFactories* kind = Find(type);
    return kind ? kind->searcher : nullptr;
}

}  // namespace orvane::index
