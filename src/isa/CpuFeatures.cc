#include "isa/CpuFeatures.h"

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
    return f;
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
    return f;
}

CpuFeatures DetectCpu() {
    auto text = util::GetEnvString(kOverrideCpuFeaturesEnv);
    if (text.IsOk()) return ParseCpuFeatureOverride(text.Value());
    return ReadProcessorFeatures();
}

IsaE SelectKernelIsa(const CpuFeatures& features) {
    // There are no AVX-512 kernels; every AVX-512 processor runs AVX2 code, so
    // AVX-512 support must not demote the choice to the scalar kernels.
    return features.avx2 ? IsaE::avx2 : IsaE::scalar;
}

}  // namespace orvane::isa
