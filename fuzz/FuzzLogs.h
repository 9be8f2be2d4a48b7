// Silences the process logger for a fuzz target: rejected inputs log at
// Error, which would bury the fuzzer's own output. Call once per process.
#pragma once

#include <memory>

#include "telemetry/Logger.h"

namespace orvane::fuzz {

struct NullSink : telemetry::LogSink {
    void Write(const telemetry::LogRecord&) override {}
};

inline bool SilenceLogs() {
    auto& logger = telemetry::Logger::Instance();
    logger.ClearSinks();
    logger.AddSink(std::make_unique<NullSink>());
    return true;
}

}  // namespace orvane::fuzz
