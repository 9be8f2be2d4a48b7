// The C interface of liborvane_py: the extern "C" functions over the
// builder and searcher facades. Options arrive as flat JSON text, failures
// leave as -1 (or a null handle) plus a message in the caller's buffer, and no
// exception or class type crosses the boundary. Only the functions declared in
// orvane_c.h are exported; everything else here has hidden visibility.
#include "orvane/csrc/orvane_c.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "orvane/api/OptionNormalize.h"
#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "ArrayDataset.h"
#include "ErrorBuffer.h"
#include "Guarded.h"
#include "Handles.h"
#include "JsonOptionMap.h"
#include "orvane/extensions/SearchWithFilterExtension.h"
#include "telemetry/Logger.h"

#pragma GCC visibility push(hidden)

namespace orvane::csrc {
namespace {

using api::OrvaneBuilder;
using api::OrvaneSearcher;
using api::SearchOptions;
using api::SearchResult;
using core::Result;
using core::Status;

constexpr char kInvalidBuilder[] = "Invalid builder handle";
constexpr char kInvalidSearcher[] = "Invalid searcher handle";

int Fail(std::string_view message, char* err, int errLen) {
    CopyError(message, err, errLen);
    return -1;
}

int FromStatus(const Status& status, char* err, int errLen) {
    return status.IsOk() ? 0 : Fail(status.Message(), err, errLen);
}

// Splits the io.* keys (file IO options such as io.verify_crc) off the parsed
// creation options: the facade's schema does not know them, open and dump use them.
StringMap TakeIoKeys(StringMap& map) {
    return api::TakeIOOptions(map);
}

// The log sink installed by orvane_set_log_level: standard error, switchable off.
// It lives as long as the process, so the logger never loses a sink it is using.
class HostLogSink : public telemetry::LogSink {
  public:
    void Write(const telemetry::LogRecord& record) override {
        if (_enabled.load(std::memory_order_relaxed)) _stderr.Write(record);
    }
    void SetEnabled(bool enabled) { _enabled.store(enabled, std::memory_order_relaxed); }

  private:
    telemetry::StderrSink _stderr;
    std::atomic<bool> _enabled{true};
};

// Forwards to the process-wide HostLogSink (the logger owns its sinks).
class HostLogSinkRef : public telemetry::LogSink {
  public:
    explicit HostLogSinkRef(HostLogSink& sink) : _sink(sink) {}
    void Write(const telemetry::LogRecord& record) override { _sink.Write(record); }

