#include "index/ivf/IvfOptions.h"

#include <variant>

namespace orvane::index::ivf {

namespace {

// An integer option as unsigned 32 bits; `def` when absent or of another type.
uint32_t ReadU32(const api::BuilderOptions& options, const char* key, uint32_t def) {
    return static_cast<uint32_t>(options.GetInt(key, def));
}

}  // namespace

IvfBuildParams IvfBuildParams::Parse(const api::BuilderOptions& options) {
    IvfBuildParams params;
    params.dimension = ReadU32(options, "index.dimension", 0);
    params.numLists = ReadU32(options, fields::kNumLists.key.data(), 0);
    params.threadCount = ReadU32(options, fields::kThreadCount.key.data(), params.threadCount);
    params.maxEpoch = ReadU32(options, fields::kMaxEpoch.key.data(), params.maxEpoch);
    return params;
}

core::Result<IvfSearchParams> IvfSearchParams::Parse(const api::SearchOptions& options) {
    IvfSearchParams params;
    const auto it = options.Values().find(fields::kNprobe.key.data());
    if (it == options.Values().end() || !std::holds_alternative<int64_t>(it->second)) {
        return params;
    }
    const int64_t nprobe = std::get<int64_t>(it->second);
    // 0 keeps its own message; a negative count is refused like one too wide
    // rather than wrapped into "every list".
    if (nprobe < 0 || nprobe > int64_t{UINT32_MAX}) {
        return schema::ValidatePositiveU32(fields::kNprobe.key, nprobe);
    }
    params.nprobe = static_cast<uint32_t>(nprobe);
    if (params.nprobe == 0) {
        return core::Status(core::ErrorCode::InvalidArgument, "Option nprobe must be > 0");
    }
    return params;
}

}  // namespace orvane::index::ivf
