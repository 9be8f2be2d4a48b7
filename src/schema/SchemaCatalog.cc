#include "schema/SchemaCatalog.h"

#include "encoding/EncodingRegistry.h"
#include "index/IndexKindRegistry.h"

namespace orvane::schema {
namespace {

using core::IndexE;

// The kind's schema picked by `member`, or `fallback` for a kind not in the table.
OptionSchemaView Pick(const index::IndexKindDescriptor* kind, OptionSchemaView KindSchemas::*member,
                      OptionSchemaView fallback) {
    return kind != nullptr ? kind->schemas->*member : fallback;
}

}  // namespace

OptionSchemaView GetBuilderSchema(IndexE kind) {
    return Pick(index::FindIndexKind(kind), &KindSchemas::builder, {});
}
OptionSchemaView GetSearcherSchema(IndexE kind) {
    return Pick(index::FindIndexKind(kind), &KindSchemas::searcher, {});
}
OptionSchemaView GetSearchSchema(IndexE kind) {
    return Pick(index::FindIndexKind(kind), &KindSchemas::search, {});
}

OptionSchemaView GetQuantizerSchema(dist::encode_space::EncodingE encoding) {
    const quantizer::EncodingDescriptor* row = quantizer::FindEncoding(encoding);
    return row != nullptr ? row->quantizerOptions : OptionSchemaView{};
}

OptionSchemaView LookupBuilderSchema(std::string_view type) {
    return Pick(index::FindIndexKind(type), &KindSchemas::builder, kBuilderOptionsSchema);
}

OptionSchemaView LookupSearcherSchema(std::string_view type) {
    return Pick(index::FindIndexKind(type), &KindSchemas::searcher, kSearcherOptionsSchema);
}

OptionSchemaView LookupSearchSchema(std::string_view type) {
    return Pick(index::FindIndexKind(type), &KindSchemas::search, kSearchOptionsSchema);
}

OptionSchemaView LookupQuantizerSchema(std::string_view name) {
    const quantizer::EncodingDescriptor* row = quantizer::FindEncoding(name);
    return row != nullptr ? row->quantizerOptions : OptionSchemaView{};
}

OptionSchemaView LookupIOSchema() {
    return kIoFields;
}

}  // namespace orvane::schema
