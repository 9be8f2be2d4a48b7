// Throughput of the distance kernels on every level this machine runs
// (scalar, AVX2, AVX-512), and batch scoring of one query against stored rows
// through the rawf32 and sq8 encode spaces (kernel level chosen for the
// process).
//
// The per-level kernels are named Kernel/<family>/<level>/<dim> and score one
// query against 256 rows that stay in cache, so the kernel and not memory
// bandwidth is measured. After the runs a table gives each family and
// dimension's CPU time per row on each level, the ratios between levels
// (speed-ups: the scalar time over the level's), the level the process
// dispatches to by default, and whether that level is the fastest measured.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory_resource>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "RandomData.h"
#include "distance/Fp32Simd.h"
#include "distance/MetricDispatchers.h"
#include "encoding/rawf32/RawF32EncodeSpace.h"
#include "encoding/sq8/SQ8EncodeSpace.h"
#include "encoding/sq8/SQ8ExpandedEval.h"
#include "isa/CpuFeatures.h"
#include "isa/DynamicIsa.h"

namespace {

using namespace orvane;
using dist::dimension_t;
using dist::MetricE;

using bench::RandomFloats;

// Rows per kernel benchmark: small enough to stay in cache.
constexpr uint64_t kKernelRows = 256;

const char* LevelName(isa::IsaE level) {
    switch (level) {
        case isa::IsaE::avx2:
            return isa::Avx2T::Name;
        case isa::IsaE::avx512:
            return isa::Avx512T::Name;
        default:
            return isa::ScalarT::Name;
    }
}

// The inputs of one kernel family at one dimension: a query, kKernelRows rows
// of floats and of codes, row ids in order, and the query's sq8 digit planes.
struct KernelInputs {
    explicit KernelInputs(dimension_t d)
        : dim(d),
          query(RandomFloats(d, 1)),
          rows(RandomFloats(uint64_t{d} * kKernelRows, 2)),
          codes(uint64_t{d} * kKernelRows),
          ids(kKernelRows),
          out(std::max<uint64_t>(kKernelRows, d)) {
        std::mt19937 gen(3);
        for (uint8_t& c : codes) c = static_cast<uint8_t>(gen());
        std::iota(ids.begin(), ids.end(), 0);
        digits = dist::encode_space::SplitSQ8QueryDigits(query, *std::pmr::get_default_resource());
    }
    dist::encode_space::SQ8QueryView SQ8View() const {
        dist::encode_space::SQ8QueryView view;
        view.qCentered = query.data();
        view.dim = dim;
        view.digits = digits.View();
        return view;
    }
    dimension_t dim;
    std::vector<float> query;
    std::vector<float> rows;
    std::vector<uint8_t> codes;
    std::vector<uint64_t> ids;
    std::vector<float> out;
    dist::encode_space::SQ8DigitPlanes digits;
};

// One call of a family's kernel at a level over all kKernelRows rows.
template <MetricE M, typename Level>
void RunMetric(Level level, KernelInputs& in) {
    dist::MetricBatchDispatcher<M>::TagInvoke(level, in.query.data(), in.rows.data(), in.dim,
                                              kKernelRows, in.out.data());
}

template <typename Level>
void RunSQ8Dot(Level level, KernelInputs& in) {
    dist::encode_space::SQ8CodeDotDispatcher::TagInvoke(level, in.SQ8View(), in.codes.data(),
                                                        in.ids.data(), kKernelRows, in.out.data());
}

// The PQ table's element-wise step: one centroid row subtracted per row.
template <typename Level>
void RunFp32Sub(Level level, KernelInputs& in) {
    for (uint64_t r = 0; r < kKernelRows; ++r) {
        dist::Fp32VectorSubDispatcher::TagInvoke(
            level, std::span<const float>(in.query),
            std::span<const float>(in.rows.data() + r * in.dim, in.dim),
            std::span<float>(in.out.data(), in.dim));
    }
}

// A kernel family: its name, its run function per level and the level the
// process dispatches it to.
struct Family {
    const char* name;
    void (*run[3])(KernelInputs&);  // scalar, avx2, avx512
    isa::IsaE (*dispatched)();
};

template <template <typename> typename Runner>
constexpr auto kRunners = std::to_array<void (*)(KernelInputs&)>({
    [](KernelInputs& in) { Runner<isa::ScalarT>::Run(in); },
    [](KernelInputs& in) { Runner<isa::Avx2T>::Run(in); },
    [](KernelInputs& in) { Runner<isa::Avx512T>::Run(in); },
});

template <MetricE M>
struct MetricRunner {
    template <typename Level>
    struct At {
        static void Run(KernelInputs& in) { RunMetric<M>(Level{}, in); }
    };
};
template <typename Level>
struct SQ8Runner {
    static void Run(KernelInputs& in) { RunSQ8Dot(Level{}, in); }
};
template <typename Level>
struct SubRunner {
    static void Run(KernelInputs& in) { RunFp32Sub(Level{}, in); }
};

template <MetricE M>
isa::IsaE MetricLevel() {
    return isa::ResolvedIsa<dist::MetricBatchDispatcher<M>, const float*, const uint8_t*&&,
                            uint64_t&&, dimension_t&, uint64_t&, float*&>();
}

std::vector<Family> Families() {
    using SQ8 = dist::encode_space::SQ8CodeDotDispatcher;
    auto family = [](const char* name, const auto& runners, isa::IsaE (*level)()) {
        Family f{name, {runners[0], runners[1], runners[2]}, level};
        return f;
    };
    return {
        family("l2", kRunners<MetricRunner<MetricE::l2>::At>, &MetricLevel<MetricE::l2>),
        family("ip", kRunners<MetricRunner<MetricE::ip>::At>, &MetricLevel<MetricE::ip>),
        family("cosine", kRunners<MetricRunner<MetricE::cosine>::At>,
               &MetricLevel<MetricE::cosine>),
        family("sq8_dot", kRunners<SQ8Runner>,
               [] {
                   return isa::ResolvedIsa<SQ8, const dist::encode_space::SQ8QueryView&,
                                           const uint8_t*, const uint64_t*, uint64_t&, float*>();
               }),
        family("fp32_sub", kRunners<SubRunner>,
               [] {
                   return isa::ResolvedIsa<dist::Fp32VectorSubDispatcher, std::span<const float>,
                                           std::span<const float>&, std::span<float>>();
               }),
    };
}

const std::vector<dimension_t> kKernelDims = {7, 16, 17, 64, 65, 128, 256, 784, 1024};

void BM_Kernel(benchmark::State& state, void (*run)(KernelInputs&), dimension_t dim) {
    KernelInputs in(dim);
    for (auto _ : state) {
        run(in);
        benchmark::DoNotOptimize(in.out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKernelRows));
}

// Records the CPU time per row of each Kernel/... run for the level table.
class LevelTableReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            const double perRow = run.GetAdjustedCPUTime() / kKernelRows;
            auto [it, fresh] = _perRow.emplace(run.benchmark_name(), perRow);
            if (!fresh) it->second = std::min(it->second, perRow);  // best of repetitions
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintTable(const std::vector<Family>& families) const {
        std::printf("\n%-9s %5s %11s %11s %11s %9s %9s %9s  %-7s %s\n", "kernel", "dim",
                    "scalar ns", "avx2 ns", "avx512 ns", "avx2/sc", "avx512/sc", "512/avx2",
                    "default", "fastest");
        for (const Family& f : families) {
            for (dimension_t dim : kKernelDims) {
                double t[3] = {0, 0, 0};
                bool any = false;
                for (int l = 0; l < 3; ++l) {
                    auto it = _perRow.find(Name(f.name, kLevels[l], dim));
                    if (it != _perRow.end()) t[l] = it->second, any = true;
                }
                if (!any) continue;
                int fastest = -1;
                for (int l = 0; l < 3; ++l) {
                    if (t[l] > 0 && (fastest < 0 || t[l] < t[fastest])) fastest = l;
                }
                const isa::IsaE chosen = f.dispatched();
                const auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; };
                std::printf("%-9s %5u %11.2f %11.2f %11.2f %9.2f %9.2f %9.2f  %-7s %s\n", f.name,
                            dim, t[0], t[1], t[2], ratio(t[0], t[1]), ratio(t[0], t[2]),
                            ratio(t[1], t[2]), LevelName(chosen), LevelName(kLevels[fastest]));
            }
        }
    }

    static std::string Name(const char* family, isa::IsaE level, dimension_t dim) {
        return std::string("Kernel/") + family + "/" + LevelName(level) + "/" + std::to_string(dim);
    }

    static constexpr isa::IsaE kLevels[3] = {isa::IsaE::scalar, isa::IsaE::avx2, isa::IsaE::avx512};

  private:
    std::map<std::string, double> _perRow;
};

