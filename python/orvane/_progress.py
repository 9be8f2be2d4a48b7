"""Build progress lines in the tool's plain format (`orvane build` on a log file):
"PHASE: started, N rows", then "PHASE: 100.0% N/N RATE in TIME", or
"PHASE: done in TIME" for a phase without rows."""

import sys
import time


def format_rate(per_second):
    if per_second >= 1e6:
        return "%.1fM/s" % (per_second / 1e6)
    if per_second >= 1e3:
        return "%.1fk/s" % (per_second / 1e3)
    return "%.0f/s" % per_second


def format_duration(seconds):
    s = int(seconds + 0.5)
    if s >= 3600:
        return "%dh%02dm" % (s // 3600, (s // 60) % 60)
    if s >= 60:
        return "%dm%02ds" % (s // 60, s % 60)
    return "%.1fs" % seconds


class Progress:
    """Writes the lines to `out` (a text stream); `Progress.of(None/False)` is None,
    `Progress.of(True)` writes to standard error."""

    def __init__(self, out):
        self._out = out

    @staticmethod
    def of(progress):
        if progress is None or progress is False:
            return None
        return Progress(sys.stderr if progress is True else progress)

    def note(self, text):
        self._write(text)

    def phase(self, name, rows, fn):
        """Runs fn() as phase `name` over `rows` rows (0: a phase without rows)."""
        self._write("%s: started%s" % (name, ", %d rows" % rows if rows else ""))
        start = time.monotonic()
        result = fn()
        elapsed = time.monotonic() - start
        if rows:
            rate = rows / elapsed if elapsed > 0 else 0.0
            self._write("%s: 100.0%% %d/%d %s in %s"
                        % (name, rows, rows, format_rate(rate), format_duration(elapsed)))
        else:
            self._write("%s: done in %s" % (name, format_duration(elapsed)))
        return result

    def _write(self, line):
        self._out.write(line + "\n")
        self._out.flush()
