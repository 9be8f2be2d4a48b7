#!/usr/bin/python3
"""Per-query cost of one single-query search from Python, side by side in one run.

Measures, on a 16-vector index of dimension 16:
  orvane      Searcher.search(query, topk)           the package's whole path
  orvane-c    orvane_searcher_search through ctypes with prepared arguments:
              the library's own time plus the bare cost of a ctypes call
  faiss       IndexFlatL2.search (python3-faiss), when installed
  hnswlib     Index.knn_query (python3-hnswlib), when installed
and prints microseconds per call and the package's overhead over the bare call.

Run: ORVANE_LIB_DIR=build /usr/bin/python3 bench/python_search_overhead.py
"""

import ctypes
import os
import sys
import tempfile
import timeit
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
import orvane  # noqa: E402
from orvane import _native  # noqa: E402

ROWS, DIM, TOPK = 16, 16, 10
CALLS = 20000


def per_call_micros(fn):
    """Best of five runs of CALLS calls, in microseconds per call."""
    return min(timeit.repeat(fn, number=CALLS, repeat=5)) / CALLS * 1e6


def main():
    rng = np.random.default_rng(7)
    data = rng.standard_normal((ROWS, DIM)).astype(np.float32)
    query = data[3].copy()
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.idx")
        opts = {"index.type": "demo", "index.dimension": DIM}
        with orvane.Builder(opts) as b:
            b.pretrain(data)
            b.insert(data)
            b.dump(path)
        with orvane.Searcher(opts) as s:
            s.open(path)
            results["orvane"] = per_call_micros(lambda: s.search(query, TOPK))

            lib = _native.load()
            q = np.ascontiguousarray(query.reshape(1, DIM))
            dist = np.empty((1, TOPK), dtype=np.float32)
            ids = np.empty((1, TOPK), dtype=np.uint64)
            err = ctypes.create_string_buffer(_native.ERR_LEN)
            args = (s._handle, q.ctypes.data, 1, TOPK, dist.ctypes.data, ids.ctypes.data, b"{}",
                    err, _native.ERR_LEN)
            fn = lib.orvane_searcher_search
            results["orvane-c"] = per_call_micros(lambda: fn(*args))
    try:
        import faiss
        index = faiss.IndexFlatL2(DIM)
        index.add(data)
        q2 = query.reshape(1, DIM)
        results["faiss"] = per_call_micros(lambda: index.search(q2, TOPK))
    except ImportError:
        pass
    try:
        import hnswlib
        index = hnswlib.Index(space="l2", dim=DIM)
        index.init_index(max_elements=ROWS)
        index.add_items(data)
        index.set_num_threads(1)
        results["hnswlib"] = per_call_micros(lambda: index.knn_query(query, k=TOPK))
    except ImportError:
        pass

    for name, micros in results.items():
        print("%-9s %7.2f us/query" % (name, micros))
    print("orvane package overhead over the bare C call: %.2f us (%.2fx the bare call)"
          % (results["orvane"] - results["orvane-c"], results["orvane"] / results["orvane-c"]))
    for peer in ("faiss", "hnswlib"):
        if peer in results:
            print("orvane / %s: %.2f" % (peer, results["orvane"] / results[peer]))


if __name__ == "__main__":
    main()
