// CpuFeatures: the processor features that decide which kernel level runs, read
// from the processor or from the environment override, and the rule that turns
// them into a kernel level.
#pragma once

#include <cstdint>
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
    bool avx512vnni = false;

    bool operator==(const CpuFeatures&) const = default;
};

// Features named by an override text (substring matches, no separator needed).
CpuFeatures ParseCpuFeatureOverride(std::string_view text);

// The features of the running processor, or of the override variable when it is
// set (even to the empty text). Caches nothing.
CpuFeatures DetectCpu();

// The kernel level to run on a processor with these features: avx512 when AVX2
// and AVX-512 F, DQ, BW and VL are all there (the AVX-512 kernels use AVX2
// instructions too), else avx2 whenever AVX2 is available, else scalar.
IsaE SelectKernelIsa(const CpuFeatures& features);

// Bits of the extended control register XCR0 that the operating system must
// have enabled before the vector registers of a level may be used: the SSE and
// AVX state for avx2, and the opmask and both halves of the 512-bit register
// state on top for avx512.
inline constexpr uint64_t kXcr0AvxState = 0x6;
inline constexpr uint64_t kXcr0Avx512State = 0xe6;

// The highest level of `level` and below that the operating system lets a
// process run, from whether it saves extended state (OSXSAVE) and XCR0.
IsaE ClampToOsSupport(IsaE level, bool osxsave, uint64_t xcr0);

// The highest level the running processor and operating system can execute,
// whatever the override variable says: the processor's own features, clamped
// by ClampToOsSupport. Computed once.
IsaE SupportedIsa();

// The level the dispatchers run for this process: SelectKernelIsa(DetectCpu()),
// but never above SupportedIsa(), so that an override cannot ask for
// instructions the machine would fault on.
IsaE ChooseKernelIsa();

// Whether the running processor has AVX-512 VNNI, whatever the override says
// (kernels that use it check it on top of running at the avx512 level).
// Computed once.
bool SupportsAvx512Vnni();

}  // namespace orvane::isa
