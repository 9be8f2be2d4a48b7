// Progress: reports how far a long phase (reading, inserting, dumping) has come. On a
// terminal it redraws one bar in place with the rate and the estimated time left; on
// anything else (a log file, CI) it prints a plain line every few seconds, so logs
// stay readable. Time is passed in by the caller's clock, which keeps it testable.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace orvane::tools {

class Progress {
  public:
    using Clock = std::chrono::steady_clock;

    // interactive: redraw in place (a terminal); otherwise plain periodic lines.
    Progress(std::ostream& out, bool interactive);

    // Starts a phase of `total` units (0 when unknown). A phase given no total
    // and no update (training, writing) shows only that it runs and, at its
    // end, how long it took.
    void Begin(const std::string& phase, uint64_t total, Clock::time_point now = Clock::now());
    void Update(uint64_t done, Clock::time_point now = Clock::now());
    // Ends the phase with a final line.
    void End(Clock::time_point now = Clock::now());

    // One line of its own between phases, e.g. what a build resumes from.
    void Note(const std::string& text);

    // "12.3k/s"-style rate and "1m05s"-style duration, as shown in the lines.
    static std::string FormatRate(double perSecond);
    static std::string FormatDuration(double seconds);

  private:
    void Draw(Clock::time_point now, bool final);
    // The counts, rate and time part of a phase measured in rows.
    void DrawCounts(std::ostream& line, double elapsed, bool final) const;

    std::ostream& _out;
    bool _interactive;
    bool _active = false;
    std::string _phase;
    uint64_t _total = 0;
    uint64_t _done = 0;
    Clock::time_point _start;
    Clock::time_point _lastDraw;
};

}  // namespace orvane::tools
