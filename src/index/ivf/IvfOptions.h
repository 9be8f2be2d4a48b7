// IvfOptions: the ivf kind's option vocabulary and its parsed build and search
// parameters. The builder knows the common builder keys, the `ivf.build.*` keys
// and product quantization's; the searcher uses the generic searcher table
// itself; a search adds `search.nprobe` to the common search keys.
// IvfBuildParams is read once by the builder's Init, IvfSearchParams once per
// search call.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "schema/KindSchemas.h"
#include "schema/OptionValidators.h"
#include "schema/SchemaTables.h"

namespace orvane::index::ivf {

namespace fields {

using enum schema::FieldType;

inline constexpr schema::OptionField kNumLists{
    "ivf.build.num_lists", kInt, true, schema::ValidatePositiveU32, "IVF num lists.", ""};
inline constexpr schema::OptionField kThreadCount{
    "ivf.build.thread_count",  kInt, false, schema::ValidatePositiveU32,
    "IVF build thread count.", "1"};
inline constexpr schema::OptionField kMaxEpoch{
    "ivf.build.max_epoch", kInt, false, schema::ValidatePositiveU32, "IVF build max epoch.", "20"};
inline constexpr schema::OptionField kNprobe{"search.nprobe",
                                             kInt,
                                             false,
                                             schema::ValidatePositiveU32,
                                             "IVF search nprobe.",
                                             "min(8, ivf.build.num_lists)"};

}  // namespace fields

inline constexpr auto kBuilderSchema = schema::MakeSchema(
    schema::fields::kCommonBuilder,
    std::array{fields::kNumLists, fields::kThreadCount, fields::kMaxEpoch}, schema::fields::kPq);
inline constexpr auto kSearchSchema =
    schema::MakeSchema(schema::fields::kCommonSearch, std::array{fields::kNprobe});

inline constexpr schema::KindSchemas kSchemas{core::IndexE::ivf, "ivf", kBuilderSchema,
                                              schema::kSearcherOptionsSchema, kSearchSchema};

struct IvfBuildParams {
    uint32_t dimension = 0;
    uint32_t numLists = 0;
    uint32_t threadCount = 1;
    uint32_t maxEpoch = 20;

    // Reads validated builder options; absent keys keep the defaults above.
    static IvfBuildParams Parse(const api::BuilderOptions& options);
};

struct IvfSearchParams {
    // 0: `search.nprobe` left out, so min(8, lists) lists are scanned.
    uint32_t nprobe = 0;

    uint32_t ListsToScan(uint32_t numLists) const {
        return nprobe != 0 ? nprobe : std::min<uint32_t>(8, numLists);
    }

    // `search.nprobe` beyond 32 bits is refused with the validator's message,
    // 0 with "Option nprobe must be > 0"; a value of another type reads as
    // left out.
    static core::Result<IvfSearchParams> Parse(const api::SearchOptions& options);
};

}  // namespace orvane::index::ivf