  private:
    HostLogSink& _sink;
};

HostLogSink& InstallHostLogSink() {
    static HostLogSink sink;
    static std::once_flag installed;
    std::call_once(installed, [] {
        auto& logger = telemetry::Logger::Instance();
        logger.ClearSinks();
        logger.AddSink(std::make_unique<HostLogSinkRef>(sink));
    });
    return sink;
}

struct NamedLevel {
    const char* name;
    telemetry::LogLevel level;
};
constexpr NamedLevel kLevels[] = {{"trace", telemetry::LogLevel::Trace},
                                  {"debug", telemetry::LogLevel::Debug},
                                  {"info", telemetry::LogLevel::Info},
                                  {"warn", telemetry::LogLevel::Warn},
                                  {"error", telemetry::LogLevel::Error}};

// Normalizes the parsed options and creates the facade from them; null, with
// the message in `err`, when either step fails.
template <typename Facade, typename Normalize>
std::unique_ptr<Facade> CreateFacade(const StringMap& map, Normalize&& normalize, char* err,
                                     int errLen) {
    auto options = normalize(map);
    if (!options.IsOk()) {
        CopyError(options.GetStatus().Message(), err, errLen);
        return nullptr;
    }
    auto facade = Facade::Create(options.Value());
    if (!facade.IsOk()) {
        CopyError(facade.GetStatus().Message(), err, errLen);
        return nullptr;
    }
    return std::make_unique<Facade>(facade.TakeValue());
}

// Writes one query's hits into its row of `topk` slots: at most topk hits in
// the back end's order, the rest padded with distance 0 and an all-ones id.
void WriteRow(const SearchResult& result, size_t topk, float* distances, uint64_t* ids) {
    const size_t k = std::min(topk, result.topk.size());
    for (size_t j = 0; j < k; ++j) {
        distances[j] = result.topk[j].distance;
        ids[j] = result.topk[j].id;
    }
    std::fill(distances + k, distances + topk, 0.0f);
    std::fill(ids + k, ids + topk, UINT64_MAX);
}

// Parses and normalizes the search options of one call; `topk` (and, for
// filtered searches, the filter's thread safety) override the JSON.
Result<SearchOptions> PrepareSearchOptions(const orvane_searcher_handle& h, const char* json,
                                           int topk, bool filtered) {
    StringMap map = json != nullptr ? parse_json_map(json) : StringMap();
    map["search.topk"] = std::to_string(topk);
    if (filtered) map["search.thread_safe_filter"] = "true";
    return api::NormalizeSearchOptions(h.indexType, map);
}

// The checks and the batch shared by both search functions: one facade call
// answers every query (spread over the search executor), then each row of
// `topk` output slots is written and padded. `filter` is null for a plain
// search.
int RunQueries(orvane_searcher_handle* h, const float* queries, int nQueries, int topk,
               float* outDistances, uint64_t* outIds, const char* json,
               const api::RowFilter* filter, char* err, int errLen) {
    if (topk < 1) return Fail("Option search.topk must be > 0", err, errLen);
    Result<SearchOptions> options = PrepareSearchOptions(*h, json, topk, filter != nullptr);
    if (!options.IsOk()) return Fail(options.GetStatus().Message(), err, errLen);
    if (nQueries < 0) return Fail("n_queries must not be negative", err, errLen);
    if (nQueries == 0) return 0;
    if (queries == nullptr) return Fail("queries must not be null", err, errLen);
    if (outDistances == nullptr || outIds == nullptr) {
        return Fail("out_distances and out_ids must not be null", err, errLen);
    }
    if (filter != nullptr) {
        Status valid = api::ValidateSearchOptions(options.Value());
        if (!valid.IsOk()) return Fail(valid.Message(), err, errLen);
        // Only kinds that accepted the filter extension at open time filter.
        if (!h->filterExtension.IsAttached()) return Fail("extension not attached", err, errLen);
    }

    std::vector<SearchResult> results;
    Status searched = h->searcher->SearchBatch(queries, static_cast<uint64_t>(nQueries),
                                               options.Value(), results, filter);
    if (!searched.IsOk()) return Fail(searched.Message(), err, errLen);
    const size_t k = static_cast<size_t>(topk);
    for (size_t i = 0; i < results.size(); ++i) {
        WriteRow(results[i], k, outDistances + i * k, outIds + i * k);
    }
    return 0;
}

}  // namespace
}  // namespace orvane::csrc

#pragma GCC visibility pop

using orvane::csrc::CopyError;
using orvane::csrc::CreateFacade;
using orvane::csrc::Fail;
using orvane::csrc::FromStatus;
using orvane::csrc::Guarded;

