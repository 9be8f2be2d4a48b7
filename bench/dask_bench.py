"""Sharded DiskANN on Dask: build and search on 2 workers against 1, and the cost of
the top-k merge against a one-shard search.

    ORVANE_LIB_DIR=build /usr/bin/python3 bench/dask_bench.py [--rows 20000]

Every run uses the same shard count (--shards, default 2), so the 1-worker and
the 2-worker runs do the same work and differ only in how much of it overlaps.
Each worker is one process with one thread and builds with
diskann.build.thread_count 1. Prints one line per measurement and the ratios.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
PYTHON_DIR = HERE.parent / "python"
sys.path.insert(0, str(PYTHON_DIR))
sys.path.insert(0, str(HERE))

import ceiling  # noqa: E402
import datasets  # noqa: E402
import orvane  # noqa: E402
import orvane.distributed as od  # noqa: E402
from orvane.distributed import _merge  # noqa: E402

BUILD = {"index.type": "diskann", "diskann.build.thread_count": 1,
         "diskann.build.neighbor_count": 32, "diskann.build.ef_construction": 100}


def cluster(workers):
    from distributed import Client, LocalCluster
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [str(PYTHON_DIR)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    c = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                     dashboard_address=":0", silence_logs=40)
    return c, Client(c)


def recall(found, gt, k):
    return float(np.mean([len(set(f[:k]) & set(g[:k])) / k for f, g in zip(found.tolist(), gt)]))


def run(workers, base_path, dim, shards, queries, gt, args, out):
    c, client = cluster(workers)
    try:
        directory = Path(out) / ("w%d" % workers)
        options = dict(BUILD, **{"index.dimension": dim})
        t = time.perf_counter()
        manifest = od.build(client, [base_path], options, shards, directory)
        build_s = time.perf_counter() - t
        with od.ShardedSearcher(client, manifest) as s:
            s.search(queries[:args.batch], args.k, **{"diskann.search.list_size": args.list_size})
            t = time.perf_counter()
            found = []
            for lo in range(0, len(queries), args.batch):
                found.append(s.search(queries[lo:lo + args.batch], args.k,
                                      **{"diskann.search.list_size": args.list_size})[1])
            search_s = time.perf_counter() - t
        found = np.concatenate(found)
        r = recall(found, gt, args.k)
        print("workers %d: build %.1f s, search %.0f queries/s (batches of %d), recall@%d %.4f"
              % (workers, build_s, len(queries) / search_s, args.batch, args.k, r), flush=True)
        return build_s, len(queries) / search_s, manifest
    finally:
        client.close()
        c.close()


def merge_cost(manifest, queries, args):
    """Per query: one shard searched in this process, and the merge of all shards' lists."""
    doc = od._manifest.read(manifest)
    parts = []
    search_s = 0.0
    for i in range(len(doc["shards"])):
        with orvane.Searcher({"index.type": "diskann", "index.dimension": doc["dimension"]}) as s:
            s.open(od._manifest.shard_path(doc, i))
            s.search(queries[:10], args.k, **{"diskann.search.list_size": args.list_size})
            t = time.perf_counter()
            parts.append(s.search(queries, args.k, **{"diskann.search.list_size": args.list_size}))
            search_s = time.perf_counter() - t  # the last shard's: one shard's search
    batches = [[(d[lo:lo + args.batch], i[lo:lo + args.batch]) for d, i in parts]
               for lo in range(0, len(queries), args.batch)]
    t = time.perf_counter()
    for _ in range(5):
        for b in batches:
            _merge.merge(b, args.k, doc["metric"])
    merge_s = (time.perf_counter() - t) / 5
    n = len(queries)
    print("one-shard search %.1f us/query, merge of %d shards %.2f us/query"
          % (search_s / n * 1e6, len(parts), merge_s / n * 1e6), flush=True)
    return search_s / n, merge_s / n


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--dataset", default="fashion-mnist")
    p.add_argument("--cache-dir", default=os.path.expanduser("~/.cache/orvane-bench"))
    p.add_argument("--rows", type=int, default=0, help="use the first ROWS base rows (0: all)")
    p.add_argument("--shards", type=int, default=2)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--list-size", type=int, default=50)
    p.add_argument("--batch", type=int, default=100)
    args = p.parse_args()
    ns = argparse.Namespace(dataset=args.dataset, base=None, queries=None, gt=None,
                            nq_generated=1000, seed=1)
    ds = datasets.prepare(ns, args.cache_dir, log=lambda m: print(m, flush=True))
    base, queries = ds.base(mmap=True), ds.queries()
    gt = ds.gt()[0]
    with tempfile.TemporaryDirectory() as out:
        base_path = ds.base_path
        if args.rows:
            base_path = Path(out) / "base.npy"
            np.save(base_path, np.ascontiguousarray(base[:args.rows]))
            gt = datasets.exact_knn(np.load(base_path), queries, args.k)[0]
        gt = [list(g[:args.k]) for g in gt]
        print("dataset %s: %d x %d, %d queries, %d shards, %s" % (
            ds.name, args.rows or ds.n, ds.dim, len(queries), args.shards, BUILD), flush=True)
        b1, q1, _ = run(1, base_path, ds.dim, args.shards, queries, gt, args, out)
        b2, q2, manifest = run(2, base_path, ds.dim, args.shards, queries, gt, args, out)
        one, merge = merge_cost(manifest, queries, args)
    print("ratios: build 2 workers / 1 = %.2fx faster; search throughput 2 workers / 1 = %.2fx; "
          "merge per query = %.3f of a one-shard search" % (b1 / b2, q2 / q1, merge / one))
    print(ceiling.describe(ceiling.measure()))


if __name__ == "__main__":
    main()
