// KindSchemas: the option vocabulary of every index kind the options may name, one
// row per kind: its `index.type` string and its builder, searcher and search
// schemas. This is the only list of kind names; the catalogue's lookups and the
// `index.type` validator read it. Whether a kind has back ends in this build is
// a separate question answered by the index kind registry.
#pragma once

#include <span>
#include <string_view>

#include "api/IndexKind.h"
#include "schema/OptionSchema.h"
#include "schema/SchemaTables.h"

namespace orvane::schema {

struct KindSchemas {
    core::IndexE kind;
    std::string_view name;  // the `index.type` string, exact and case-sensitive
    OptionSchemaView builder;
    OptionSchemaView searcher;
    OptionSchemaView search;
};

// In the order the tool lists kinds. IVF searchers use the generic searcher table
// itself, bruteforce and demo the common search table itself.
inline constexpr KindSchemas kKindSchemas[] = {
    {core::IndexE::demo, "demo", kDemoBuilderSchema, kDemoSearcherSchema, kSearchOptionsSchema},
    {core::IndexE::bruteforce, "bruteforce", kBruteforceBuilderSchema, kBruteforceSearcherSchema,
     kSearchOptionsSchema},
    {core::IndexE::ivf, "ivf", kIvfBuilderSchema, kSearcherOptionsSchema, kIvfSearchSchema},
    {core::IndexE::diskANN, "diskann", kDiskANNBuilderSchema, kDiskANNSearcherSchema,
     kDiskANNSearchSchema},
};

constexpr std::span<const KindSchemas> AllKindSchemas() {
    return kKindSchemas;
}

// The row of a kind; null for a value outside the enumerators.
constexpr const KindSchemas* FindKindSchemas(core::IndexE kind) {
    for (const KindSchemas& row : kKindSchemas) {
        if (row.kind == kind) return &row;
    }
    return nullptr;
}

// The row named by an `index.type` string; null for any other string.
constexpr const KindSchemas* FindKindSchemas(std::string_view name) {
    for (const KindSchemas& row : kKindSchemas) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

}  // namespace orvane::schema
