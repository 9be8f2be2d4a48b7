#include "Progress.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace orvane::tools {

namespace {
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr auto kLineEvery = std::chrono::seconds(5);
constexpr int kBarWidth = 30;

double Seconds(Progress::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
}  // namespace

Progress::Progress(std::ostream& out, bool interactive) : _out(out), _interactive(interactive) {}

std::string Progress::FormatRate(double perSecond) {
    char buf[32];
    if (perSecond >= 1e6) {
        std::snprintf(buf, sizeof(buf), "%.1fM/s", perSecond / 1e6);
    } else if (perSecond >= 1e3) {
        std::snprintf(buf, sizeof(buf), "%.1fk/s", perSecond / 1e3);
    } else {
        std::snprintf(buf, sizeof(buf), "%.0f/s", perSecond);
    }
    return buf;
}

std::string Progress::FormatDuration(double seconds) {
    char buf[32];
    const long s = static_cast<long>(seconds + 0.5);
    if (s >= 3600) {
        std::snprintf(buf, sizeof(buf), "%ldh%02ldm", s / 3600, (s / 60) % 60);
    } else if (s >= 60) {
        std::snprintf(buf, sizeof(buf), "%ldm%02lds", s / 60, s % 60);
    } else {
        std::snprintf(buf, sizeof(buf), "%.1fs", seconds);
    }
    return buf;
}

void Progress::Begin(const std::string& phase, uint64_t total, Clock::time_point now) {
    if (_active) End(now);
    _phase = phase;
    _total = total;
    _done = 0;
    _start = now;
    _lastDraw = now;
    _active = true;
    if (!_interactive) {
        _out << _phase << ": started";
        if (total != 0) _out << ", " << total << " rows";
        _out << "\n";
        _out.flush();
    } else {
        // Shown at once: a phase may run long before its first update, or have none.
        Draw(now, false);
    }
}

void Progress::Update(uint64_t done, Clock::time_point now) {
    if (!_active) return;
    _done = done;
    if (now - _lastDraw <
        (_interactive ? Clock::duration(kRedrawEvery) : Clock::duration(kLineEvery))) {
        return;
    }
    _lastDraw = now;
    Draw(now, false);
}

void Progress::Note(const std::string& text) {
    if (_active) End();
    _out << text << '\n';
}

void Progress::End(Clock::time_point now) {
    if (!_active) return;
    Draw(now, true);
    _active = false;
}

void Progress::Draw(Clock::time_point now, bool final) {
    const double elapsed = Seconds(now - _start);
    std::ostringstream line;
    line << _phase << ": ";
    if (_total == 0 && _done == 0) {
        // A phase without units (training, writing): only whether it ended, and when.
        line << (final ? "done in " + FormatDuration(elapsed) : std::string("running"));
    } else {
        DrawCounts(line, elapsed, final);
    }
    if (_interactive) {
        // \r returns to the line start; \x1b[K clears what a longer earlier line left.
        _out << "\r" << line.str() << "\x1b[K";
        if (final) _out << "\n";
    } else {
        _out << line.str() << "\n";
    }
    _out.flush();
}

void Progress::DrawCounts(std::ostream& line, double elapsed, bool final) const {
    const double rate = elapsed > 0 ? static_cast<double>(_done) / elapsed : 0.0;
    if (_total > 0) {
        const double frac = std::min(1.0, static_cast<double>(_done) / static_cast<double>(_total));
        if (_interactive) {
            const int filled = static_cast<int>(frac * kBarWidth);
            line << '[' << std::string(filled, '#') << std::string(kBarWidth - filled, '.') << "] ";
        }
        char pct[16];
        std::snprintf(pct, sizeof(pct), "%5.1f%%", frac * 100.0);
        line << pct << ' ' << _done << '/' << _total;
    } else {
        line << _done;
    }
    line << ' ' << FormatRate(rate);
    if (final) {
        line << " in " << FormatDuration(elapsed);
    } else if (_total > 0 && rate > 0 && _done < _total) {
        line << " ETA " << FormatDuration(static_cast<double>(_total - _done) / rate);
    }
}

}  // namespace orvane::tools
