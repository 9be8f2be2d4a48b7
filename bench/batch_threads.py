#!/usr/bin/env python3
"""One search call over many queries: all cores against one core, and against the peers.

Builds a bruteforce, an IVF and a DiskANN index of Fashion-MNIST (or its first
--rows rows), then times one Searcher.search call over the 1000 test queries
in a child process, once free to use every core and once pinned to core 0
with `taskset -c 0`, and prints both rates and their ratio per kind.

With --peers it also builds FAISS IndexFlatL2 and IndexIVFFlat (256 lists,
nprobe 16) and hnswlib (M 16, ef_construction 200, ef 32) with --build-threads
threads, and times their one call over the same queries with every core
(FAISS `search` on its OpenMP threads, hnswlib `knn_query(num_threads=)`), so
that each kind's batch is compared with its peer's at the same thread count
in one run. --faiss-path (or ORVANE_BENCH_FAISS) chooses a FAISS package built
for this machine instead of Debian's; the output says which one ran.

usage: ORVANE_LIB_DIR=build python3 bench/batch_threads.py [--rows N] [--work DIR]
           [--peers faiss-flat,faiss-ivf,hnswlib] [--faiss-path DIR]
"""

import argparse
import json
import os
import subprocess
import sys
import time
import types
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "python"))

import ceiling  # noqa: E402
import peers  # noqa: E402

K = 10
# Orvane kinds: build options, search options. IVF trains with 10 k-means
# rounds, as FAISS's IVF does, so the two build times compare like for like.
KINDS = {
    "bruteforce": ({}, {}),
    "ivf": ({"ivf.build.num_lists": 256, "ivf.build.max_epoch": 10}, {"nprobe": 16}),
    "diskann": ({"diskann.build.neighbor_count": 32}, {"diskann.search.list_size": 48}),
    # DiskANN as the one-query benchmark builds it (R32, ef_construction 200,
    # PQ of 98 chunks of 8 components instead of the default 392 of 2), at the
    # list size that brings its recall@10 to 0.99 (48 gives 0.989).
    "diskann-pq98": ({"index.type": "diskann", "diskann.build.neighbor_count": 32,
                      "diskann.build.ef_construction": 200, "encoding.pq.m": 98},
                     {"diskann.search.list_size": 56}),
}
# Searches of an index built above, opened another way: name -> (kind, open options).
# diskann-mmap reads the same DiskANN file through the mmap reader, which keeps the
# file in memory as hnswlib keeps its graph; "diskann" uses the default local reader.
VARIANTS = {"diskann-mmap": ("diskann", {"io.reader.type": "mmap"}),
            "diskann-pq98-mmap": ("diskann-pq98", {"io.reader.type": "mmap"})}
# Peers: the runner config of peers.py and the search parameter applied.
PEERS = {
    "faiss-flat": ({"runner": "faiss", "factory": "flat"}, None),
    "faiss-ivf": ({"runner": "faiss", "factory": "ivfflat", "lists": 256, "sweep_key": "nprobe"},
                  16),
    "hnswlib": ({"runner": "hnswlib", "M": 16, "efc": 200}, 32),
}
# Which peer each kind is measured against.
PEER_OF = {"bruteforce": "faiss-flat", "ivf": "faiss-ivf", "diskann": "hnswlib",
           "diskann-mmap": "hnswlib", "diskann-pq98": "hnswlib", "diskann-pq98-mmap": "hnswlib"}


def index_type(name):
    """The index.type of an entry of KINDS."""
    return KINDS[name][0].get("index.type", name)


def load_base(rows):
    from datasets import FASHION_DIR, _read_idx_images
    return _read_idx_images(FASHION_DIR / "train-images-idx3-ubyte.gz", rows)


def prepare(work, rows):
    """Queries and their exact top-K, computed once per work directory."""
    if (work / "gt.npy").exists():
        return
    from datasets import FASHION_DIR, _read_idx_images, exact_knn
    queries = _read_idx_images(FASHION_DIR / "t10k-images-idx3-ubyte.gz", 1000)
    np.save(work / "queries.npy", queries)
    np.save(work / "gt.npy", exact_knn(load_base(rows), queries, K)[0])


