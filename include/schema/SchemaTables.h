// SchemaTables: every option schema of the library as compile-time tables. Each key's
// field (type, required flag, validator, description) is spelled once below and the
// tables are composed from those fields, so two tables sharing a key cannot drift.
// Table order is the order in which validation visits the keys.
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
inline constexpr OptionField kBuilderDimension{"index.dimension", kInt, kRequired,
                                               ValidatePositiveInt, "Vector dimension."};
inline constexpr OptionField kIndexType{"index.type", kString, kRequired, ValidateIndexType,
                                        "Index type."};
inline constexpr OptionField kMetric{"distance.metric", kString, kOptional, ValidateMetric,
                                     "Distance metric."};
inline constexpr OptionField kEncodingType{"encoding.type", kString, kOptional,
                                           ValidateEncodingType, "Encoding type."};
inline constexpr OptionField kSampleRatio{"pretrain.sample_ratio", kDouble, kOptional,
                                          ValidateRatio01, "Sample ratio for pretrain."};
inline constexpr OptionField kCkptThreshold{"extension.build.ckpt.threshold", kInt, kOptional,
                                            ValidatePositiveInt,
                                            "Threshold for triggering checkpoint."};
inline constexpr OptionField kCkptCount{"extension.build.ckpt.count", kInt, kOptional,
                                        ValidatePositiveInt, "Number of checkpoints."};
inline constexpr OptionField kLogThreshold{"build.log_threshold", kInt, kOptional,
                                           ValidatePositiveInt, "Threshold of builder log."};

// Product quantization.
inline constexpr OptionField kPqThreadCount{"encoding.pq.thread_count", kInt, kOptional,
                                            ValidatePositiveInt, "PQ thread count."};
inline constexpr OptionField kPqM{"encoding.pq.m", kInt, kOptional, ValidatePositiveInt, "PQ m."};
inline constexpr OptionField kPqMaxEpoch{"encoding.pq.max_epoch", kInt, kOptional,
                                         ValidatePositiveInt, "PQ max epoch."};
inline constexpr OptionField kPqUseOpq{"encoding.pq.use_opq", kBool, kOptional, nullptr,
                                       "Use OPQ."};
inline constexpr OptionField kPqZeroMean{"encoding.pq.make_zero_mean", kBool, kOptional, nullptr,
                                         "PQ make zero mean."};

// IVF build.
inline constexpr OptionField kIvfNumLists{"ivf.build.num_lists", kInt, kRequired,
                                          ValidatePositiveInt, "IVF num lists."};
inline constexpr OptionField kIvfThreadCount{"ivf.build.thread_count", kInt, kOptional,
                                             ValidatePositiveInt, "IVF build thread count."};
inline constexpr OptionField kIvfMaxEpoch{"ivf.build.max_epoch", kInt, kOptional,
                                          ValidatePositiveInt, "IVF build max epoch."};

// DiskANN build.
inline constexpr OptionField kDiskThreadCount{"diskann.build.thread_count", kInt, kOptional,
                                              ValidatePositiveInt, "DiskANN build thread count."};
inline constexpr OptionField kDiskEfConstruction{"diskann.build.ef_construction", kInt, kOptional,
                                                 ValidatePositiveInt,
                                                 "DiskANN build ef construction parameter."};
inline constexpr OptionField kDiskSlackPruning{"diskann.build.slack_pruning_factor", kDouble,
                                               kOptional, ValidatePositiveDouble,
                                               "DiskANN build slack pruning factor."};
inline constexpr OptionField kDiskNeighborCount{"diskann.build.neighbor_count", kInt, kOptional,
                                                ValidatePositiveInt,
                                                "DiskANN build neighbor count."};
inline constexpr OptionField kDiskReorderLayout{"diskann.build.reorder_layout", kBool, kOptional,
                                                nullptr, "DiskANN build reorder layout."};
inline constexpr OptionField kDiskEncodingType{"diskann.disk_encoding.type", kString, kOptional,
                                               ValidateEncodingType, "DiskANN disk encoding type."};
inline constexpr OptionField kDiskSaveOrigin{"diskann.disk_encoding.save_origin_embedding", kBool,
                                             kOptional, nullptr,
                                             "DiskANN disk encoding save origin embedding."};
inline constexpr OptionField kDiskPqThreadCount{
    "diskann.disk_encoding.encoding.pq.thread_count", kInt, kOptional, ValidatePositiveInt,
    "PQ thread count, when DiskANN disk encoding type = PQ."};
inline constexpr OptionField kDiskPqM{"diskann.disk_encoding.encoding.pq.m", kInt, kOptional,
                                      ValidatePositiveInt,
                                      "PQ m, when DiskANN disk encoding type = PQ."};
inline constexpr OptionField kDiskPqMaxEpoch{"diskann.disk_encoding.encoding.pq.max_epoch", kInt,
                                             kOptional, ValidatePositiveInt,
                                             "PQ max epoch, when DiskANN disk encoding type = PQ."};

// Searchers.
inline constexpr OptionField kSearcherDimension{"index.dimension", kInt, kRequired,
                                                ValidatePositiveInt, "Index dimension."};
