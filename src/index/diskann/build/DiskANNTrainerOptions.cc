#include "index/diskann/build/DiskANNTrainerOptions.h"

#include <string>
#include <variant>

#include "telemetry/Logger.h"

namespace orvane::index::diskann {

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

api::QuantizerOptions TrainerOptions(const api::BuilderOptions& options, uint64_t dimension,
                                     uint32_t threadCount) {
    api::QuantizerOptions out;
    for (const auto& [key, value] : options.Values()) {
        if (StartsWith(key, "encoding.") || StartsWith(key, "distance.")) out.Values()[key] = value;
    }
    out.Values()["index.dimension"] = static_cast<int64_t>(dimension);
    auto& values = out.Values();
    auto type = values.find("encoding.type");
    if (type == values.end() || !std::holds_alternative<std::string>(type->second)) {
        ORVANE_LOG_INFO("Set default PQ quantizer trainer.");
        values["encoding.type"] = std::string("pq");
    }
    if (out.GetString("encoding.type", "") == "pq") {
        auto m = values.find("encoding.pq.m");
        if (m == values.end() || !std::holds_alternative<int64_t>(m->second)) {
            values["encoding.pq.m"] = static_cast<int64_t>((dimension + 1) / 2);
            ORVANE_LOG_INFO("set default PQ chunk count[%lu]",
                            static_cast<unsigned long>((dimension + 1) / 2));
        }
        auto threads = values.find("encoding.pq.thread_count");
        if (threads == values.end() || !std::holds_alternative<int64_t>(threads->second)) {
            values["encoding.pq.thread_count"] = static_cast<int64_t>(threadCount);
            ORVANE_LOG_INFO("set default PQ thread count[%u]", threadCount);
        }
    }
    ORVANE_LOG_INFO("Trainer options [%s]", out.DebugString().c_str());
    return out;
}

std::optional<api::QuantizerOptions> DiskTrainerOptions(const api::BuilderOptions& options,
                                                        uint64_t dimension, uint32_t threadCount) {
    const auto& values = options.Values();
    auto type = values.find("diskann.disk_encoding.type");
    if (type == values.end() || !std::holds_alternative<std::string>(type->second)) {
        return std::nullopt;
    }
    api::QuantizerOptions out;
    for (const auto& [key, value] : values) {
        if (StartsWith(key, "diskann.disk_encoding.") || StartsWith(key, "distance.")) {
            out.Values()[key] = value;
        }
    }
    out.Values()["index.dimension"] = static_cast<int64_t>(dimension);
    const std::string encoding = std::get<std::string>(type->second);
    out.Values()["encoding.type"] = encoding;
    if (encoding == "pq") {
        const char* prefix = "diskann.disk_encoding.encoding.pq.";
        out.Values()["encoding.pq.m"] =
            options.GetInt(std::string(prefix) + "m", static_cast<int64_t>((dimension + 1) / 2));
        out.Values()["encoding.pq.thread_count"] =
            options.GetInt(std::string(prefix) + "thread_count", threadCount);
        auto epoch = values.find(std::string(prefix) + "max_epoch");
        if (epoch != values.end() && std::holds_alternative<int64_t>(epoch->second)) {
            out.Values()["encoding.pq.max_epoch"] = epoch->second;
        }
        out.Values()["encoding.pq.use_opq"] = false;
        out.Values()["encoding.pq.make_zero_mean"] = false;
    }
    ORVANE_LOG_INFO("disk trainer options [%s]", out.DebugString().c_str());
    return out;
}

}  // namespace orvane::index::diskann
