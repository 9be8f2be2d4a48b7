// DemoCommand: `orvane demo`, the tool's showcase and smoke test. It generates a
// deterministic clustered dataset, computes the exact neighbours of its queries by a
// plain scan, builds and searches an index of every kind the options can name
// through the same code paths as `orvane build` and `orvane search`, and prints one
// row per kind: build time, index size, recall@10, queries per second and latency.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "orvane/core/Result.h"

namespace orvane::tools {

struct CommandIo;

struct DemoConfig {
    uint64_t baseRows = 20000;
    uint32_t dim = 64;
    uint64_t queryRows = 200;
    uint32_t clusters = 64;
    uint32_t topk = 10;
    uint64_t seed = 20240611;

    static DemoConfig Small();
};

struct DemoData {
    uint32_t dim = 0;
    std::vector<float> base;     // baseRows * dim
    std::vector<float> queries;  // queryRows * dim
};

// Gaussian clusters around uniformly placed centres; the same config always yields
// the same floats (the generator is the tool's own, not the standard library's).
DemoData GenerateClusteredData(const DemoConfig& config);

struct DemoRow {
    std::string kind;
    enum class State { kOk, kUnavailable, kFailed } state = State::kOk;
    std::string error;
    double buildSeconds = 0;
    uint64_t indexBytes = 0;
    double recall = 0;
    double qps = 0;
    double p50Micros = 0;
    double p99Micros = 0;
};

// The names of the files RunDemoKinds writes into its directory.
std::vector<std::string> DemoFileNames();

// Writes the dataset into `dir`, then builds and searches every kind there.
// Fails only when the dataset cannot be written; a kind that fails is a row.
core::Result<std::vector<DemoRow>> RunDemoKinds(const DemoConfig& config, const std::string& dir,
                                                std::ostream& log);
void PrintDemoTable(std::ostream& out, const std::vector<DemoRow>& rows, uint32_t topk);

int RunDemo(std::span<const std::string> args, CommandIo& io);

}  // namespace orvane::tools
