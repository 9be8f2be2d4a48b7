"""One build or search step of one runner, in a process of its own.

    runner_child.py build|search JOB.json

JOB.json holds the runner config, the dataset directory, the work and cache
directories, the thread count and (search) k, the query limit and the time
limit. The result goes to the "result" path named in the job as JSON, and the
found ids of a search to <result>.ids.npy. Separate processes keep one
runner's memory and threads from disturbing the next, and let the search
step measure its own resident anonymous memory (RssAnon: heap and private
mappings, not page-cache pages of an index file).
"""

import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402

import peers  # noqa: E402

peers.use_faiss_path()

from datasets import Dataset, allowed_rows  # noqa: E402


def _orvane_unavailable(exc):
    """A library refusal of the kind itself (not of a value) means the kind is not built in."""
    text = str(exc)
    return any(m in text for m in ("no builder backend", "no backend for", "unsupported value"))


def _kind_skipped(job, exc):
    """The result of a step refused because the library lacks the kind, or None."""
    if job["config"]["runner"] == "orvane" and _orvane_unavailable(exc):
        return {"skipped": "index kind %r is not in this build (%s)"
                % (job["config"]["build"]["index.type"], exc)}
    return None


def do_build(job, runner, dataset):
    base = dataset.base()
    rss_before = peers.status_mib("VmRSS")
    try:
        seconds = runner.build(base, job["threads"])
    except Exception as exc:  # noqa: BLE001 - a missing kind is reported, the rest re-raised
        skipped = _kind_skipped(job, exc)
        if skipped:
            return skipped
        raise
    peak = peers.status_mib("VmHWM")
    t0 = time.perf_counter()
    runner.save()
    return {"build_s": seconds, "save_s": time.perf_counter() - t0,
            "build_peak_extra_mb": None if peak is None or rss_before is None
            else max(0.0, peak - rss_before)}


def _timed_pass(runner, rows, k, time_limit):
    """One pass over the queries, one per call: (found ids, queries done, seconds).

    With a time limit the pass stops once it is exceeded, after >= 100 queries."""
    found = np.full((len(rows), k), -1, dtype=np.int64)
    done = 0
    t0 = time.perf_counter()
    for i, row in enumerate(rows):
        ids = runner.search(row, k)
        found[i, :len(ids)] = ids[:k]
        done += 1
        if time_limit and done >= 100 and done % 16 == 0 \
                and time.perf_counter() - t0 > time_limit:
            break
    return found, done, time.perf_counter() - t0


def _timed_calls(call, repeat):
    """Best of `repeat` timings of call(): (its result, seconds); None when it returns None."""
    best = None
    for _ in range(max(1, repeat)):
        t0 = time.perf_counter()
        found = call()
        elapsed = time.perf_counter() - t0
        if found is None:
            return None
        if best is None or elapsed < best[1]:
            best = (found, elapsed)
    return best


def _batch_points(job, runner, dataset, queries, value, all_ids, notes):
    """The batch and filtered points of one sweep value: one call over all queries each."""
    k, repeat, threads = job["k"], job.get("repeat", 1), job.get("batch_threads", 1)
    points = []
    modes = job.get("modes", ["single"])
    if "batch" in modes:
        runner.search_batch(queries[:min(50, len(queries))], k, threads)  # warm-up
        found, elapsed = _timed_calls(lambda: runner.search_batch(queries, k, threads), repeat)
        points.append({"param": value, "nq": len(queries), "qps": len(queries) / elapsed,
                       "mode": "batch", "threads": threads,
                       "looped": not runner.native_batch})
        all_ids.append(np.asarray(found, dtype=np.int64)[:, :k])
    if "filtered" in modes:
        for selectivity in job.get("selectivities", []):
            allowed = allowed_rows(dataset.n, selectivity)
            timed = _timed_calls(
                lambda: runner.search_filtered(queries, k, allowed, threads), repeat)
            if timed is None:
                notes.append("no filtered search")
                break
            found, elapsed = timed
            points.append({"param": value, "nq": len(queries), "qps": len(queries) / elapsed,
                           "mode": "filtered", "threads": threads,
                           "selectivity": selectivity})
            all_ids.append(np.asarray(found, dtype=np.int64)[:, :k])
    return points


def do_search(job, runner, dataset, result_path):
    queries = dataset.queries()
    if job["nq"]:
        queries = queries[:job["nq"]]
    rows = [queries[i:i + 1] for i in range(queries.shape[0])]
    k = job["k"]
    anon_before = peers.status_mib("RssAnon")
    try:
        runner.open(dataset)
    except Exception as exc:  # noqa: BLE001 - as in do_build
        skipped = _kind_skipped(job, exc)
        if skipped:
            return skipped
        raise
    points = []
    all_ids = []
    notes = []
    for value in job["config"]["sweep"]:
        runner.set_param(value)
        if "single" not in job.get("modes", ["single"]):
            points += _batch_points(job, runner, dataset, queries, value, all_ids, notes)
            continue
        warm_end = time.perf_counter() + 1.0
        for row in rows[:min(50, len(rows))]:  # warm caches and lazy set-up, <= ~1 s
            runner.search(row, k)
            if time.perf_counter() > warm_end:
                break
        best = None
        for _ in range(max(1, job.get("repeat", 1))):
            found, done, elapsed = _timed_pass(runner, rows, k, job["time_limit"])
            if best is None or done / elapsed > best[1] / best[2]:
                best = (found, done, elapsed)
        found, done, elapsed = best
        points.append({"param": value, "nq": done, "qps": done / elapsed, "mode": "single",
                       "threads": 1})
        all_ids.append(found[:done])
        points += _batch_points(job, runner, dataset, queries, value, all_ids, notes)
    anon_after = peers.status_mib("RssAnon")
    runner.close()
    np.save(str(result_path) + ".ids.npy",
            np.concatenate(all_ids) if all_ids else np.zeros((0, k), dtype=np.int64))
    return {"points": points, "notes": sorted(set(notes)),
            "search_anon_mb": None if anon_before is None or anon_after is None
            else anon_after - anon_before}


def main():
    step, job_path = sys.argv[1], Path(sys.argv[2])
    job = json.loads(job_path.read_text())
    dataset = Dataset(job["dataset_name"], job["dataset_dir"])
    runner = peers.make_runner(job["config"], job["workdir"], job["cache_dir"])
    result_path = Path(job["result"])
    if step == "build":
        result = do_build(job, runner, dataset)
    elif step == "search":
        result = do_search(job, runner, dataset, result_path)
    else:
        raise SystemExit("unknown step %r" % step)
    library = runner.library()
    if library:
        result["library"] = library
    result_path.write_text(json.dumps(result))


if __name__ == "__main__":
    main()
