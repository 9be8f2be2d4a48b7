#include "index/diskann/DiskANNOptions.h"

#include <string>
#include <variant>

#include "telemetry/Logger.h"

namespace orvane::index::diskann {

using core::ErrorCode;
using core::Result;
using core::Status;

namespace {

// Reads a positive integer option into `out` (kept when absent or of another
// type); zero or negative values are refused, since every one of them sizes
// an array or divides.
Status ReadPositive(const api::BuilderOptions& options, const char* key, uint64_t max,
                    uint64_t* out) {
    const int64_t value = options.GetInt(key, static_cast<int64_t>(*out));
    if (value <= 0 || static_cast<uint64_t>(value) > max) {
        return Status(ErrorCode::InvalidArgument,
                      std::string(key) + " out of range [" + std::to_string(value) + "]");
    }
    *out = static_cast<uint64_t>(value);
    return Status::Ok();
}

// The search's parallel number, or InvalidArgument outside 1 .. 1000.
Result<uint32_t> ParallelNumber(const api::SearchOptions& options) {
    const int64_t parallel = options.GetInt("search.parallel_number", 1);
    if (parallel < 1 || parallel > kMaxParallelNumber) {
        ORVANE_LOG_ERROR("ParallelNumber is out of range[%u] vs [%u]",
                         static_cast<uint32_t>(parallel), kMaxParallelNumber);
        return Status(ErrorCode::InvalidArgument, "ParallelNumber is out of range");
    }
    return static_cast<uint32_t>(parallel);
}

// A positive int option below 2^32, `def` when absent; `zeroMessage` for
// values below 1, the key and the range above.
Result<uint32_t> PositiveOption(const api::SearchOptions& options, const std::string& key,
                                int64_t def, const char* zeroMessage) {
    const int64_t value = options.GetInt(key, def);
    if (value < 1) {
        ORVANE_LOG_ERROR("%s", zeroMessage);
        return Status(ErrorCode::InvalidArgument, zeroMessage);
    }
    if (value > int64_t{UINT32_MAX}) return schema::ValidatePositiveU32(key, value);
    return static_cast<uint32_t>(value);
}

}  // namespace

Result<DiskANNBuildParams> DiskANNBuildParams::Parse(const api::BuilderOptions& options) {
    DiskANNBuildParams params;
    params.dimension = static_cast<uint64_t>(options.GetInt("index.dimension", 0));
    uint64_t threads = params.threadCount;
    ORVANE_RETURN_IF_ERROR(ReadPositive(options, fields::kThreadCount.key.data(), 4096, &threads));
    params.threadCount = static_cast<uint32_t>(threads);
    ORVANE_RETURN_IF_ERROR(ReadPositive(options, fields::kNeighborCount.key.data(), UINT32_MAX,
                                        &params.neighborCount));
    uint64_t ef = params.efConstruction;
    ORVANE_RETURN_IF_ERROR(
        ReadPositive(options, fields::kEfConstruction.key.data(), UINT32_MAX, &ef));
    params.efConstruction = static_cast<uint32_t>(ef);
    params.slackPruningFactor = static_cast<float>(
        options.GetDouble(fields::kSlackPruning.key.data(), params.slackPruningFactor));
    if (!(params.slackPruningFactor > 0)) {
        return Status(ErrorCode::InvalidArgument,
                      "diskann.build.slack_pruning_factor must be positive");
    }
    params.reorderLayout = options.GetBool(fields::kReorderLayout.key.data(), params.reorderLayout);
    params.thresholdOfCkpt = static_cast<uint64_t>(options.GetInt(
        "extension.build.ckpt.threshold", static_cast<int64_t>(params.thresholdOfCkpt)));
    params.thresholdOfLog = static_cast<uint64_t>(
        options.GetInt("build.log_threshold", static_cast<int64_t>(params.thresholdOfLog)));
    params.numberOfCkpt = static_cast<uint64_t>(
        options.GetInt("extension.build.ckpt.count", static_cast<int64_t>(params.numberOfCkpt)));
    return params;
}

Result<DiskANNSearcherParams> DiskANNSearcherParams::Parse(const api::SearcherOptions& options) {
    const int64_t cache = options.GetInt(fields::kNodesToCache.key.data(), 0);
    if (cache < 0 || cache > UINT32_MAX) {
        return Status(ErrorCode::InvalidArgument, "num_nodes_to_cache out of range");
    }
    return DiskANNSearcherParams{static_cast<uint32_t>(cache)};
}

Result<DiskANNSearchParams> DiskANNSearchParams::Parse(const api::SearchOptions& options,
                                                       bool filtered) {
    DiskANNSearchParams params;
    const bool threadSafe = filtered && options.GetBool("search.thread_safe_filter", false);
    auto parallel = ParallelNumber(options);
    if (!parallel.IsOk()) return parallel.TakeStatus();
    params.parallel = parallel.Value();
    if (filtered && params.parallel > 1 && !threadSafe) {
        ORVANE_LOG_ERROR(
            "Multi threaded search when filter is not thread safe: thread count [%u] vs thread "
            "safe filter [%d]",
            params.parallel, threadSafe ? 1 : 0);
        return Status(ErrorCode::InvalidArgument,
                      "Multi threaded search when filter is not thread safe");
    }

    static const std::string kListSizeKey(fields::kListSize.key);
    const auto listSizeIt = options.Values().find(kListSizeKey);
    if (listSizeIt == options.Values().end() ||
        !std::holds_alternative<int64_t>(listSizeIt->second)) {
        ORVANE_LOG_ERROR("Missing key[%s]", kListSizeKey.c_str());
        return Status(ErrorCode::InvalidArgument, "List size is required");
    }
    auto listSize = PositiveOption(options, kListSizeKey, 0, "List size must be > 0");
    if (!listSize.IsOk()) return listSize.TakeStatus();
    params.listSize = listSize.Value();
    auto ioLimit = PositiveOption(options, std::string(fields::kIoLimit.key), UINT32_MAX,
                                  "IO limit must be > 0");
    if (!ioLimit.IsOk()) return ioLimit.TakeStatus();
    params.ioLimit = ioLimit.Value();
    if (options.GetBool(std::string(fields::kUseReorderData.key), false)) {
        ORVANE_LOG_ERROR("Do not support search use reorder data yet");
        return Status(ErrorCode::NotSupported, "Do not support search use reorder data yet");
    }
    auto beamWidth = PositiveOption(options, std::string(fields::kBeamWidth.key), 2,
                                    "BeamSearch Width must be > 0");
    if (!beamWidth.IsOk()) return beamWidth.TakeStatus();
    params.beamWidth = beamWidth.Value();
    return params;
}

}  // namespace orvane::index::diskann
