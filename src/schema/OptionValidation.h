// OptionValidation: checks typed option maps against a schema and turns text option
// maps (every value a string, as a foreign-function host sends them) into typed maps.
//
// Validate walks unknown keys first (in map order, handled by the policy), then the
// schema fields in table order: type, then validator, then required presence. The
// first failure is returned. CoerceOptionsFromStrings parses text values of known
// keys into the field's type and then runs Validate on the result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "orvane/core/Status.h"
#include "mpl/PhantomWrapper.h"
#include "schema/OptionSchema.h"

namespace orvane::schema {

// An option map that is not yet coerced or validated.
template <api::OptionsType T>
using UnsanitizedOptions = mpl::PhantomWrapper<api::Options<T>, mpl::Unsanitized>;

using StringOptionMap = std::unordered_map<std::string, std::string>;

namespace detail {

// All option kinds share one map type; the typed entry points forward here.
using OptionMap = api::BuilderOptions::Map;

core::Status ValidateMap(const OptionMap& values, const OptionSchemaView& schema,
                         UnknownKeyPolicy policy);
core::Result<OptionMap> CoerceMap(const OptionMap& values, const OptionSchemaView& schema,
                                  UnknownKeyPolicy policy);

}  // namespace detail

template <api::OptionsType T>
core::Status Validate(const api::Options<T>& options, const OptionSchemaView& schema,
                      UnknownKeyPolicy policy) {
    return detail::ValidateMap(options.Values(), schema, policy);
}

template <api::OptionsType T>
core::Result<api::Options<T>> CoerceOptionsFromStrings(const UnsanitizedOptions<T>& input,
                                                       const OptionSchemaView& schema,
                                                       UnknownKeyPolicy policy) {
    auto coerced = detail::CoerceMap(input.Get().Values(), schema, policy);
    if (!coerced.IsOk()) return coerced.TakeStatus();
    return api::Options<T>(coerced.TakeValue());
}

// The `index.dimension` of a builder or searcher map as the 32-bit dimension the
// library works with, 0 when absent or not an integer. A value above 4294967295
// fails with InvalidArgument instead of wrapping around to another dimension.
core::Result<uint32_t> ReadIndexDimension(const detail::OptionMap& values);

// Select the schema by the map's "index.type" string and coerce under kLogAndIgnore.
core::Result<api::BuilderOptions> NormalizeBuilderOptions(
    const UnsanitizedOptions<api::OptionsType::Builder>& input);
core::Result<api::BuilderOptions> NormalizeBuilderOptions(const StringOptionMap& input);
core::Result<api::SearcherOptions> NormalizeSearcherOptions(
    const UnsanitizedOptions<api::OptionsType::Searcher>& input);
core::Result<api::SearcherOptions> NormalizeSearcherOptions(const StringOptionMap& input);

// Select the schema by `indexType` (which must not be empty) and coerce under kLogAndIgnore.
core::Result<api::SearchOptions> NormalizeSearchOptions(
    std::string_view indexType, const UnsanitizedOptions<api::OptionsType::Search>& input);
core::Result<api::SearchOptions> NormalizeSearchOptions(std::string_view indexType,
                                                        const StringOptionMap& input);

}  // namespace orvane::schema
