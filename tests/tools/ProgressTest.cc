#include "../../tools/Progress.h"

#include <gtest/gtest.h>

#include <sstream>

#include "../../tools/TextTable.h"

namespace orvane::tools {
namespace {

using Clock = Progress::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(ProgressTest, PlainOutputPrintsAPeriodicLineWithRateAndEta) {
    std::ostringstream out;
    Progress p(out, false);
    const Clock::time_point t0{};
    p.Begin("insert", 1000, t0);
    p.Update(100, t0 + seconds(1));  // too soon for a line
    p.Update(500, t0 + seconds(5));
    p.Update(600, t0 + seconds(6));  // too soon again
    p.End(t0 + seconds(10));
    p.Update(700, t0 + seconds(20));  // after End: ignored
    EXPECT_EQ(out.str(),
              "insert: started, 1000 rows\n"
              "insert:  50.0% 500/1000 100/s ETA 5.0s\n"
              "insert:  60.0% 600/1000 60/s in 10.0s\n");
}

TEST(ProgressTest, TerminalOutputRedrawsOneLineInPlace) {
    std::ostringstream out;
    Progress p(out, true);
    const Clock::time_point t0{};
    p.Begin("pretrain", 4, t0);
    p.Update(1, t0 + milliseconds(50));  // within the redraw interval
    p.Update(2, t0 + seconds(2));
    p.Update(4, t0 + seconds(3));
    p.End(t0 + seconds(4));
    const std::string s = out.str();
    EXPECT_EQ(s.find('\n'), s.size() - 1) << s;  // one line, ended only at the end
    EXPECT_NE(s.find("\rpretrain: [###############...............]  50.0% 2/4 1/s ETA 2.0s"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("\rpretrain: [##############################] 100.0% 4/4"), std::string::npos)
        << s;
    EXPECT_EQ(s.find("1/4"), std::string::npos) << s;
}

TEST(ProgressTest, PhaseWithoutUnitsShowsThatItRunsAndHowLongItTook) {
    const struct {
        bool interactive;
        const char* expected;
    } cases[] = {
        {false, "write: started\nwrite: done in 3.0s\n"},
        {true, "\rwrite: running\x1b[K\rwrite: done in 3.0s\x1b[K\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interactive);
        std::ostringstream out;
        Progress p(out, c.interactive);
        const Clock::time_point t0{};
        p.Begin("write", 0, t0);
        p.End(t0 + seconds(3));
        EXPECT_EQ(out.str(), c.expected);
    }
}

TEST(ProgressTest, NextPhaseEndsTheRunningOneWithItsFinalLine) {
    std::ostringstream out;
    Progress p(out, false);
    const Clock::time_point t0{};
    p.Begin("insert", 10, t0);
    p.Update(10, t0 + seconds(1));  // within the line interval: not drawn
    p.Begin("finish insert", 0, t0 + seconds(2));
    p.End(t0 + seconds(7));
    EXPECT_EQ(out.str(),
              "insert: started, 10 rows\n"
              "insert: 100.0% 10/10 5/s in 2.0s\n"
              "finish insert: started\n"
              "finish insert: done in 5.0s\n");
}

TEST(ProgressTest, FormatsRatesAndDurations) {
    EXPECT_EQ(Progress::FormatRate(12.4), "12/s");
    EXPECT_EQ(Progress::FormatRate(12345), "12.3k/s");
    EXPECT_EQ(Progress::FormatRate(2.5e6), "2.5M/s");
    EXPECT_EQ(Progress::FormatDuration(3.25), "3.2s");
    EXPECT_EQ(Progress::FormatDuration(65), "1m05s");
    EXPECT_EQ(Progress::FormatDuration(3 * 3600 + 7 * 60), "3h07m");
}

TEST(TextTableTest, AlignsColumnsAndPadsShortRows) {
    TextTable t({{"name"}, {"size", true}, {"note"}});
    t.AddRow({"a", "1", "x"});
    t.AddRow({"longer", "12345"});
    std::ostringstream out;
    t.Print(out, "> ");
    EXPECT_EQ(out.str(),
              "> name     size  note\n"
              "> a           1  x\n"
              "> longer  12345\n");
    EXPECT_EQ(TextTable::HumanBytes(512), "512 B");
    EXPECT_EQ(TextTable::HumanBytes(1536), "1.5 KiB");
    EXPECT_EQ(TextTable::HumanBytes(5ull << 30), "5.0 GiB");
}

}  // namespace
}  // namespace orvane::tools