void RegisterKernelBenchmarks(const std::vector<Family>& families) {
    const isa::IsaE supported = isa::SupportedIsa();
    for (const Family& f : families) {
        for (int l = 0; l < 3; ++l) {
            const isa::IsaE level = LevelTableReporter::kLevels[l];
            if (level > supported) continue;  // the machine lacks it
            for (dimension_t dim : kKernelDims) {
                benchmark::RegisterBenchmark(LevelTableReporter::Name(f.name, level, dim).c_str(),
                                             BM_Kernel, f.run[l], dim);
            }
        }
    }
}

// Rows per encode-space scan: a realistic bruteforce block larger than L2.
constexpr uint64_t kScanRows = 20000;

template <MetricE M>
void BM_RawF32BatchEval(benchmark::State& state) {
    using namespace dist::encode_space;
    const auto dim = static_cast<dimension_t>(state.range(0));
    const auto query = RandomFloats(dim, 3);
    const auto base = RandomFloats(uint64_t{dim} * kScanRows, 4);
    std::vector<float> out(kScanRows);
    const auto prepared =
        TagInvoke(dist::PrepareTag{}, dist::MetricT<M>{}, RawF32T{}, std::span<const float>(query));
    const EncodedBatch batch = RawF32Batch(base.data(), dim, kScanRows);
    for (auto _ : state) {
        TagInvoke(dist::BatchEvalEncodedTag{}, dist::MetricT<M>{}, RawF32T{}, prepared, batch,
                  out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kScanRows));
}

