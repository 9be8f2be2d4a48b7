#include "isa/CpuFeatures.h"

#include <cpuid.h>

#include <string>

#include "util/Env.h"

namespace orvane::isa {

namespace {

bool Contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

CpuFeatures ReadProcessorFeatures() {
    __builtin_cpu_init();
    CpuFeatures f;
    f.sse = __builtin_cpu_supports("sse4.2") != 0;
    f.avx = __builtin_cpu_supports("avx") != 0;
    f.avx2 = __builtin_cpu_supports("avx2") != 0;
    f.avx512f = __builtin_cpu_supports("avx512f") != 0;
    f.avx512dq = __builtin_cpu_supports("avx512dq") != 0;
    f.avx512bw = __builtin_cpu_supports("avx512bw") != 0;
    f.avx512vl = __builtin_cpu_supports("avx512vl") != 0;
    f.avx512vpopcntdq = __builtin_cpu_supports("avx512vpopcntdq") != 0;
    f.avx512vnni = __builtin_cpu_supports("avx512vnni") != 0;
    return f;
}

// Whether the operating system saves extended state (CPUID leaf 1, ECX bit 27).
bool OsSavesExtendedState() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & (1u << 27)) != 0;
}

// XCR0, read with XGETBV; only valid when OsSavesExtendedState().
uint64_t ReadXcr0() {
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}

}  // namespace

CpuFeatures ParseCpuFeatureOverride(std::string_view text) {
    CpuFeatures f;
    f.sse = Contains(text, "isa.sse");
    f.avx = Contains(text, "isa.avx");
    f.avx2 = Contains(text, "isa.avx2");
    const bool avx512 = Contains(text, "isa.avx512");
    f.avx512f = avx512;
    f.avx512dq = avx512;
    f.avx512bw = avx512;
    f.avx512vl = avx512;
    f.avx512vpopcntdq = false;
    f.avx512vnni = false;
    return f;
}

CpuFeatures DetectCpu() {
    auto text = util::GetEnvString(kOverrideCpuFeaturesEnv);
    if (text.IsOk()) return ParseCpuFeatureOverride(text.Value());
    return ReadProcessorFeatures();
}

IsaE SelectKernelIsa(const CpuFeatures& features) {
    if (!features.avx2) return IsaE::scalar;
    const bool avx512 =
        features.avx512f && features.avx512dq && features.avx512bw && features.avx512vl;
    return avx512 ? IsaE::avx512 : IsaE::avx2;
}

IsaE ClampToOsSupport(IsaE level, bool osxsave, uint64_t xcr0) {
    if (level == IsaE::avx512 && osxsave && (xcr0 & kXcr0Avx512State) == kXcr0Avx512State) {
        return IsaE::avx512;
    }
    if (level >= IsaE::avx2 && osxsave && (xcr0 & kXcr0AvxState) == kXcr0AvxState) {
        return IsaE::avx2;
    }
    return IsaE::scalar;
}

IsaE SupportedIsa() {
    static const IsaE supported = [] {
        const bool osxsave = OsSavesExtendedState();
        return ClampToOsSupport(SelectKernelIsa(ReadProcessorFeatures()), osxsave,
                                osxsave ? ReadXcr0() : 0);
    }();
    return supported;
}

IsaE ChooseKernelIsa() {
    const IsaE wanted = SelectKernelIsa(DetectCpu());
    const IsaE supported = SupportedIsa();
    return wanted < supported ? wanted : supported;
}

bool SupportsAvx512Vnni() {
    static const bool supported = ReadProcessorFeatures().avx512vnni;
    return supported;
}

}  // namespace orvane::isa
