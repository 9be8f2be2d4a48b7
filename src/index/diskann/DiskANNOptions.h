// DiskANNOptions: the diskann kind's option vocabulary and its parsed builder,
// searcher and search parameters. The builder knows the common builder keys,
// the `diskann.build.*` and `diskann.disk_encoding.*` keys and product
// quantization's (with the defaults this kind applies); the searcher adds the
// node cache to the common searcher keys; a search adds the `diskann.search.*`
// keys to the common search keys. DiskANNBuildParams is read once by the
// builder's Init, DiskANNSearcherParams once by the searcher's, and
// DiskANNSearchParams once per search call.
#pragma once

#include <array>
#include <cstdint>

#include "orvane/api/Options.h"
#include "orvane/core/Result.h"
#include "schema/KindSchemas.h"
#include "schema/OptionValidators.h"
#include "schema/SchemaTables.h"

namespace orvane::index::diskann {

namespace fields {

using enum schema::FieldType;
using schema::OptionField;
using schema::ValidatePositiveU32;

// Build.
inline constexpr OptionField kThreadCount{
    "diskann.build.thread_count",  kInt, false, ValidatePositiveU32,
    "DiskANN build thread count.", "1"};
inline constexpr OptionField kEfConstruction{"diskann.build.ef_construction",
                                             kInt,
                                             false,
                                             ValidatePositiveU32,
                                             "DiskANN build ef construction parameter.",
                                             "512"};
inline constexpr OptionField kSlackPruning{
    "diskann.build.slack_pruning_factor",  kDouble, false, schema::ValidatePositiveDouble,
    "DiskANN build slack pruning factor.", "1.0"};
inline constexpr OptionField kNeighborCount{
    "diskann.build.neighbor_count",  kInt, false, ValidatePositiveU32,
    "DiskANN build neighbor count.", "128"};
inline constexpr OptionField kReorderLayout{"diskann.build.reorder_layout",  kBool,  false, nullptr,
                                            "DiskANN build reorder layout.", "false"};
inline constexpr OptionField kDiskEncodingType{"diskann.disk_encoding.type",
                                               kString,
                                               false,
                                               schema::ValidateEncodingType,
                                               "DiskANN disk encoding type.",
                                               "none (no disk encoding)"};
inline constexpr OptionField kSaveOrigin{
    "diskann.disk_encoding.save_origin_embedding",  kBool,  false, nullptr,
    "DiskANN disk encoding save origin embedding.", "false"};
inline constexpr OptionField kDiskPqThreadCount{
    "diskann.disk_encoding.encoding.pq.thread_count",
    kInt,
    false,
    ValidatePositiveU32,
    "PQ thread count, when DiskANN disk encoding type = PQ.",
    "diskann.build.thread_count"};
inline constexpr OptionField kDiskPqM{"diskann.disk_encoding.encoding.pq.m",
                                      kInt,
                                      false,
                                      ValidatePositiveU32,
                                      "PQ m, when DiskANN disk encoding type = PQ.",
                                      "(index.dimension + 1) / 2"};
inline constexpr OptionField kDiskPqMaxEpoch{
    "diskann.disk_encoding.encoding.pq.max_epoch",         kInt, false, ValidatePositiveU32,
    "PQ max epoch, when DiskANN disk encoding type = PQ.", "12"};

// Searcher.
inline constexpr OptionField kNodesToCache{
    "diskann.search.num_nodes_to_cache", kInt, false, schema::ValidateNonNegativeInt,
    "DiskANN nodes to cache.",           "0"};

// Search.
inline constexpr OptionField kListSize{"diskann.search.list_size",  kInt, true, ValidatePositiveU32,
                                       "Diskann search list size.", ""};
inline constexpr OptionField kBeamWidth{
    "diskann.search.beam_width",  kInt, false, ValidatePositiveU32,
    "Diskann search beam width.", "2"};
inline constexpr OptionField kIoLimit{
    "diskann.search.io_limit",  kInt,      false, ValidatePositiveU32,
    "Diskann search IO limit.", "no limit"};
inline constexpr OptionField kUseReorderData{
    "diskann.search.use_reorder_data",       kBool,  false, nullptr,
    "Diskann search use reorder data flag.", "false"};

// The shared groups with the defaults this kind's builder applies.
inline constexpr auto kCommonBuilder = schema::WithDefault(
    schema::WithDefault(schema::WithDefault(schema::fields::kCommonBuilder, "encoding.type", "pq"),
                        "extension.build.ckpt.threshold", "100000"),
    "build.log_threshold", "1000");
inline constexpr auto kPq = schema::WithDefault(
    schema::WithDefault(schema::fields::kPq, "encoding.pq.m", "(index.dimension + 1) / 2"),
    "encoding.pq.thread_count", "diskann.build.thread_count");

}  // namespace fields

inline constexpr auto kBuilderSchema = schema::MakeSchema(
    fields::kCommonBuilder,
    std::array{fields::kThreadCount, fields::kEfConstruction, fields::kSlackPruning,
               fields::kNeighborCount, fields::kReorderLayout, fields::kDiskEncodingType,
               fields::kSaveOrigin, fields::kDiskPqThreadCount, fields::kDiskPqM,
               fields::kDiskPqMaxEpoch},
    fields::kPq);
inline constexpr auto kSearcherSchema =
    schema::MakeSchema(schema::fields::kCommonSearcher, std::array{fields::kNodesToCache});
inline constexpr auto kSearchSchema = schema::MakeSchema(
    schema::fields::kCommonSearch,
    std::array{fields::kListSize, fields::kBeamWidth, fields::kIoLimit, fields::kUseReorderData});

inline constexpr schema::KindSchemas kSchemas{core::IndexE::diskANN, "diskann", kBuilderSchema,
                                              kSearcherSchema, kSearchSchema};

// The largest accepted `search.parallel_number`.
inline constexpr uint32_t kMaxParallelNumber = 1000;

struct DiskANNBuildParams {
    uint64_t dimension = 0;
    uint32_t threadCount = 1;
    uint64_t neighborCount = 128;
    uint32_t efConstruction = 512;
    float slackPruningFactor = 1.0f;
    bool reorderLayout = false;
    uint64_t thresholdOfCkpt = 100000;
    uint64_t thresholdOfLog = 1000;
    uint64_t numberOfCkpt = 0;

    // Refuses, in this order, a thread count outside 1..4096, a neighbour
    // count or ef construction outside 1..2^32-1 ("KEY out of range [V]") and
    // a slack pruning factor that is not positive.
    static core::Result<DiskANNBuildParams> Parse(const api::BuilderOptions& options);
};

struct DiskANNSearcherParams {
    uint32_t cacheNodeCount = 0;

    // Refuses a node count outside 0..2^32-1 ("num_nodes_to_cache out of range").
    static core::Result<DiskANNSearcherParams> Parse(const api::SearcherOptions& options);
};

struct DiskANNSearchParams {
    uint32_t parallel = 1;  // node reads in flight, 1..kMaxParallelNumber
    uint32_t listSize = 0;
    uint32_t ioLimit = UINT32_MAX;
    uint32_t beamWidth = 2;

    // Refuses, in this order and each logged at Error: a parallel number
    // outside 1..1000; for a filtered search a parallel number above 1 with a
    // filter not declared thread safe; a missing, zero or negative list size;
    // a zero or negative IO limit; `diskann.search.use_reorder_data`
    // (NotSupported); a zero or negative beam width. Values beyond 32 bits
    // are refused with the validator's message.
    static core::Result<DiskANNSearchParams> Parse(const api::SearchOptions& options,
                                                   bool filtered);
};

}  // namespace orvane::index::diskann