struct SQ8Fixture {
    dist::encode_space::SQ8Model model;
    std::vector<uint8_t> codes;
    std::vector<uint8_t> aux;

    explicit SQ8Fixture(dimension_t dim) {
        using namespace dist::encode_space;
        const auto data = RandomFloats(uint64_t{dim} * kScanRows, 5);
        model.centroid.assign(dim, 0.0f);
        for (uint64_t r = 0; r < kScanRows; ++r) {
            for (dimension_t i = 0; i < dim; ++i) {
                model.centroid[i] += data[r * dim + i] / kScanRows;
            }
        }
        codes.resize(uint64_t{dim} * kScanRows);
        aux.resize(sizeof(SQ8VectorHeader) * kScanRows);
        for (uint64_t r = 0; r < kScanRows; ++r) {
            EncodedRowBuilder out{std::span<uint8_t>(codes.data() + r * dim, dim),
                                  std::span<uint8_t>(aux.data() + r * sizeof(SQ8VectorHeader),
                                                     sizeof(SQ8VectorHeader))};
            TagInvoke(EncodeTag{}, model, std::span<const float>(data.data() + r * dim, dim), out);
        }
    }

    // The per-row code sums the evaluator keeps for its scans.
    std::vector<dist::encode_space::SQ8CodeStats> Stats(dimension_t dim) const {
        std::vector<dist::encode_space::SQ8CodeStats> stats(kScanRows);
        for (uint64_t r = 0; r < kScanRows; ++r) {
            stats[r] = dist::encode_space::ComputeSQ8CodeStats(codes.data() + r * dim, dim);
        }
        return stats;
    }
};

// The sq8 scan as the evaluator runs it: the dot kernel over a list of row
// ids, then each score finished from the row's header and code sums.
template <MetricE M>
void BM_SQ8BatchEval(benchmark::State& state) {
    using namespace dist::encode_space;
    const auto dim = static_cast<dimension_t>(state.range(0));
    const SQ8Fixture fx(dim);
    const auto stats = fx.Stats(dim);
    const auto query = RandomFloats(dim, 6);
    float cNormSq = 0;
    for (float c : fx.model.centroid) cNormSq += c * c;
    const PreparedSQ8 prepared = TagInvoke(
        dist::PrepareTag{}, dist::MetricT<M>{}, SQ8T{}, std::span<const float>(query),
        std::span<const float>(fx.model.centroid), cNormSq, *std::pmr::get_default_resource());
    const SQ8QueryView view = prepared.View();
    const SQ8QuerySums sums = ComputeSQ8QuerySums(view);
    std::vector<uint64_t> ids(kScanRows);
    std::iota(ids.begin(), ids.end(), 0);
    std::vector<float> out(kScanRows);
    for (auto _ : state) {
        isa::InvokeWithDynamicIsa(SQ8CodeDotDispatcher{}, view, fx.codes.data(), ids.data(),
                                  kScanRows, out.data());
        for (uint64_t r = 0; r < kScanRows; ++r) {
            SQ8VectorHeader h;
            std::memcpy(&h, fx.aux.data() + r * sizeof(h), sizeof(h));
            out[r] = FinishSQ8Expanded<M>(view, sums, h, stats[r], out[r]);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kScanRows));
}

BENCHMARK_TEMPLATE(BM_RawF32BatchEval, MetricE::l2)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_SQ8BatchEval, MetricE::l2)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_RawF32BatchEval, MetricE::ip)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_SQ8BatchEval, MetricE::ip)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_RawF32BatchEval, MetricE::cosine)->Arg(128)->Arg(768);
BENCHMARK_TEMPLATE(BM_SQ8BatchEval, MetricE::cosine)->Arg(128)->Arg(768);

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Family> families = Families();
    RegisterKernelBenchmarks(families);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    LevelTableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable(families);
    benchmark::Shutdown();
    return 0;
}
