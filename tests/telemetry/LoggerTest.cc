#include <gtest/gtest.h>

#include <regex.h>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "telemetry/Logger.h"
#include "testing/LogCapture.h"

namespace orvane::telemetry {
namespace {

using orvane::testing::LogCapture;

// A second sink that notes, on each record, how many records the capture
// installed before it already holds: proves the sinks run in order.
class OrderProbeSink : public LogSink {
  public:
    explicit OrderProbeSink(const LogCapture* first, std::vector<size_t>* seen)
        : _first(first), _seen(seen) {}
    void Write(const LogRecord& record) override {
        _seen->push_back(_first->Count(record.level, record.message));
    }

  private:
    const LogCapture* _first;
    std::vector<size_t>* _seen;
};

// A static object that logs as it is destroyed at exit, as a searcher held in
// a static does when it closes, must find the logger still there.
void LogAtExit() {
    ORVANE_LOG_INFO("closing at exit");
}

TEST(LoggerExitTest, LoggingDuringExitIsSafe) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Registered before the logger is first used, so it runs after the
            // logger's own exit-time teardown would have.
            std::atexit(LogAtExit);
            ORVANE_LOG_INFO("first use");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Restores the logger's default configuration after each test.
class LoggerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        auto& logger = Logger::Instance();
        logger.ClearSinks();
        logger.AddSink(std::make_unique<StdoutSink>());
        logger.SetLevel(LogLevel::Info);
    }
};

int g_formatted = 0;
int CountFormat() {
    return ++g_formatted;
}

TEST_F(LoggerTest, LineFormatCarriesLevelThreadPathAndLine) {
    ::testing::internal::CaptureStdout();
    const int line = __LINE__ + 1;
    ORVANE_LOG_WARN("value [%d] name [%s]", 42, "abc");
    const std::string out = ::testing::internal::GetCapturedStdout();
    // POSIX extended regex: the C library's matcher keeps this test free of
    // <regex> template code.
    regex_t pattern;
    ASSERT_EQ(regcomp(&pattern,
                      "^\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}\\] "
                      "\\[WARN\\] \\[[0-9]+,([^:]*):([0-9]+)\\] "
                      "\\[value \\[42\\] name \\[abc\\]\\]\n$",
                      REG_EXTENDED),
              0);
    regmatch_t match[3];
    const int matched = regexec(&pattern, out.c_str(), 3, match, 0);
    regfree(&pattern);
    ASSERT_EQ(matched, 0) << out;
    auto group = [&](int i) { return out.substr(match[i].rm_so, match[i].rm_eo - match[i].rm_so); };
    EXPECT_EQ(group(1), "tests/telemetry/LoggerTest.cc");
    EXPECT_EQ(std::stoi(group(2)), line);
}

TEST_F(LoggerTest, LevelFilterSkipsFormatting) {
    LogCapture capture;
    auto& logger = Logger::Instance();
    g_formatted = 0;
    ORVANE_LOG_DEBUG("n=%d", CountFormat());
    EXPECT_EQ(g_formatted, 0);
    EXPECT_TRUE(capture.Records().empty());
    ORVANE_LOG_INFO("n=%d", CountFormat());
    EXPECT_EQ(g_formatted, 1);
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "n=1");
    EXPECT_EQ(records[0].module, "LoggerTest.cc");
    EXPECT_EQ(records[0].level, LogLevel::Info);

    logger.SetLevel(LogLevel::Error);
    EXPECT_FALSE(logger.ShouldLog(LogLevel::Warn));
    EXPECT_TRUE(logger.ShouldLog(LogLevel::Error));
    logger.SetLevel(LogLevel::Trace);
    ORVANE_LOG_TRACE("trace");
    EXPECT_EQ(capture.Messages(LogLevel::Trace), std::vector<std::string>{"trace"});
}

TEST_F(LoggerTest, SinksRunInOrderAndFallbackAfterClear) {
    LogCapture first;
    std::vector<size_t> seenBySecond;
    auto& logger = Logger::Instance();
    logger.AddSink(nullptr);
    logger.AddSink(std::make_unique<OrderProbeSink>(&first, &seenBySecond));
    ORVANE_LOG_ERROR("both");
    EXPECT_EQ(first.Count(LogLevel::Error, "both"), 1u);
    EXPECT_EQ(seenBySecond, std::vector<size_t>{1u});

    logger.ClearSinks();
    ::testing::internal::CaptureStdout();
    ORVANE_LOG_INFO("still visible");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[INFO]"), std::string::npos);
    EXPECT_NE(out.find("[still visible]"), std::string::npos);
}

TEST_F(LoggerTest, HelpersFormatAndSplitPaths) {
    EXPECT_EQ(detail::FormatString("%s-%05.1f", "x", 2.25), "x-002.2");
    EXPECT_EQ(detail::Basename("a/b/c.cc"), "c.cc");
    EXPECT_EQ(detail::Basename("a\\b\\c.cc"), "c.cc");
    EXPECT_EQ(detail::Basename("c.cc"), "c.cc");
    EXPECT_EQ(detail::Basename("dir/"), "");
    EXPECT_STREQ(LevelName(static_cast<LogLevel>(9)), "UNKNOWN");
    const std::string longText(5000, 'z');
    EXPECT_EQ(detail::FormatString("%s", longText.c_str()), longText);
}

TEST_F(LoggerTest, ConcurrentSubmitDeliversEveryRecord) {
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) ORVANE_LOG_INFO("t%d i%d", t, i);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(capture.Records().size(), 2000u);
    // Each thread's last record arrived exactly once.
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(capture.Count(LogLevel::Info, detail::FormatString("t%d i499", t)), 1u) << t;
    }
}

}  // namespace
}  // namespace orvane::telemetry
