// Test helper: swaps the logger's sinks for one that records every message,
// and restores the standard output sink afterwards.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "telemetry/Logger.h"

namespace orvane::testing_util {

class LogCapture {
  public:
    LogCapture() {
        auto& logger = telemetry::Logger::Instance();
        logger.ClearSinks();
        logger.AddSink(std::make_unique<Sink>(this));
    }
    ~LogCapture() {
        auto& logger = telemetry::Logger::Instance();
        logger.ClearSinks();
        logger.AddSink(std::make_unique<telemetry::StdoutSink>());
    }

    struct Entry {
        telemetry::LogLevel level;
        std::string message;
    };

    std::vector<Entry> Entries() {
        std::lock_guard<std::mutex> lock(_mu);
        return _entries;
    }
    size_t Count(telemetry::LogLevel level, const std::string& message) {
        std::lock_guard<std::mutex> lock(_mu);
        return std::count_if(_entries.begin(), _entries.end(), [&](const Entry& e) {
            return e.level == level && e.message == message;
        });
    }

  private:
    class Sink : public telemetry::LogSink {
      public:
        explicit Sink(LogCapture* owner) : _owner(owner) {}
        void Write(const telemetry::LogRecord& record) override {
            std::lock_guard<std::mutex> lock(_owner->_mu);
            _owner->_entries.push_back(Entry{record.level, record.message});
        }

      private:
        LogCapture* _owner;
    };

    std::mutex _mu;
    std::vector<Entry> _entries;
};

}  // namespace orvane::testing_util
