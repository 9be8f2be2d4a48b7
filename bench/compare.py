#!/usr/bin/python3
"""Side-by-side benchmark of Orvane's index kinds against FAISS, hnswlib and a plain scan.

Every configuration is built once and searched single-threaded, one query per
call, over a sweep of its search parameter; printed per point: recall@k,
queries per second, build time and memory. A recall-vs-QPS plot is written
as PNG, and optionally all figures as JSON.

    /usr/bin/python3 bench/compare.py --dataset fashion-mnist
    /usr/bin/python3 bench/compare.py --dataset random-1m-128 --kinds ivf --peers faiss-ivf
    /usr/bin/python3 bench/compare.py --base b.fvecs --queries q.fvecs --gt gt.ivecs --quick

See bench/README.md for the packages, the data and what each column means.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import datasets  # noqa: E402
import peers  # noqa: E402
from native_build import NativeBuildError, compile_native  # noqa: E402


MODES = ("single", "batch", "filtered")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    data = p.add_argument_group("data")
    data.add_argument("--dataset", default=None,
                      help="fashion-mnist, or random-<N>-<D> (e.g. random-1m-128, random-2000-16)")
    data.add_argument("--base", help="base vectors (.fvecs, .fbin or .npy)")
    data.add_argument("--queries", help="query vectors (.fvecs, .fbin or .npy)")
    data.add_argument("--gt", help="ground-truth ids (.ivecs, .ibin or .npy); computed if absent")
    data.add_argument("--nq-generated", type=int, default=1000,
                      help="queries of a generated dataset (default 1000)")
    data.add_argument("--seed", type=int, default=42, help="seed of a generated dataset")
    data.add_argument("--cache-dir", default=os.path.expanduser("~/.cache/orvane-bench"),
                      help="prepared datasets, ground truth and compiled helpers")
    sel = p.add_argument_group("selection")
    sel.add_argument("--kinds", default=None,
                     help="Orvane index kinds, comma list of %s, all or none (default all)"
                     % ",".join(peers.ORVANE_KINDS))
    sel.add_argument("--peers", default=",".join(peers.DEFAULT_PEERS),
                     help="peers, comma list of %s (a prefix such as 'faiss' selects its "
                     "group), all or none (default %s)"
                     % (",".join(peers.PEER_GROUPS), ",".join(peers.DEFAULT_PEERS)))
    sel.add_argument("--quick", action="store_true",
                     help="short sweeps, at most 200 queries, 10 s per point")
    run = p.add_argument_group("run")
    run.add_argument("--k", type=int, default=10, help="neighbours per query (recall@k)")
    run.add_argument("--nq", type=int, default=None, help="use only the first NQ queries")
    run.add_argument("--time-limit", type=float, default=None,
                     help="stop a sweep point after this many seconds (at least 100 queries; "
                     "default 30, --quick 10)")
    run.add_argument("--repeat", type=int, default=1,
                     help="time every sweep point this many times and keep the best "
                     "(steadier figures on a busy machine)")
    run.add_argument("--build-threads", type=int, default=2,
                     help="threads for building (one-query searches are single-threaded)")
    run.add_argument("--modes", default="single",
                     help="comma list of single (one query per call, one thread), batch (one "
                     "call over all queries on --batch-threads threads) and filtered (one call "
                     "per --selectivities value; recall against the exact filtered top-k)")
    run.add_argument("--batch-threads", type=int, default=os.cpu_count() or 1,
                     help="threads of a batch or filtered call (default: every hardware thread)")
    run.add_argument("--selectivities", default="0.5,0.1,0.01,0.001",
                     help="shares of the rows a filtered search admits")
    run.add_argument("--faiss-path", default=os.environ.get(peers.FAISS_PATH_ENV) or None,
                     help="folder holding a FAISS Python package (faiss/) to use instead of "
                     "Debian's python3-faiss, e.g. one built for this machine (default: $%s, "
                     "else Debian's)" % peers.FAISS_PATH_ENV)
    run.add_argument("--ivf-lists", type=int, default=None,
                     help="inverted lists of the IVF configurations (default ~sqrt(n))")
    run.add_argument("--work-dir", default=None,
                     help="where indexes are written (default: a temporary directory, removed)")
    out = p.add_argument_group("output")
    out.add_argument("--plot", default="compare.png", help="recall-vs-QPS plot (PNG); '' for none")
    out.add_argument("--json", default=None, help="also write all results to this JSON file")
    out.add_argument("--verbose", action="store_true", help="show the runners' own output")
    args = p.parse_args(argv)
    if not args.dataset and not args.base:
        p.error("give --dataset or --base/--queries")
    if args.quick:
        args.nq = min(args.nq or 200, 200)
    if args.time_limit is None:
        args.time_limit = 10.0 if args.quick else 30.0
    if args.k < 1 or args.k > datasets.GT_K:
        p.error("--k must be within 1..%d" % datasets.GT_K)
    args.modes = [m.strip() for m in args.modes.split(",") if m.strip()]
    if not args.modes or any(m not in MODES for m in args.modes):
        p.error("--modes: a comma list of %s" % ",".join(MODES))
    if args.batch_threads < 1:
        p.error("--batch-threads must be at least 1")
    if args.faiss_path:
        args.faiss_path = os.path.abspath(args.faiss_path)
        problem = peers.faiss_path_problem(args.faiss_path)
        if problem:
            p.error("--faiss-path: " + problem)
    try:
        args.selectivities = [float(v) for v in args.selectivities.split(",") if v.strip()]
    except ValueError:
        p.error("--selectivities: a comma list of numbers in (0, 1]")
    if any(not 0 < v <= 1 for v in args.selectivities):
        p.error("--selectivities: a comma list of numbers in (0, 1]")
    return args


def log(msg):
    print(msg, flush=True)


# ---------------------------------------------------------------------------
# Recall.

def recall_at_k(found, queries, gt_ids, gt_dist, base, k):
    """Mean recall@k of found ids (queries x k, -1 = none), as (by distance, by id).

    By distance, a returned row counts when its exact distance is within the
    k-th true distance (so equally distant rows are interchangeable); each id
    counts once, so duplicate hits are not rewarded. By id, it is the share of
    the true k ids among the returned ones."""
    nq = found.shape[0]
    if nq == 0:
        return float("nan"), float("nan")
    by_dist = by_id = 0
    for i in range(nq):
        ids = np.unique(found[i][(found[i] >= 0) & (found[i] < base.shape[0])])
        by_id += len(np.intersect1d(ids, gt_ids[i, :k]))
        if ids.size:
            diff = base[ids].astype(np.float64) - queries[i].astype(np.float64)
            dist = (diff * diff).sum(1)
            limit = float(gt_dist[i, k - 1])
            by_dist += min(k, int((dist <= limit * (1 + 1e-5) + 1e-6).sum()))
    return by_dist / (nq * k), by_id / (nq * k)


def filtered_truth(base, queries, allowed, k):
    """Exact top-k among the allowed rows, as (ids, distances) in row ids of the base."""
    ids, dist = datasets.exact_knn(base[allowed], queries, k)
    return allowed[ids], dist


def point_recall(point, queries, truth, base, k):
    """(by distance, by id) recall of a point; filtered points against the exact
    filtered top-min(k, admitted), counting no row the filter refused."""
    selectivity = point.get("selectivity")
    if selectivity is None:
        gt_ids, gt_dist = truth[None]
        return recall_at_k(point["ids"], queries, gt_ids, gt_dist, base, k)
    if selectivity not in truth:
        allowed = datasets.allowed_rows(base.shape[0], selectivity)
        truth[selectivity] = (allowed,) + filtered_truth(base, queries, allowed, k)
    allowed, gt_ids, gt_dist = truth[selectivity]
    kk = min(k, allowed.size)
    found = point["ids"][:, :kk]
    found = np.where(np.isin(found, allowed), found, -1)
    return recall_at_k(found, queries[:found.shape[0]], gt_ids, gt_dist, base, kk)


# ---------------------------------------------------------------------------
# Running.

def run_child(step, config, args, ds, workdir, threads):
    """Runs one step of one runner in a subprocess; returns its result dict."""
    job = {"config": config, "dataset_name": ds.name, "dataset_dir": str(ds.dir),
           "workdir": str(workdir), "cache_dir": args.cache_dir, "threads": threads,
           "k": args.k, "nq": args.nq, "time_limit": args.time_limit, "repeat": args.repeat,
           "modes": args.modes, "batch_threads": args.batch_threads,
           "selectivities": args.selectivities,
           "result": str(workdir / ("%s.json" % step))}
    job_path = workdir / ("%s-job.json" % step)
    job_path.write_text(json.dumps(job))
    # A FAISS batch over a flat index is a BLAS matrix product: its BLAS threads
    # are the batch's threads. One-query searches never reach BLAS.
    blas = args.batch_threads if step == "search" and config["runner"] == "faiss" \
        and args.modes != ["single"] else threads
    proc = subprocess.run([sys.executable, str(HERE / "runner_child.py"), step, str(job_path)],
                          env=peers.child_env(threads, blas, args.faiss_path),
                          capture_output=not args.verbose, text=True)
    if proc.returncode != 0:
        tail = "\n".join(((proc.stderr or "") + (proc.stdout or "")).strip().splitlines()[-8:])
        raise RuntimeError("%s step failed (exit %d):\n%s" % (step, proc.returncode, tail))
    return json.loads(Path(job["result"]).read_text())


def run_python_runner(config, args, ds, workdir):
    build = run_child("build", config, args, ds, workdir, args.build_threads)
    if "skipped" in build:
        return {"skipped": build["skipped"]}
    search = run_child("search", config, args, ds, workdir, 1)
    if "skipped" in search:
        return {"skipped": search["skipped"]}
    ids = np.load(workdir / "search.json.ids.npy")
    offset = 0
    for point in search["points"]:
        point["ids"] = ids[offset:offset + point["nq"]]
        offset += point["nq"]
    build.update(search)
    return build


def library_lines(results):
    """One line per peer library build that ran ("faiss: native FAISS ... from ...")."""
    seen = {}
    for r in results:
        if r.get("library"):
            seen.setdefault(r["runner"], set()).add(r["library"])
    return ["%s: %s" % (runner, text) for runner in sorted(seen) for text in sorted(seen[runner])]


def run_hnswlib_native(config, args, ds, workdir):
    """The compiled hnswlib program: one process builds and sweeps ef, printing JSON lines."""
    binary = compile_native("hnswlib_native.cc", args.cache_dir)
    base_f, queries_f, gt_f = ds.fbin_paths()
    if args.nq and args.nq < ds.nq:
        q = ds.queries()[:args.nq]
        queries_f = workdir / "queries.fbin"
        gt_f = workdir / "gt.ibin"
        datasets.write_fbin(queries_f, q)
        datasets.write_fbin(gt_f, ds.gt()[0][:args.nq].astype(np.int32))
    ids_out = workdir / "hnswlib_native_ids.bin"
    cmd = [str(binary), str(base_f), str(queries_f), str(gt_f), str(config["M"]),
           str(config["efc"]), str(args.build_threads), str(args.k), str(args.repeat),
           str(ids_out)]
    cmd += [str(v) for v in config["sweep"]]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("hnswlib_native failed (exit %d): %s"
                           % (proc.returncode, proc.stderr.strip()))
    lines = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    build = lines[0]["build"]
    nq = min(args.nq or ds.nq, ds.nq)
    if args.modes != ["single"]:
        log("  hnswlib-native times one query per call only")
    ids = np.fromfile(ids_out, dtype=np.int64).reshape(-1, args.k)
    points = []
    for j, line in enumerate(lines[1:]):
        points.append({"param": line["ef"], "nq": nq, "qps": line["qps"], "mode": "single",
                       "native_recall_by_id": line["recall"],
                       "rss_anon_mb": line["rss_anon_mb"],
                       "ids": ids[j * nq:(j + 1) * nq]})
    return {"build_s": build["seconds"],
            # Peak of the whole process less the loaded base: what building added.
            "build_peak_extra_mb": build["peak_rss_mb"] - build["base_mb"],
            "search_anon_mb": points[-1]["rss_anon_mb"] if points else None,
            "points": points}


def run_config(config, args, ds, work_root):
    reason = peers.unavailable(config)
    if reason:
        return {"skipped": reason}
    workdir = Path(tempfile.mkdtemp(prefix="run-", dir=work_root))
    try:
        if config["runner"] == "hnswlib-native":
            return run_hnswlib_native(config, args, ds, workdir)
        return run_python_runner(config, args, ds, workdir)
    except (RuntimeError, NativeBuildError) as exc:
        return {"failed": str(exc)}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


# ---------------------------------------------------------------------------
# Reporting.

def _fmt(value, fmt="%.1f"):
    return "-" if value is None else fmt % value


def mode_label(point):
    """How a point was timed: single, batch Tt, filter S% Tt."""
    mode = point.get("mode", "single")
    if mode == "single":
        return "single"
    label = "batch" if mode == "batch" else "filter %g%%" % (100 * point["selectivity"])
    label += " %dt" % point["threads"]
    return label + (" (loop)" if point.get("looped") else "")


def table_rows(results):
    rows = []
    for r in results:
        if "skipped" in r or "failed" in r:
            continue
        for p in r["points"]:
            rows.append([r["name"], mode_label(p),
                         "" if r["sweep_key"] is None else "%s=%s" % (
                             r["sweep_key"].split(".")[-1], p["param"]),
                         "%.4f" % p["recall"], "%.1f" % p["qps"],
                         _fmt(r.get("build_s"), "%.2f"),
                         _fmt(r.get("build_peak_extra_mb"), "%.0f"),
                         _fmt(r.get("search_anon_mb"), "%.0f"),
                         str(p["nq"])])
    return rows


def print_table(results, ds, args):
    head = ["configuration", "mode", "param", "recall@%d" % args.k, "QPS", "build s", "build +MB",
            "search anon MB", "queries"]
    rows = table_rows(results)
    widths = [max(len(str(x)) for x in col) for col in zip(head, *rows)] if rows else \
        [len(h) for h in head]
    log("")
    log("%s: %d x %d, %d queries; single: one query per call on one thread; batch and "
        "filter: one call over all queries on T threads (t); builds with %d threads"
        % (ds.name, ds.n, ds.dim, min(args.nq or ds.nq, ds.nq), args.build_threads))
    log("best of %d timed passes per point; load average (1 min) %.1f at start, %.1f at end "
        "(2-core machine: above 2, other work competed for the cores)"
        % (args.repeat, args.load_start, args.load_end))
    for text in library_lines(results):
        log(text)
    line = "  ".join(h.ljust(w) if i < 3 else h.rjust(w) for i, (h, w) in enumerate(zip(head, widths)))
    log(line)
    log("-" * len(line))
    for row in rows:
        log("  ".join(c.ljust(w) if i < 3 else c.rjust(w)
                      for i, (c, w) in enumerate(zip(row, widths))))
    for r in results:
        if "skipped" in r:
            log("skipped %s: %s" % (r["name"], r["skipped"]))
        elif "failed" in r:
            log("FAILED %s: %s" % (r["name"], r["failed"]))
        for note in r.get("notes", []):
            log("%s: %s" % (r["name"], note))


def write_plot(results, ds, args):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("no plot: python3-matplotlib is not installed (apt-get install python3-matplotlib)")
        return
    fig, ax = plt.subplots(figsize=(10, 6.5))
    for r in results:
        if "points" not in r or not r["points"]:
            continue
        single = [p for p in r["points"] if p.get("mode", "single") == "single"]
        if not single:
            continue
        xs = [p["recall"] for p in single]
        ys = [p["qps"] for p in single]
        style = "o-" if r["runner"] == "orvane" else "s--"
        ax.plot(xs, ys, style, label=r["name"], markersize=4)
    ax.set_xlabel("recall@%d" % args.k)
    ax.set_ylabel("queries per second (1 thread, 1 query per call)")
    ax.set_yscale("log")
    ax.grid(True, which="both", alpha=0.3)
    ax.set_title("%s (%d x %d)" % (ds.name, ds.n, ds.dim))
    ax.legend(fontsize=7, loc="best")
    fig.tight_layout()
    fig.savefig(args.plot, dpi=120)
    plt.close(fig)
    log("plot written to %s" % args.plot)


def write_json(results, ds, args):
    out = {"dataset": ds.name, "n": ds.n, "dim": ds.dim, "k": args.k, "repeat": args.repeat,
           "load_average": [args.load_start, args.load_end],
           "queries": min(args.nq or ds.nq, ds.nq), "build_threads": args.build_threads,
           "modes": args.modes, "batch_threads": args.batch_threads,
           "libraries": library_lines(results),
           "results": [{k: v for k, v in r.items()} for r in results]}
    for r in out["results"]:
        for p in r.get("points", []):
            p.pop("ids", None)
    Path(args.json).write_text(json.dumps(out, indent=1))
    log("results written to %s" % args.json)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    # The FAISS package chosen, for the availability check here and the runners.
    if args.faiss_path:
        os.environ[peers.FAISS_PATH_ENV] = args.faiss_path
    else:
        os.environ.pop(peers.FAISS_PATH_ENV, None)
    Path(args.cache_dir).mkdir(parents=True, exist_ok=True)
    ds = datasets.prepare(args, args.cache_dir, log=log)
    configs = peers.make_configs(args, ds.dim, ds.n)
    base = ds.base(mmap=True)
    truth = {None: ds.gt()}
    queries = ds.queries()
    work_root = Path(args.work_dir or tempfile.mkdtemp(prefix="orvane-bench-"))
    work_root.mkdir(parents=True, exist_ok=True)
    results = []
    args.load_start = os.getloadavg()[0]
    try:
        for config in configs:
            log("running %s ..." % config["name"])
            t0 = time.perf_counter()
            r = run_config(config, args, ds, work_root)
            r.update({"name": config["name"], "runner": config["runner"],
                      "sweep_key": config.get("sweep_key")})
            for p in r.get("points", []):
                p["recall"], p["recall_by_id"] = point_recall(p, queries, truth, base, args.k)
            if "skipped" in r:
                log("  skipped: %s" % r["skipped"])
            elif "failed" in r:
                log("  FAILED: %s" % r["failed"])
            else:
                if r.get("library"):
                    log("  %s" % r["library"])
                log("  done in %.1f s: %s" % (time.perf_counter() - t0, ", ".join(
                    "%s %.3f@%.0f" % (mode_label(p), p["recall"], p["qps"])
                    for p in r["points"])))
            results.append(r)
    finally:
        if not args.work_dir:
            shutil.rmtree(work_root, ignore_errors=True)
    args.load_end = os.getloadavg()[0]
    print_table(results, ds, args)
    if args.plot:
        write_plot(results, ds, args)
    if args.json:
        write_json(results, ds, args)
    return 1 if any("failed" in r for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
