#include "api/BuildThreadDefaults.h"

#include <thread>

#include "index/IndexKindRegistry.h"

namespace orvane::api {

unsigned HardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

std::vector<std::string> DefaultBuildThreads(TextOptionMap& options, std::string_view indexType,
                                             unsigned threads) {
    std::vector<std::string> set;
    constexpr std::string_view kSuffix = "thread_count";
    if (const index::IndexKindDescriptor* kind = index::FindIndexKind(indexType)) {
        for (const schema::OptionField& field : kind->schemas->builder.fields) {
            if (!field.key.ends_with(kSuffix)) continue;
            std::string key(field.key);
            if (options.count(key) != 0) continue;
            options[key] = std::to_string(threads);
            set.push_back(std::move(key));
        }
    }
    return set;
}

}  // namespace orvane::api
