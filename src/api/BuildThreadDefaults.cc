#include "api/BuildThreadDefaults.h"

#include "index/IndexKindRegistry.h"
#include "util/ExecutorManager.h"

namespace orvane::api {

unsigned HardwareThreads() { return util::ExecutorManager::DefaultThreadCount(); }

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
