#!/usr/bin/env python3
"""One search call over many queries: all cores against one core.

Builds a bruteforce, an IVF and a DiskANN index of Fashion-MNIST (or its first
--rows rows), then times one Searcher.search call over the 1000 test queries
in a child process, once free to use every core and once pinned to core 0
with `taskset -c 0`, and prints both rates and their ratio per kind.

usage: ORVANE_LIB_DIR=build python3 bench/batch_threads.py [--rows N] [--work DIR]
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "python"))

KINDS = {
    "bruteforce": ({}, {}),
    "ivf": ({"ivf.build.num_lists": 256}, {"nprobe": 16}),
    "diskann": ({"diskann.build.neighbor_count": 32}, {"diskann.search.list_size": 48}),
}


def build(work, rows):
    import orvane
    from datasets import FASHION_DIR, _read_idx_images
    base = _read_idx_images(FASHION_DIR / "train-images-idx3-ubyte.gz", rows)
    queries = _read_idx_images(FASHION_DIR / "t10k-images-idx3-ubyte.gz", 1000)
    np.save(work / "queries.npy", queries)
    for kind, (options, _) in KINDS.items():
        path = work / (kind + ".idx")
        if path.exists():
            continue
        t0 = time.perf_counter()
        with orvane.Builder({"index.type": kind, "index.dimension": base.shape[1],
                             **options}) as b:
            b.pretrain(base)
            b.insert(base)
            b.dump(path)
        print("built %s in %.1f s" % (kind, time.perf_counter() - t0), flush=True)


def child(work, kind, repeats):
    """Prints the best queries-per-second of `repeats` calls over all queries."""
    import orvane
    queries = np.load(work / "queries.npy")
    with orvane.Searcher({"index.type": kind, "index.dimension": queries.shape[1]}) as s:
        s.open(work / (kind + ".idx"))
        extra = KINDS[kind][1]
        s.search(queries[:50], 10, **extra)  # warm the page cache and the pool
        best = 0.0
        for _ in range(repeats):
            t0 = time.perf_counter()
            s.search(queries, 10, **extra)
            best = max(best, len(queries) / (time.perf_counter() - t0))
    print(json.dumps({"qps": best}))


def run(work, kind, pinned, repeats):
    cmd = [sys.executable, __file__, "--child", kind, "--work", str(work),
           "--repeats", str(repeats)]
    if pinned:
        cmd = ["taskset", "-c", "0"] + cmd
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])["qps"]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=None, help="base rows (default all 60000)")
    p.add_argument("--work", default="/tmp/orvane_batch_bench")
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--kinds", default=",".join(KINDS))
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    a = p.parse_args()
    work = Path(a.work)
    if a.child:
        child(work, a.child, a.repeats)
        return
    work.mkdir(parents=True, exist_ok=True)
    build(work, a.rows)
    print("%-11s %12s %12s %7s" % ("kind", "all cores", "taskset -c 0", "ratio"))
    for kind in a.kinds.split(","):
        free = run(work, kind, False, a.repeats)
        pinned = run(work, kind, True, a.repeats)
        print("%-11s %12.0f %12.0f %6.2fx" % (kind, free, pinned, free / pinned), flush=True)


if __name__ == "__main__":
    main()
