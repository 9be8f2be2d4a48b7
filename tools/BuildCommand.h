// BuildCommand: `orvane build`, building an index file from a vector file. The input
// is streamed through a FileDataset (pretraining samples, then insertion); the index
// is dumped under a temporary name next to the target and renamed into place only
// when complete, so a failed or interrupted build leaves no partial index behind.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "CommandLine.h"
#include "Progress.h"
#include "orvane/core/Result.h"

namespace orvane::tools {

struct CommandIo;

struct BuildRequest {
    std::string basePath;
    std::optional<std::string> idsPath;
    TextOptions options;  // builder and IO options, "-o key=value"
    std::optional<std::string> outputPath;
    uint64_t batchRows = 0;  // 0: about 4 MiB of vectors per batch
    // Local checkpoint directory: the build writes checkpoints there and, run
    // again with the same arguments after a crash, resumes from the newest.
    std::optional<std::string> checkpointDir;
};

struct BuildReport {
    std::string indexPath;
    std::string type;
    uint64_t count = 0;
    uint32_t dim = 0;
    double seconds = 0;  // pretrain + insert + dump
    uint64_t fileBytes = 0;
    // Lines also shown on the progress output: the checkpoint resumed from, or why
    // no checkpoints are written.
    std::vector<std::string> notes;
};

// Builds the index; `progress` may be null.
core::Result<BuildReport> BuildIndex(const BuildRequest& request, Progress* progress);

int RunBuild(std::span<const std::string> args, CommandIo& io);

}  // namespace orvane::tools