def recall(found, gt):
    """Share of the true K ids among the returned ones."""
    return float(np.mean([len(np.intersect1d(f, g)) for f, g in zip(found, gt)])) / K


def record_build(work, name, seconds):
    path = work / "builds.json"
    builds = json.loads(path.read_text()) if path.exists() else {}
    builds[name] = seconds
    path.write_text(json.dumps(builds))


def build_kind(work, rows, kind, threads):
    import orvane
    path = work / (kind + ".idx")
    if path.exists():
        return
    base = load_base(rows)
    options = dict(KINDS[kind][0])
    options.setdefault("index.type", kind)
    if options["index.type"] in ("ivf", "diskann"):
        options["%s.build.thread_count" % options["index.type"]] = threads
    t0 = time.perf_counter()
    with orvane.Builder({"index.dimension": base.shape[1], **options}) as b:
        b.pretrain(base)
        b.insert(base)
        b.dump(path)
    record_build(work, kind, time.perf_counter() - t0)


def peer_runner(work, name):
    config = dict(PEERS[name][0])
    workdir = work / name
    workdir.mkdir(exist_ok=True)
    return peers.make_runner(config, workdir, work), workdir


def build_peer(work, rows, name, threads):
    runner, workdir = peer_runner(work, name)
    if any(workdir.iterdir()):
        return
    seconds = runner.build(load_base(rows), threads)
    runner.save()
    record_build(work, name, seconds)


def timed(call, queries, repeats):
    """Best queries-per-second of `repeats` calls over all queries, and the last ids."""
    call(queries[:50])  # warm the page cache, the pools and lazy set-up
    best, found = 0.0, None
    for _ in range(repeats):
        t0 = time.perf_counter()
        found = call(queries)
        best = max(best, len(queries) / (time.perf_counter() - t0))
    return best, found


def child(work, what, repeats, threads):
    """Prints the rate, recall and (peers) library of one call over all queries."""
    queries = np.load(work / "queries.npy")
    gt = np.load(work / "gt.npy")
    out = {}
    if what in KINDS or what in VARIANTS:
        import orvane
        kind, opening = VARIANTS.get(what, (what, {}))
        with orvane.Searcher({"index.type": index_type(kind), "index.dimension": queries.shape[1],
                              **opening}) as s:
            s.open(work / (kind + ".idx"))
            extra = KINDS[kind][1]
            qps, found = timed(lambda q: s.search(q, K, **extra)[1].view(np.int64), queries,
                               repeats)
    else:
        peers.use_faiss_path()
        runner, _ = peer_runner(work, what)
        # max_elements 0: hnswlib keeps the count it saved.
        runner.open(types.SimpleNamespace(n=0, dim=queries.shape[1]))
        if PEERS[what][1] is not None:
            runner.set_param(PEERS[what][1])
        qps, found = timed(lambda q: runner.search_batch(q, K, threads), queries, repeats)
        out["library"] = runner.library()
    out.update({"qps": qps, "recall": recall(found, gt)})
    print(json.dumps(out))


def run(work, what, pinned, repeats, threads, faiss_path):
    cmd = [sys.executable, __file__, "--child", what, "--work", str(work),
           "--repeats", str(repeats), "--threads", str(threads)]
    if pinned:
        cmd = ["taskset", "-c", "0"] + cmd
    env = peers.child_env(threads, threads, faiss_path)
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(out.strip().splitlines()[-1])


