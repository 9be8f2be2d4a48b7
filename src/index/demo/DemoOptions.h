// DemoOptions: the demo kind's option vocabulary. It has no keys of its own:
// its builder knows the common builder keys, its searcher the common searcher
// keys and its searches the common search keys.
#pragma once

#include "schema/KindSchemas.h"
#include "schema/SchemaTables.h"

namespace orvane::index::demo {

inline constexpr auto kBuilderSchema = schema::MakeSchema(schema::fields::kCommonBuilder);
inline constexpr auto kSearcherSchema = schema::MakeSchema(schema::fields::kCommonSearcher);

inline constexpr schema::KindSchemas kSchemas{core::IndexE::demo, "demo", kBuilderSchema,
                                              kSearcherSchema, schema::kSearchOptionsSchema};

}  // namespace orvane::index::demo
