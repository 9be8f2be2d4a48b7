// CpuFeatures: the processor features that decide which kernel level runs, read
// from the processor or from the environment override, and the rule that turns
// them into a kernel level.
#pragma once

#include <string_view>

#include "isa/IsaE.h"

namespace orvane::isa {

// Name of the environment variable that replaces processor detection. Its value
// is searched for "isa.sse", "isa.avx", "isa.avx2" and "isa.avx512".
inline constexpr const char* kOverrideCpuFeaturesEnv = "isa.orvane_override_cpu_features";

struct CpuFeatures {
    bool sse = false;
    bool avx = false;
    bool avx2 = false;
    bool avx512f = false;
    bool avx512dq = false;
    bool avx512bw = false;
    bool avx512vl = false;
    bool avx512vpopcntdq = false;

    bool operator==(const CpuFeatures&) const = default;
};

// Features named by an override text (substring matches, no separator needed).
CpuFeatures ParseCpuFeatureOverride(std::string_view text);

// The features of the running processor, or of the override variable when it is
// set (even to the empty text). Caches nothing.
CpuFeatures DetectCpu();

// The kernel level to run on a processor with these features: avx2 whenever AVX2
// is available (AVX-512 processors included, as they all have AVX2), else scalar.
IsaE SelectKernelIsa(const CpuFeatures& features);

}  // namespace orvane::isa