def build_all(work, rows, kinds, peer_names, threads, faiss_path):
    """Each index built in a child of its own (thread pools sized for the build)."""
    built = {VARIANTS.get(k, (k,))[0] for k in kinds}
    for what in sorted(built) + peer_names:
        cmd = [sys.executable, __file__, "--build-child", what, "--work", str(work),
               "--threads", str(threads)] + (["--rows", str(rows)] if rows else [])
        subprocess.run(cmd, check=True, env=peers.child_env(threads, threads, faiss_path))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=None, help="base rows (default all 60000)")
    p.add_argument("--work", default="/tmp/orvane_batch_bench")
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--kinds", default=",".join(KINDS), help="comma list of %s"
                   % ",".join(list(KINDS) + list(VARIANTS)))
    p.add_argument("--peers", default="", help="comma list of %s (default none)"
                   % ",".join(PEERS))
    p.add_argument("--faiss-path", default=os.environ.get(peers.FAISS_PATH_ENV) or None,
                   help="folder holding a FAISS package to use instead of Debian's")
    p.add_argument("--build-threads", type=int, default=2)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1, help=argparse.SUPPRESS)
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    p.add_argument("--build-child", default=None, help=argparse.SUPPRESS)
    a = p.parse_args()
    work = Path(a.work)
    if a.child:
        child(work, a.child, a.repeats, a.threads)
        return
    if a.build_child:
        if a.build_child in KINDS:
            build_kind(work, a.rows, a.build_child, a.threads)
        else:
            peers.use_faiss_path()
            build_peer(work, a.rows, a.build_child, a.threads)
        return
    kinds = [k for k in a.kinds.split(",") if k]
    peer_names = [x for x in a.peers.split(",") if x]
    unknown = [x for x in kinds if x not in KINDS and x not in VARIANTS] + [x for x in peer_names if x not in PEERS]
    if unknown:
        p.error("unknown kinds or peers: %s" % ",".join(unknown))
    if a.faiss_path:
        a.faiss_path = os.path.abspath(a.faiss_path)
        problem = peers.faiss_path_problem(a.faiss_path)
        if problem:
            p.error("--faiss-path: " + problem)
    work.mkdir(parents=True, exist_ok=True)
    load_start = os.getloadavg()[0]
    prepare(work, a.rows)
    build_all(work, a.rows, kinds, peer_names, a.build_threads, a.faiss_path)
    builds = json.loads((work / "builds.json").read_text()) if (work / "builds.json").exists() \
        else {}
    threads = os.cpu_count() or 1
    rates = {}
    lines = ["%-11s %12s %12s %7s %9s %8s" % ("", "all cores", "taskset -c 0", "ratio",
                                               "recall@%d" % K, "build s")]
    for kind in kinds:
        free = run(work, kind, False, a.repeats, threads, a.faiss_path)
        pinned = run(work, kind, True, a.repeats, threads, a.faiss_path)
        rates[kind] = free["qps"]
        lines.append("%-11s %12.0f %12.0f %6.2fx %9.4f %8s" % (
            kind, free["qps"], pinned["qps"], free["qps"] / pinned["qps"], free["recall"],
            "%.1f" % builds[kind] if kind in builds else "-"))
        print(lines[-1], flush=True)
    libraries = set()
    for name in peer_names:
        free = run(work, name, False, a.repeats, threads, a.faiss_path)
        rates[name] = free["qps"]
        if free.get("library"):
            libraries.add(free["library"])
        lines.append("%-11s %12.0f %12s %7s %9.4f %8s" % (
            name, free["qps"], "-", "-", free["recall"],
            "%.1f" % builds[name] if name in builds else "-"))
        print(lines[-1], flush=True)
    print()
    print("one call over %d queries, %d threads; builds with %d threads; load average (1 min) "
          "%.1f at start, %.1f at end" % (len(np.load(work / "queries.npy")), threads,
                                          a.build_threads, load_start, os.getloadavg()[0]))
    for text in sorted(libraries):
        print("faiss: " + text)
    print("\n".join(lines))
    for kind in kinds:
        peer = PEER_OF[kind]
        if peer in rates:
            print("%s batch / %s batch at %d threads: %.2fx"
                  % (kind, peer, threads, rates[kind] / rates[peer]))
    print(ceiling.describe(ceiling.measure()))
    if "ivf" in builds and "faiss-ivf" in builds:
        print("ivf build / faiss-ivf build (%d threads): %.2fx the time"
              % (a.build_threads, builds["ivf"] / builds["faiss-ivf"]))


if __name__ == "__main__":
    main()
