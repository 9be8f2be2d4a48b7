#include "schema/SchemaCatalog.h"

#include <optional>

namespace orvane::schema {
namespace {

using core::IndexE;

// Dispatches a run-time kind once to the per-kind accessor chosen by `Accessor`.
template <template <IndexE> class Accessor>
OptionSchemaView ByKind(IndexE kind) {
    switch (kind) {
        case IndexE::bruteforce:
            return Accessor<IndexE::bruteforce>::Get();
        case IndexE::diskANN:
            return Accessor<IndexE::diskANN>::Get();
        case IndexE::ivf:
            return Accessor<IndexE::ivf>::Get();
        case IndexE::demo:
            return Accessor<IndexE::demo>::Get();
    }
    return {};
}

template <IndexE K>
struct BuilderOf {
    static OptionSchemaView Get() { return BuilderSchema<K>(); }
};
template <IndexE K>
struct SearcherOf {
    static OptionSchemaView Get() { return SearcherSchema<K>(); }
};
template <IndexE K>
struct SearchOf {
    static OptionSchemaView Get() { return SearchSchema<K>(); }
};

// The kind named by an option string; exact comparison.
std::optional<IndexE> ParseIndexType(std::string_view type) {
    if (type == "bruteforce") return IndexE::bruteforce;
    if (type == "diskann") return IndexE::diskANN;
    if (type == "ivf") return IndexE::ivf;
    if (type == "demo") return IndexE::demo;
    return std::nullopt;
}

}  // namespace

OptionSchemaView GetBuilderSchema(IndexE kind) {
    return ByKind<BuilderOf>(kind);
}
OptionSchemaView GetSearcherSchema(IndexE kind) {
    return ByKind<SearcherOf>(kind);
}
OptionSchemaView GetSearchSchema(IndexE kind) {
    return ByKind<SearchOf>(kind);
}

OptionSchemaView GetQuantizerSchema(dist::encode_space::EncodingE encoding) {
    if (encoding == dist::encode_space::EncodingE::pq) {
        return QuantizerSchema<dist::encode_space::EncodingE::pq>();
    }
    return {};
}

OptionSchemaView LookupBuilderSchema(std::string_view type) {
    auto kind = ParseIndexType(type);
    return kind ? GetBuilderSchema(*kind) : kBuilderOptionsSchema.View();
}

OptionSchemaView LookupSearcherSchema(std::string_view type) {
    auto kind = ParseIndexType(type);
    return kind ? GetSearcherSchema(*kind) : kSearcherOptionsSchema.View();
}

OptionSchemaView LookupSearchSchema(std::string_view type) {
    auto kind = ParseIndexType(type);
    return kind ? GetSearchSchema(*kind) : kSearchOptionsSchema.View();
}

OptionSchemaView LookupQuantizerSchema(std::string_view name) {
    return name == "pq" ? GetQuantizerSchema(dist::encode_space::EncodingE::pq)
                        : OptionSchemaView{};
}

OptionSchemaView LookupIOSchema() {
    return kIoFields;
}

}  // namespace orvane::schema
