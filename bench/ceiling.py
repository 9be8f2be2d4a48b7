"""The machine's own ceiling for work spread over its hardware threads.

Runs build/bench_core_scaling (bench/core_scaling.cc): how much more an
arithmetic-bound and a memory-bound loop do on every hardware thread than on
one. A batch that reads memory faster than one core can cannot scale past the
memory figure, whatever the library does, so the benchmarks print it beside
their all-cores ratios.
"""

import os
import subprocess
from pathlib import Path


def probe_path():
    """The probe binary: next to ORVANE_LIB_DIR's library (default build/)."""
    lib_dir = os.environ.get("ORVANE_LIB_DIR") or str(Path(__file__).resolve().parent.parent
                                                      / "build")
    return Path(lib_dir) / "bench_core_scaling"


def measure(runs=3, mib=256):
    """{"threads", "compute", "memory"} from one probe run, or None without the probe."""
    path = probe_path()
    if not path.exists():
        return None
    out = subprocess.run([str(path), str(runs), str(mib)], check=True, capture_output=True,
                         text=True).stdout
    last = out.strip().splitlines()[-1].split()
    if not last or last[0] != "ceiling":
        return None
    fields = dict(item.split("=", 1) for item in last[1:])
    return {"threads": int(fields["threads"]), "compute": float(fields["compute"]),
            "memory": float(fields["memory"])}


def describe(ceiling):
    """One line for a report."""
    if ceiling is None:
        return "machine ceiling: not measured (build the bench_core_scaling target)"
    return ("machine ceiling (bench_core_scaling): %d threads do %.2fx the arithmetic and "
            "%.2fx the memory reads of one" % (ceiling["threads"], ceiling["compute"],
                                                ceiling["memory"]))
