// LogCapture: routes the process logger into memory while alive, so a test can
// assert on the records a call logs. On destruction the logger gets back its
// single standard output sink and the level it had when the capture began.
// Records may arrive from any thread; every accessor takes a consistent copy.
//
// `LogCapture::Keep::kNothing` discards records instead, for loops that log
// thousands of expected failures and would only clutter the test output.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "telemetry/Logger.h"

namespace orvane::testing {

class LogCapture {
  public:
    enum class Keep { kRecords, kNothing };

    explicit LogCapture(Keep keep = Keep::kRecords)
        : _keep(keep), _level(telemetry::Logger::Instance().Level()) {
        auto& logger = telemetry::Logger::Instance();
        logger.ClearSinks();
        logger.AddSink(std::make_unique<Sink>(this));
    }
    ~LogCapture() {
        auto& logger = telemetry::Logger::Instance();
        logger.ClearSinks();
        logger.AddSink(std::make_unique<telemetry::StdoutSink>());
        logger.SetLevel(_level);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every record so far, in arrival order.
    std::vector<telemetry::LogRecord> Records() const {
        std::lock_guard<std::mutex> lock(_mu);
        return _records;
    }
    // Messages logged at `level`, in arrival order.
    std::vector<std::string> Messages(telemetry::LogLevel level) const {
        std::lock_guard<std::mutex> lock(_mu);
        std::vector<std::string> out;
        for (const auto& record : _records) {
            if (record.level == level) out.push_back(record.message);
        }
        return out;
    }
    // How many records carry exactly this level and message.
    size_t Count(telemetry::LogLevel level, const std::string& message) const {
        std::lock_guard<std::mutex> lock(_mu);
        return static_cast<size_t>(
            std::count_if(_records.begin(), _records.end(), [&](const telemetry::LogRecord& r) {
                return r.level == level && r.message == message;
            }));
    }
    bool Contains(telemetry::LogLevel level, const std::string& message) const {
        return Count(level, message) > 0;
    }

  private:
    // Owned by the logger; destroyed by ClearSinks in ~LogCapture, before the
    // capture's own members go.
    class Sink : public telemetry::LogSink {
      public:
        explicit Sink(LogCapture* owner) : _owner(owner) {}
        void Write(const telemetry::LogRecord& record) override { _owner->Add(record); }

      private:
        LogCapture* _owner;
    };

    void Add(const telemetry::LogRecord& record) {
        if (_keep == Keep::kNothing) return;
        std::lock_guard<std::mutex> lock(_mu);
        _records.push_back(record);
    }

    const Keep _keep;
    const telemetry::LogLevel _level;
    mutable std::mutex _mu;
    std::vector<telemetry::LogRecord> _records;
};

}  // namespace orvane::testing
