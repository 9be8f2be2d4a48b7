// IndexE: the index kinds; their option strings are "bruteforce", "diskann", "ivf", "demo".
#pragma once

#include <cstdint>

namespace orvane::core {

enum class IndexE : uint32_t {
    bruteforce = 0,
    diskANN = 1,
    ivf = 2,
    demo = 3,
};

}  // namespace orvane::core
