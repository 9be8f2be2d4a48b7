// SchemaTables: the option fields every index kind shares (the common builder,
// searcher and search keys), those of product quantization and those of the
// built-in file IO, as compile-time records, plus the generic tables. Each key's
// field (type, required flag, validator, description, default text) is spelled
// once; a kind's own keys live in its folder, which composes its tables from
// these groups and its own fields. Table order is the order in which validation
// visits the keys.
#pragma once

#include <array>

#include "schema/OptionSchema.h"
#include "schema/OptionValidators.h"

namespace orvane::schema {
namespace fields {

using enum FieldType;

constexpr bool kRequired = true;
constexpr bool kOptional = false;

// Builder keys shared by every index kind.
inline constexpr OptionField kBuilderDimension{
    "index.dimension", kInt, kRequired, ValidatePositiveU32, "Vector dimension.", ""};
inline constexpr OptionField kIndexType{"index.type",      kString,       kRequired,
                                        ValidateIndexType, "Index type.", ""};
inline constexpr OptionField kMetric{"distance.metric",  kString, kOptional, ValidateMetric,
                                     "Distance metric.", "l2"};
inline constexpr OptionField kEncodingType{"encoding.type",      kString,          kOptional,
                                           ValidateEncodingType, "Encoding type.", "rawf32"};
inline constexpr OptionField kSampleRatio{
    "pretrain.sample_ratio",      kDouble, kOptional, ValidateRatio01,
    "Sample ratio for pretrain.", "1.0"};
inline constexpr OptionField kCkptThreshold{"extension.build.ckpt.threshold",
                                            kInt,
                                            kOptional,
                                            ValidatePositiveInt,
                                            "Threshold for triggering checkpoint.",
                                            "0 (no checkpoints)"};
inline constexpr OptionField kCkptCount{
    "extension.build.ckpt.count", kInt, kOptional, ValidatePositiveU32,
    "Number of checkpoints.",     "0"};
inline constexpr OptionField kLogThreshold{
    "build.log_threshold",       kInt,      kOptional, ValidatePositiveInt,
    "Threshold of builder log.", "not read"};

// Product quantization.
inline constexpr OptionField kPqThreadCount{
    "encoding.pq.thread_count", kInt, kOptional, ValidatePositiveU32, "PQ thread count.", "1"};
inline constexpr OptionField kPqM{"encoding.pq.m",     kInt,    kOptional,
                                  ValidatePositiveU32, "PQ m.", "8"};
inline constexpr OptionField kPqMaxEpoch{
    "encoding.pq.max_epoch", kInt, kOptional, ValidatePositiveU32, "PQ max epoch.",
    "12 (8 with OPQ)"};
inline constexpr OptionField kPqUseOpq{
    "encoding.pq.use_opq", kBool, kOptional, nullptr, "Use OPQ.", "false"};
inline constexpr OptionField kPqZeroMean{"encoding.pq.make_zero_mean", kBool,  kOptional, nullptr,
                                         "PQ make zero mean.",         "false"};

// Searchers.
inline constexpr OptionField kSearcherDimension{
    "index.dimension", kInt, kRequired, ValidatePositiveU32, "Index dimension.", ""};

// Searches.
inline constexpr OptionField kTopk{
    "search.topk", kInt, kRequired, ValidatePositiveInt, "Search-time topK override.", ""};
inline constexpr OptionField kParallelNumber{
    "search.parallel_number", kInt, kOptional, ValidatePositiveU32, "Search parallel number.", "1"};
inline constexpr OptionField kThreadSafeFilter{
    "search.thread_safe_filter", kBool, kOptional, nullptr, "Thread safe filter.", "false"};
inline constexpr OptionField kBatchThreads{"search.batch_threads",
                                           kInt,
                                           kOptional,
                                           ValidateBatchThreads,
                                           "Threads one search call may use for its queries.",
                                           "the hardware threads"};

// Built-in file IO.
inline constexpr OptionField kIndexPath{
    "index.path", kString, kRequired, nullptr, "Index path (built-in IO only).", ""};
inline constexpr OptionField kReaderType{"io.reader.type",
                                         kString,
                                         kOptional,
                                         ValidateReaderType,
                                         "Reader type (local/mmap, built-in IO only).",
                                         "local"};
inline constexpr OptionField kMmapLockMode{
    "io.reader.mmap.lock_mode",
    kString,
    kOptional,
    ValidateMmapLockMode,
    "mmap lock mode (none/mlock/populate, built-in IO only).",
    "none"};
inline constexpr OptionField kVerifyCrc{
    "io.verify_crc", kBool, kOptional, nullptr, "Verify section CRC on read (built-in IO only).",
    "false"};

// Groups shared by several tables.
inline constexpr std::array<OptionField, 8> kCommonBuilder{
    kBuilderDimension, kIndexType,     kMetric,    kEncodingType,
    kSampleRatio,      kCkptThreshold, kCkptCount, kLogThreshold};
inline constexpr std::array<OptionField, 5> kPq{kPqThreadCount, kPqM, kPqMaxEpoch, kPqUseOpq,
                                                kPqZeroMean};
inline constexpr std::array<OptionField, 2> kCommonSearcher{kSearcherDimension, kIndexType};
inline constexpr std::array<OptionField, 4> kCommonSearch{kTopk, kParallelNumber, kThreadSafeFilter,
                                                          kBatchThreads};

}  // namespace fields

// The generic tables, for a type string that names no kind. Each kind composes
// its own tables from the groups above in its folder.
inline constexpr auto kBuilderOptionsSchema = MakeSchema(fields::kCommonBuilder);
inline constexpr auto kSearcherOptionsSchema = MakeSchema(fields::kCommonSearcher);
// The searcher facade checks this table for every kind.
inline constexpr auto kSearchOptionsSchema = MakeSchema(fields::kCommonSearch);

// Quantizer options of product quantization; raw and SQ8 have none.
inline constexpr auto kPqQuantizerSchema = MakeSchema(fields::kPq);

// Options of the built-in file readers and writers.
inline constexpr auto kIoFields = MakeSchema(
    std::array{fields::kIndexPath, fields::kReaderType, fields::kMmapLockMode, fields::kVerifyCrc});

}  // namespace orvane::schema