extern "C" {

orvane_builder_handle* orvane_builder_create(const char* options_json, char* err, int err_len) {
    return Guarded<orvane_builder_handle*>(err, err_len, nullptr, [&]() -> orvane_builder_handle* {
        orvane::csrc::StringMap map = orvane::csrc::parse_json_map(options_json);
        orvane::csrc::StringMap io = orvane::csrc::TakeIoKeys(map);
        auto builder = CreateFacade<orvane::api::OrvaneBuilder>(
            map, orvane::api::NormalizeBuilderOptions, err, err_len);
        if (!builder) return nullptr;
        auto handle = std::make_unique<orvane_builder_handle>();
        handle->builder = std::move(builder);
        handle->options = std::move(map);
        handle->ioOptions = std::move(io);
        return handle.release();
    });
}

void orvane_builder_destroy(orvane_builder_handle* builder) {
    delete builder;
}

int orvane_builder_pretrain(orvane_builder_handle* builder, const float* data, uint64_t n,
                            int /*unused*/, char* err, int err_len) {
    return Guarded(err, err_len, -1, [&] {
        if (builder == nullptr || !builder->builder) {
            return Fail(orvane::csrc::kInvalidBuilder, err, err_len);
        }
        return FromStatus(builder->builder->Pretrain(data, n), err, err_len);
    });
}

int orvane_builder_insert(orvane_builder_handle* builder, const float* data, const uint64_t* ids,
                          uint64_t n, int dim, char* err, int err_len) {
    return Guarded(err, err_len, -1, [&] {
        if (builder == nullptr || !builder->builder) {
            return Fail(orvane::csrc::kInvalidBuilder, err, err_len);
        }
        if (dim < 0) return Fail("dim must not be negative", err, err_len);
        if (data == nullptr && n > 0) return Fail("data must not be null", err, err_len);
        orvane::csrc::ArrayDataset dataset(data, ids, n, static_cast<uint32_t>(dim));
        return FromStatus(builder->builder->InsertFrom(dataset), err, err_len);
    });
}

int orvane_builder_dump(orvane_builder_handle* builder, const char* path, char* err, int err_len) {
    return Guarded(err, err_len, -1, [&] {
        if (builder == nullptr || !builder->builder) {
            return Fail(orvane::csrc::kInvalidBuilder, err, err_len);
        }
        if (path == nullptr) return Fail("path must not be null", err, err_len);
        auto io = orvane::api::NormalizeIOOptions(builder->ioOptions, path);
        if (!io.IsOk()) return Fail(io.GetStatus().Message(), err, err_len);
        return FromStatus(builder->builder->Dump(io.Value()), err, err_len);
    });
}

orvane_searcher_handle* orvane_searcher_create(const char* options_json, char* err, int err_len) {
    return Guarded<orvane_searcher_handle*>(
        err, err_len, nullptr, [&]() -> orvane_searcher_handle* {
            orvane::csrc::StringMap map = orvane::csrc::parse_json_map(options_json);
            orvane::csrc::StringMap io = orvane::csrc::TakeIoKeys(map);
            auto searcher = CreateFacade<orvane::api::OrvaneSearcher>(
                map, orvane::api::NormalizeSearcherOptions, err, err_len);
            if (!searcher) return nullptr;
            auto handle = std::make_unique<orvane_searcher_handle>();
            handle->searcher = std::move(searcher);
            // Normalization refuses a map without `index.type`, and creation one
            // whose kind has no back end: the map names a registered kind here.
            handle->indexType = map.at("index.type");
            handle->options = std::move(map);
            handle->ioOptions = std::move(io);
            return handle.release();
        });
}

void orvane_searcher_destroy(orvane_searcher_handle* searcher) {
    if (searcher == nullptr) return;
    try {
        if (searcher->searcher) (void)searcher->searcher->Close();
    } catch (...) {
        // Destruction goes on: the host has no way to handle a failure here.
    }
    delete searcher;
}

int orvane_searcher_open(orvane_searcher_handle* searcher, const char* path, char* err,
                         int err_len) {
    return Guarded(err, err_len, -1, [&] {
        if (searcher == nullptr || !searcher->searcher) {
            return Fail(orvane::csrc::kInvalidSearcher, err, err_len);
        }
        if (path == nullptr) return Fail("path must not be null", err, err_len);
        auto io = orvane::api::NormalizeIOOptions(searcher->ioOptions, path);
        if (!io.IsOk()) return Fail(io.GetStatus().Message(), err, err_len);
        orvane::core::Status st = searcher->searcher->Open(io.Value());
        if (!st.IsOk()) return Fail(st.Message(), err, err_len);
        // A kind without filter support refuses the extension, which then stays
        // without a search function; filtered searches report that per query.
        (void)searcher->searcher->Attach(searcher->filterExtension);
        return 0;
    });
}

uint64_t orvane_searcher_get_count(orvane_searcher_handle* searcher) {
    if (searcher == nullptr || !searcher->searcher) return 0;
    return searcher->searcher->GetMeta().count;
}

uint32_t orvane_searcher_get_dimension(orvane_searcher_handle* searcher) {
    if (searcher == nullptr || !searcher->searcher) return 0;
    return searcher->searcher->GetMeta().dim;
}

int orvane_searcher_search(orvane_searcher_handle* searcher, const float* queries, int n_queries,
                           int topk, float* out_distances, uint64_t* out_ids,
                           const char* options_json, char* err, int err_len) {
    return Guarded(err, err_len, -1, [&] {
        if (searcher == nullptr || !searcher->searcher) {
            return Fail(orvane::csrc::kInvalidSearcher, err, err_len);
        }
        return orvane::csrc::RunQueries(searcher, queries, n_queries, topk, out_distances, out_ids,
                                        options_json, nullptr, err, err_len);
    });
}

int orvane_searcher_search_with_filter(orvane_searcher_handle* searcher, const float* queries,
                                       int n_queries, int topk, float* out_distances,
                                       uint64_t* out_ids, const uint64_t* filter_ids,
                                       uint64_t filter_count, const char* options_json, char* err,
                                       int err_len) {
    return Guarded(err, err_len, -1, [&] {
        if (searcher == nullptr || !searcher->searcher) {
            return Fail(orvane::csrc::kInvalidSearcher, err, err_len);
        }
        if (filter_ids == nullptr && filter_count > 0) {
            return Fail("filter_ids must not be null when filter_count > 0", err, err_len);
        }
        // The list is converted once per call (sorted and deduplicated unless it
        // already is) and only read afterwards, so the call's workers share it;
        // a back end can count and enumerate it to pick its strategy.
        std::vector<uint64_t> sortedIds;
        const orvane::api::RowFilter filter = orvane::api::MakeAllowedIdFilter(
            std::span<const uint64_t>(filter_ids, filter_ids == nullptr ? 0 : filter_count),
            sortedIds);
        return orvane::csrc::RunQueries(searcher, queries, n_queries, topk, out_distances, out_ids,
                                        options_json, &filter, err, err_len);
    });
}

int orvane_set_log_level(const char* level, char* err, int err_len) {
    return Guarded(err, err_len, -1, [&] {
        const std::string_view name = level != nullptr ? level : "";
        orvane::csrc::HostLogSink& sink = orvane::csrc::InstallHostLogSink();
        if (name == "off") {
            sink.SetEnabled(false);
            orvane::telemetry::Logger::Instance().SetLevel(orvane::telemetry::LogLevel::Error);
            return 0;
        }
        for (const auto& named : orvane::csrc::kLevels) {
            if (name == named.name) {
                orvane::telemetry::Logger::Instance().SetLevel(named.level);
                sink.SetEnabled(true);
                return 0;
            }
        }
        return Fail("unknown log level '" + std::string(name) +
                        "' (trace, debug, info, warn, error or off)",
                    err, err_len);
    });
}

int orvane_check_option_keys(const char* purpose, const char* index_type, const char* options_json,
                             char* err, int err_len) {
    return Guarded(err, err_len, -1, [&] {
        using orvane::api::OptionPurpose;
        const std::string_view what = purpose != nullptr ? purpose : "";
        OptionPurpose p;
        if (what == "builder") {
            p = OptionPurpose::kBuilder;
        } else if (what == "searcher") {
            p = OptionPurpose::kSearcher;
        } else if (what == "search") {
            p = OptionPurpose::kSearch;
        } else {
            return Fail("purpose must be builder, searcher or search", err, err_len);
        }
        if (index_type == nullptr || *index_type == '\0') {
            return Fail("index type must not be empty", err, err_len);
        }
        orvane::csrc::StringMap map = orvane::csrc::parse_json_map(options_json);
        if (p != OptionPurpose::kSearch) (void)orvane::csrc::TakeIoKeys(map);
        return FromStatus(orvane::api::CheckKnownOptionKeys(map, p, index_type), err, err_len);
    });
}

}  // extern "C"
