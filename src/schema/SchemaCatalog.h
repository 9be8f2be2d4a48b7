// SchemaCatalog: selects the option schema for an index kind or an encoding, either by
// enum (GetBuilderSchema, BuilderSchema<K>() ...) or by the option string that names it
// (LookupBuilderSchema("ivf") ...). A kind's schemas are read from its row of the index
// kind registry, so a kind's options are spelled in its own folder only. Lookups never
// fail: an unknown kind yields an empty view, an unknown type string the generic table.
#pragma once

#include <string_view>

#include "orvane/core/IndexKind.h"
#include "encoding/EncodingE.h"
#include "schema/OptionSchema.h"
#include "schema/SchemaTables.h"

namespace orvane::schema {

// By kind; a value outside the enumerators yields an empty view.
OptionSchemaView GetBuilderSchema(core::IndexE kind);
OptionSchemaView GetSearcherSchema(core::IndexE kind);
OptionSchemaView GetSearchSchema(core::IndexE kind);

// The schemas of kind K, read from the kind table; empty for an unknown K.
template <core::IndexE K>
OptionSchemaView BuilderSchema() {
    return GetBuilderSchema(K);
}

template <core::IndexE K>
OptionSchemaView SearcherSchema() {
    return GetSearcherSchema(K);
}

template <core::IndexE K>
OptionSchemaView SearchSchema() {
    return GetSearchSchema(K);
}

// The quantizer options of an encoding, from the encoding table; empty for an
// encoding without options or not in the table.
OptionSchemaView GetQuantizerSchema(dist::encode_space::EncodingE encoding);

// By option string, exact and case-sensitive: a name of the kind table selects that
// kind's schema, any other string the generic table.
OptionSchemaView LookupBuilderSchema(std::string_view type);
OptionSchemaView LookupSearcherSchema(std::string_view type);
OptionSchemaView LookupSearchSchema(std::string_view type);
// The same by encoding name (exact, case-sensitive); empty for an unknown name.
OptionSchemaView LookupQuantizerSchema(std::string_view name);
// The table of the built-in file IO options.
OptionSchemaView LookupIOSchema();

}  // namespace orvane::schema
