// LogCapture: routes the process logger into memory for the lifetime of the
// object, so a test can assert on the exact lines a call logs.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "telemetry/Logger.h"

namespace orvane::testing {

class LogCapture {
  public:
    LogCapture() {
        auto& logger = telemetry::Logger::Instance();
        logger.ClearSinks();
        logger.AddSink(std::make_unique<Sink>(_state));
    }
    ~LogCapture() {
        auto& logger = telemetry::Logger::Instance();
        logger.ClearSinks();
        logger.AddSink(std::make_unique<telemetry::StdoutSink>());
    }

    std::vector<telemetry::LogRecord> Records() const {
        std::lock_guard<std::mutex> lock(_state->mu);
        return _state->records;
    }
    // Messages logged at `level`, in order.
    std::vector<std::string> Messages(telemetry::LogLevel level) const {
        std::vector<std::string> out;
        for (const auto& record : Records()) {
            if (record.level == level) out.push_back(record.message);
        }
        return out;
    }

  private:
    struct State {
        mutable std::mutex mu;
        std::vector<telemetry::LogRecord> records;
    };
    class Sink : public telemetry::LogSink {
      public:
        explicit Sink(std::shared_ptr<State> state) : _state(std::move(state)) {}
        void Write(const telemetry::LogRecord& record) override {
            std::lock_guard<std::mutex> lock(_state->mu);
            _state->records.push_back(record);
        }

      private:
        std::shared_ptr<State> _state;
    };

    std::shared_ptr<State> _state = std::make_shared<State>();
};

}  // namespace orvane::testing
