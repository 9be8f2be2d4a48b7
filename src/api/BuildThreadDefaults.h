// BuildThreadDefaults: the thread counts a build uses when its caller names none.
// The library's own default is 1 (its C callers may rely on that); the tool and
// the Python package call this to use every hardware thread instead, as the
// peer libraries do.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "orvane/api/OptionNormalize.h"

namespace orvane::api {

// The processors this process may run on (its affinity mask; at least 1):
// the machine's hardware threads unless taskset or a cpuset says fewer.
unsigned HardwareThreads();

// Sets every build thread count key of the kind's builder schema (the keys
// ending in "thread_count") that `options` lacks to `threads`, and returns the
// keys it set, in schema order. An unknown kind sets nothing.
std::vector<std::string> DefaultBuildThreads(TextOptionMap& options, std::string_view indexType,
                                             unsigned threads);

}  // namespace orvane::api
