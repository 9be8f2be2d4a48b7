// KindSchemas: the option vocabulary of one index kind: its `index.type` string
// and its builder, searcher and search schemas. Each kind defines its row in its
// own folder and hands it to the index kind registry, which is the only list of
// kinds; the catalogue's lookups and the `index.type` validator read the
// registry.
#pragma once

#include <string_view>

#include "orvane/core/IndexKind.h"
#include "schema/OptionSchema.h"

namespace orvane::schema {

struct KindSchemas {
    core::IndexE kind;
    std::string_view name;  // the `index.type` string, exact and case-sensitive
    OptionSchemaView builder;
    OptionSchemaView searcher;
    OptionSchemaView search;
};

}  // namespace orvane::schema
