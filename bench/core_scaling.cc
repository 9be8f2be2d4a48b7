// The machine's own ceiling for spreading work over its hardware threads: how
// much more an arithmetic-bound and a memory-bound loop do on every thread
// than on one. A virtual machine's cores may share a physical core, its
// caches or its clock with each other and with other tenants, so "all cores
// against one" cannot reach the thread count there; batch search scaling
// (bench/batch_threads.py) is read against these two figures.
//
// - compute: ten independent chains of 8-lane fused multiply-adds per thread,
//   which keep the floating-point units busy and touch no memory;
// - memory: each thread sums a buffer of its own far larger than the caches.
//
// Each probe runs on one thread, then on every hardware thread at once (each
// pinned to its own processor where the affinity allows), best of `runs`.
// The last line is machine-readable:
//   ceiling threads=<n> compute=<ratio> memory=<ratio>
//
// Usage: bench_core_scaling [runs] [buffer_mib_per_thread]   (defaults 3, 512)
#include <immintrin.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kFmaRounds = 100'000'000;
constexpr int kChains = 10;

// Fused multiply-adds per second of one thread's loop.
__attribute__((target("avx2,fma"))) double ComputeRate() {
    __m256 acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = _mm256_set1_ps(1.0f + static_cast<float>(i) * 1e-3f);
    const __m256 mul = _mm256_set1_ps(0.9999f);
    const __m256 add = _mm256_set1_ps(1e-4f);
    const auto start = Clock::now();
    for (long r = 0; r < kFmaRounds; ++r) {
        for (int i = 0; i < kChains; ++i) acc[i] = _mm256_fmadd_ps(acc[i], mul, add);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    float sink = 0.0f;
    for (int i = 0; i < kChains; ++i) sink += _mm256_cvtss_f32(acc[i]);
    if (sink == 0.125f) std::puts("");  // keeps the chains alive
    return static_cast<double>(kFmaRounds) * kChains * 8 / seconds;
}

// Bytes per second one thread reads from its buffer (two passes, the first
// untimed so that every page is mapped).
__attribute__((target("avx2"))) double MemoryRate(std::vector<float>& buffer) {
    auto pass = [&] {
        __m256 s0 = _mm256_setzero_ps();
        __m256 s1 = _mm256_setzero_ps();
        const float* p = buffer.data();
        const size_t n = buffer.size() - buffer.size() % 16;
        for (size_t i = 0; i < n; i += 16) {
            s0 = _mm256_add_ps(s0, _mm256_loadu_ps(p + i));
            s1 = _mm256_add_ps(s1, _mm256_loadu_ps(p + i + 8));
        }
        return _mm256_cvtss_f32(_mm256_add_ps(s0, s1));
    };
    volatile float sink = pass();
    const auto start = Clock::now();
    sink = sink + pass();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(buffer.size() * sizeof(float)) / seconds;
}

void PinTo(unsigned cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)pthread_setaffinity_np(pthread_self(), sizeof(set), &set);  // best effort
}

// Sum over `threads` threads of the per-thread rate of probe(thread).
template <typename Probe>
double RunOn(unsigned threads, Probe probe) {
    std::vector<double> rates(threads);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            PinTo(t);
            rates[t] = probe(t);
        });
    }
    for (auto& w : workers) w.join();
    double sum = 0;
    for (double r : rates) sum += r;
    return sum;
}

template <typename Probe>
double Best(int runs, unsigned threads, Probe probe) {
    double best = 0;
    for (int r = 0; r < runs; ++r) best = std::max(best, RunOn(threads, probe));
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const long mib = argc > 2 ? std::max(16L, std::atol(argv[2])) : 512;
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::vector<float>> buffers(threads);
    for (auto& b : buffers) b.assign(static_cast<size_t>(mib) * 1024 * 1024 / sizeof(float), 1.0f);

    const auto compute = [](unsigned) { return ComputeRate(); };
    const auto memory = [&](unsigned t) { return MemoryRate(buffers[t]); };
    const double compute1 = Best(runs, 1, compute);
    const double computeAll = Best(runs, threads, compute);
    const double memory1 = Best(runs, 1, memory);
    const double memoryAll = Best(runs, threads, memory);

    std::printf("compute: 1 thread %.1f G fma lanes/s, %u threads %.1f (%.2fx)\n", compute1 / 1e9,
                threads, computeAll / 1e9, computeAll / compute1);
    std::printf("memory:  1 thread %.1f GB/s, %u threads %.1f (%.2fx)\n", memory1 / 1e9, threads,
                memoryAll / 1e9, memoryAll / memory1);
    std::printf("ceiling threads=%u compute=%.2f memory=%.2f\n", threads, computeAll / compute1,
                memoryAll / memory1);
    return 0;
}
