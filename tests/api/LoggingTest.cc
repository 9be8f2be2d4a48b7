// The public log controls: level, callback, standard streams, and replacing the
// destination while other threads log.
#include "orvane/api/Logging.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "telemetry/Logger.h"

namespace orvane::api {
namespace {

struct Collected {
    std::mutex mu;
    std::vector<std::pair<LogLevel, std::string>> lines;
};

void Collect(LogLevel level, const char* line, void* user) {
    auto* c = static_cast<Collected*>(user);
    std::lock_guard<std::mutex> lock(c->mu);
    c->lines.emplace_back(level, line);
}

// Restores the default destination and level after each test.
class LoggingTest : public ::testing::Test {
  protected:
    void TearDown() override {
        SetLogCallback(nullptr, nullptr);
        SetLogLevel(LogLevel::Info);
    }
};

TEST_F(LoggingTest, TheCallbackGetsTheRecordsTheLevelAdmits) {
    EXPECT_EQ(GetLogLevel(), LogLevel::Info);  // the library's default
    struct Case {
        LogLevel level;
        size_t expected;  // of one record per level, Trace to Error
    };
    const Case cases[] = {{LogLevel::Trace, 5}, {LogLevel::Info, 3}, {LogLevel::Error, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.level));
        Collected collected;
        SetLogCallback(&Collect, &collected);
        SetLogLevel(c.level);
        EXPECT_EQ(GetLogLevel(), c.level);
        ORVANE_LOG_TRACE("t");
        ORVANE_LOG_DEBUG("d");
        ORVANE_LOG_INFO("i %d", 1);
        ORVANE_LOG_WARN("w");
        ORVANE_LOG_ERROR("e");
        ASSERT_EQ(collected.lines.size(), c.expected);
        EXPECT_EQ(collected.lines.back().first, LogLevel::Error);
        // The line is the formatted record: level name and message in brackets.
        EXPECT_NE(collected.lines.back().second.find("] [ERROR] ["), std::string::npos);
        EXPECT_EQ(collected.lines.back().second.substr(collected.lines.back().second.size() - 3),
                  "[e]");
    }
}

TEST_F(LoggingTest, ANullCallbackOrAStreamEndsTheCallback) {
    Collected collected;
    SetLogCallback(&Collect, &collected);
    ORVANE_LOG_WARN("one");
    LogToStandardError();
    ORVANE_LOG_WARN("two");
    SetLogCallback(&Collect, &collected);
    SetLogCallback(nullptr, nullptr);
    ORVANE_LOG_WARN("three");
    ASSERT_EQ(collected.lines.size(), 1u);
    EXPECT_NE(collected.lines[0].second.find("[one]"), std::string::npos);
}

TEST_F(LoggingTest, StressReplacingTheDestinationWhileThreadsLog) {
    Collected first;
    Collected second;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> logged{0};
    std::vector<std::thread> loggers;
    SetLogCallback(&Collect, &first);
    for (int t = 0; t < 4; ++t) {
        loggers.emplace_back([&stop, &logged] {
            while (!stop.load()) {
                ORVANE_LOG_WARN("busy");
                logged.fetch_add(1);
            }
        });
    }
    // Swap while the threads really log: under a sanitizer they may start
    // only after a fixed number of swaps is over.
    for (int i = 0; i < 200 || logged.load() < 800; ++i) {
        SetLogCallback(&Collect, i % 2 == 0 ? &second : &first);
    }
    stop = true;
    for (auto& t : loggers) t.join();
    SetLogCallback(nullptr, nullptr);
    std::lock_guard<std::mutex> a(first.mu);
    std::lock_guard<std::mutex> b(second.mu);
    EXPECT_GT(first.lines.size() + second.lines.size(), 0u);
}

}  // namespace
}  // namespace orvane::api
