#include "orvane/api/Logging.h"

#include <memory>
#include <string>

#include "telemetry/Logger.h"

namespace orvane::api {
namespace {

class CallbackSink : public telemetry::LogSink {
  public:
    CallbackSink(LogCallback callback, void* user) : _callback(callback), _user(user) {}
    void Write(const telemetry::LogRecord& record) override {
        const std::string line = telemetry::StdoutSink::FormatLine(record);
        _callback(record.level, line.c_str(), _user);
    }

  private:
    LogCallback _callback;
    void* _user;
};

void ReplaceSinks(std::unique_ptr<telemetry::LogSink> sink) {
    telemetry::Logger::Instance().ReplaceSinks(std::move(sink));
}

}  // namespace

void SetLogLevel(LogLevel level) {
    telemetry::Logger::Instance().SetLevel(level);
}

LogLevel GetLogLevel() {
    return telemetry::Logger::Instance().Level();
}

void SetLogCallback(LogCallback callback, void* user) {
    if (callback == nullptr) {
        LogToStandardOutput();
        return;
    }
    ReplaceSinks(std::make_unique<CallbackSink>(callback, user));
}

void LogToStandardError() {
    ReplaceSinks(std::make_unique<telemetry::StderrSink>());
}

void LogToStandardOutput() {
    ReplaceSinks(std::make_unique<telemetry::StdoutSink>());
}

}  // namespace orvane::api