inline constexpr OptionField kDiskNodesToCache{"diskann.search.num_nodes_to_cache", kInt, kOptional,
                                               ValidateNonNegativeInt, "DiskANN nodes to cache."};

// Searches.
inline constexpr OptionField kTopk{"search.topk", kInt, kRequired, ValidatePositiveInt,
                                   "Search-time topK override."};
inline constexpr OptionField kParallelNumber{"search.parallel_number", kInt, kOptional,
                                             ValidatePositiveInt, "Search parallel number."};
inline constexpr OptionField kThreadSafeFilter{"search.thread_safe_filter", kBool, kOptional,
                                               nullptr, "Thread safe filter."};
inline constexpr OptionField kBatchThreads{"search.batch_threads", kInt, kOptional,
                                           ValidateBatchThreads,
                                           "Threads one search call may use for its queries."};
inline constexpr OptionField kNprobe{"search.nprobe", kInt, kOptional, ValidatePositiveInt,
                                     "IVF search nprobe."};
inline constexpr OptionField kDiskListSize{"diskann.search.list_size", kInt, kRequired,
                                           ValidatePositiveInt, "Diskann search list size."};
inline constexpr OptionField kDiskBeamWidth{"diskann.search.beam_width", kInt, kOptional,
                                            ValidatePositiveInt, "Diskann search beam width."};
inline constexpr OptionField kDiskIoLimit{"diskann.search.io_limit", kInt, kOptional,
                                          ValidatePositiveInt, "Diskann search IO limit."};
inline constexpr OptionField kDiskUseReorderData{"diskann.search.use_reorder_data", kBool,
                                                 kOptional, nullptr,
                                                 "Diskann search use reorder data flag."};

// Built-in file IO.
inline constexpr OptionField kIndexPath{"index.path", kString, kRequired, nullptr,
                                        "Index path (built-in IO only)."};
inline constexpr OptionField kReaderType{"io.reader.type", kString, kOptional, ValidateReaderType,
                                         "Reader type (local/mmap, built-in IO only)."};
inline constexpr OptionField kMmapLockMode{
    "io.reader.mmap.lock_mode", kString, kOptional, ValidateMmapLockMode,
    "mmap lock mode (none/mlock/populate, built-in IO only)."};
inline constexpr OptionField kVerifyCrc{"io.verify_crc", kBool, kOptional, nullptr,
                                        "Verify section CRC on read (built-in IO only)."};

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

// Builder schemas. The generic table serves unknown type strings; demo has its own
// table with the same content.
inline constexpr auto kBuilderOptionsSchema = MakeSchema(fields::kCommonBuilder);
inline constexpr auto kDemoBuilderSchema = MakeSchema(fields::kCommonBuilder);
inline constexpr auto kBruteforceBuilderSchema = MakeSchema(fields::kCommonBuilder, fields::kPq);
inline constexpr auto kIvfBuilderSchema = MakeSchema(
    fields::kCommonBuilder,
    std::array{fields::kIvfNumLists, fields::kIvfThreadCount, fields::kIvfMaxEpoch}, fields::kPq);
inline constexpr auto kDiskANNBuilderSchema = MakeSchema(
    fields::kCommonBuilder,
    std::array{fields::kDiskThreadCount, fields::kDiskEfConstruction, fields::kDiskSlackPruning,
               fields::kDiskNeighborCount, fields::kDiskReorderLayout, fields::kDiskEncodingType,
               fields::kDiskSaveOrigin, fields::kDiskPqThreadCount, fields::kDiskPqM,
               fields::kDiskPqMaxEpoch},
    fields::kPq);

// Searcher schemas. IVF uses the generic table itself.
inline constexpr auto kSearcherOptionsSchema = MakeSchema(fields::kCommonSearcher);
inline constexpr auto kBruteforceSearcherSchema = MakeSchema(fields::kCommonSearcher);
inline constexpr auto kDemoSearcherSchema = MakeSchema(fields::kCommonSearcher);
inline constexpr auto kDiskANNSearcherSchema =
    MakeSchema(fields::kCommonSearcher, std::array{fields::kDiskNodesToCache});

// Search schemas. Bruteforce and demo use the common table itself; the searcher
// facade checks it for every kind.
inline constexpr auto kSearchOptionsSchema = MakeSchema(fields::kCommonSearch);
inline constexpr auto kIvfSearchSchema =
    MakeSchema(fields::kCommonSearch, std::array{fields::kNprobe});
inline constexpr auto kDiskANNSearchSchema = MakeSchema(
    fields::kCommonSearch, std::array{fields::kDiskListSize, fields::kDiskBeamWidth,
                                      fields::kDiskIoLimit, fields::kDiskUseReorderData});

// Quantizer options of product quantization; raw and SQ8 have none.
inline constexpr auto kPqQuantizerSchema = MakeSchema(fields::kPq);

// Options of the built-in file readers and writers.
inline constexpr auto kIoFields = MakeSchema(
    std::array{fields::kIndexPath, fields::kReaderType, fields::kMmapLockMode, fields::kVerifyCrc});

}  // namespace orvane::schema
