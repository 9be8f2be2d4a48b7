"""orvane.distributed on a local Dask cluster: sharded results equal one index's,
the merge order per metric, filters routed by id range, lost workers, refused
manifests and bad input."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

import orvane  # noqa: E402
import orvane.distributed as od  # noqa: E402
from orvane.distributed import _merge  # noqa: E402

PYTHON_DIR = str(Path(__file__).resolve().parent.parent)
DIM = 12
MISSING = np.uint64(2**64 - 1)


def local_cluster(processes, workers=2):
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=processes,
                                    dashboard_address=":0", silence_logs=40)


@pytest.fixture(scope="module")
def client():
    """Two worker processes of one thread each; they import orvane from this tree."""
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [PYTHON_DIR] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    with local_cluster(True) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture
def two_workers(client):
    client.wait_for_workers(2, timeout=60)
    return client


def single_index(path, data, ids, options):
    with orvane.Builder(options) as b:
        b.pretrain(data)
        b.insert(data, ids)
        b.dump(path)
    s = orvane.Searcher({"index.type": options["index.type"], "index.dimension": DIM})
    s.open(path)
    return s


def bf_options(metric):
    return {"index.type": "bruteforce", "index.dimension": DIM, "distance.metric": metric,
            "encoding.type": "rawf32"}


def sources(kind, data, tmp):
    """The same rows as a Dask array, a numpy array or two vector files."""
    if kind == "dask":
        return da.from_array(data, chunks=(70, DIM))
    if kind == "numpy":
        return data
    a, b = tmp / "a.npy", tmp / "b.fbin"
    np.save(a, data[:130])
    with open(b, "wb") as f:
        f.write(np.array([data.shape[0] - 130, DIM], dtype=np.uint32).tobytes())
        data[130:].tofile(f)
    return [a, b]


# metric, row source, caller ids, shard count
EXACT_CASES = [
    ("l2", "dask", True, 3),
    ("inner_product", "numpy", False, 4),
    ("cosine", "files", False, 2),
]


@pytest.mark.parametrize("metric,source,caller_ids,shards", EXACT_CASES)
def test_sharded_bruteforce_equals_one_index(two_workers, tmp_path, metric, source, caller_ids,
                                             shards):
    rng = np.random.default_rng(5)
    data = rng.standard_normal((300, DIM)).astype(np.float32)
    ids = np.arange(300, dtype=np.uint64)
    if caller_ids:
        ids = ids * 7 + 11
    # The first and last row of every shard are queries and allowed: a filter routed to
    # the wrong shard loses them as the best hit.
    edges = np.concatenate([[r[0], r[-1]] for r in np.array_split(np.arange(300), shards)])
    queries = np.concatenate([rng.standard_normal((9, DIM)), data[edges]]).astype(np.float32)
    allowed = np.union1d(ids[rng.random(300) < 0.2], ids[edges])
    manifest = od.build(two_workers, sources(source, data, tmp_path), bf_options(metric), shards,
                        tmp_path / "sharded", ids=ids if caller_ids else None)
    doc = json.loads(Path(manifest).read_text())
    assert [s["rows"] for s in doc["shards"]] == [len(r) for r in np.array_split(ids, shards)]
    with single_index(str(tmp_path / "one.idx"), data, ids, bf_options(metric)) as one, \
            od.ShardedSearcher(two_workers, manifest) as sharded:
        assert (sharded.count, sharded.dimension, sharded.shards) == (300, DIM, shards)
        assert len(set(sharded.placement)) == 2  # the shards are spread over both workers
        for topk in (10, 400):  # 400 > rows: both pad the same way
            want_d, want_i = one.search(queries, topk)
            got_d, got_i = sharded.search(queries, topk)
            np.testing.assert_array_equal(got_i, want_i)
            np.testing.assert_array_equal(got_d, want_d)
        want_d, want_i = one.search_with_filter(queries, 10, allowed)
        got_d, got_i = sharded.search_with_filter(queries, 10, allowed)
        np.testing.assert_array_equal(got_i, want_i)
        np.testing.assert_array_equal(got_d, want_d)


# metric, parts as (distances, ids) rows of one query, topk, merged (distances, ids)
M = int(MISSING)
INF = float("inf")
MERGE_CASES = [
    ("l2", [([1.0, 4.0], [10, 11]), ([2.0, 3.0], [20, 21])], 3, ([1.0, 2.0, 3.0], [10, 20, 21])),
    ("cosine", [([0.5, INF], [1, M]), ([0.2, INF], [2, M])], 3, ([0.2, 0.5, INF], [2, 1, M])),
    ("inner_product", [([9.0, -1.0], [1, 2]), ([5.0, -INF], [3, M])], 3,
     ([9.0, 5.0, -1.0], [1, 3, 2])),
    ("inner_product", [([-5.0, -INF], [1, M]), ([-2.0, -INF], [2, M])], 4,
     ([-2.0, -5.0, -INF, -INF], [2, 1, M, M])),
    ("l2", [([1.0], [9]), ([1.0], [3])], 2, ([1.0, 1.0], [3, 9])),  # ties by id
    ("l2", [([INF, INF], [M, M])], 3, ([INF, INF, INF], [M, M, M])),  # padded past the slots
]


@pytest.mark.parametrize("metric,parts,topk,want", MERGE_CASES)
def test_merge_keeps_the_best_hits_in_metric_order(metric, parts, topk, want):
    arrays = [(np.array([d], dtype=np.float32), np.array([i], dtype=np.uint64)) for d, i in parts]
    distances, ids = _merge.merge(arrays, topk, metric)
    np.testing.assert_array_equal(distances, np.array([want[0]], dtype=np.float32))
    np.testing.assert_array_equal(ids, np.array([want[1]], dtype=np.uint64))


def clustered(rng, n):
    centres = rng.standard_normal((10, DIM)) * 5.0
    return (centres[rng.integers(0, 10, n)] + rng.standard_normal((n, DIM))).astype(np.float32)


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found.tolist(), truth.tolist())])


APPROX_CASES = [
    ({"index.type": "ivf", "ivf.build.num_lists": 8}, {"nprobe": 2}),
    ({"index.type": "diskann", "encoding.type": "pq", "encoding.pq.m": 4,
      "diskann.build.neighbor_count": 16, "diskann.build.ef_construction": 50},
     {"diskann.search.list_size": 20}),
]


@pytest.mark.parametrize("options,search", APPROX_CASES)
def test_sharded_approximate_kinds_reach_the_single_index_recall(two_workers, tmp_path, options,
                                                                  search):
    rng = np.random.default_rng(9)
    data = clustered(rng, 1200)
    queries = clustered(rng, 40)
    ids = np.arange(1200, dtype=np.uint64)
    truth = np.argsort(((queries[:, None] - data[None]) ** 2).sum(-1), axis=1)[:, :10]
    options = dict(options, **{"index.dimension": DIM})
    manifest = od.build(two_workers, data, options, 2, tmp_path / "sharded")
    with single_index(str(tmp_path / "one.idx"), data, ids, options) as one, \
            od.ShardedSearcher(two_workers, manifest) as sharded:
        single = recall(one.search(queries, 10, **search)[1], truth)
        both = recall(sharded.search(queries, 10, **search)[1], truth)
    assert both >= single - 0.01, (both, single)


@pytest.fixture
def l2_sharded(tmp_path, rng):
    data = rng.standard_normal((200, DIM)).astype(np.float32)
    queries = rng.standard_normal((6, DIM)).astype(np.float32)
    return data, queries, tmp_path / "sharded"


def exact_ids(data, queries, k, rows=slice(None)):
    d = ((queries[:, None].astype(np.float64) - data[None, rows]) ** 2).sum(-1)
    return (np.argsort(d, axis=1, kind="stable")[:, :k] + (rows.start or 0)).astype(np.uint64)


def search_while_killing(client, manifest, queries):
    """One search during which the worker of shard 0 gets SIGKILL while it runs the
    shard's task, and one search after; returns both answers."""
    answers, failures = [], []
    with od.ShardedSearcher(client, manifest) as s:
        victim = s.placement[0]
        pid = client.run(os.getpid, workers=[victim])[victim]

        def search():
            try:
                answers.append(s.search(queries, 10)[1])
            except Exception as e:  # reported below, in the test's own thread
                failures.append(e)

        t = threading.Thread(target=search)
        t.start()
        deadline = time.time() + 30
        while not client.processing(workers=[victim]).get(victim) and time.time() < deadline:
            time.sleep(0.002)
        os.kill(pid, signal.SIGKILL)
        t.join()
        assert not failures, failures
        search()
        assert not failures, failures
        assert victim not in s.placement
    return answers


# allowed-failures 3: the scheduler reruns the task; 0: it reports KilledWorker at
# once and the searcher sends the shard to another worker itself.
@pytest.mark.parametrize("allowed_failures", [3, 0])
def test_worker_killed_mid_search_still_gives_complete_answers(client, tmp_path, allowed_failures):
    rng = np.random.default_rng(3)
    data = rng.standard_normal((30000, DIM)).astype(np.float32)  # shard tasks long enough to hit
    queries = rng.standard_normal((3000, DIM)).astype(np.float32)
    manifest = od.build(client, data, bf_options("l2"), 2, tmp_path / "sharded")
    with single_index(str(tmp_path / "one.idx"), data, None, bf_options("l2")) as one:
        want = one.search(queries, 10)[1]
    with dask.config.set({"distributed.scheduler.allowed-failures": allowed_failures}), \
            local_cluster(True) as cluster, distributed.Client(cluster) as c:
        answers = search_while_killing(c, manifest, queries)
    for found in answers:
        np.testing.assert_array_equal(found, want)


def test_Stress_concurrent_sharded_searches_all_answer_exactly(two_workers, l2_sharded):
    data, queries, directory = l2_sharded
    manifest = od.build(two_workers, data, bf_options("l2"), 3, directory)
    want = exact_ids(data, queries, 5)
    allowed = np.arange(0, 200, 3, dtype=np.uint64)
    want_filtered = allowed[exact_ids(data[allowed.astype(np.int64)], queries, 5).astype(np.int64)]
    failures = []
    with od.ShardedSearcher(two_workers, manifest) as s:
        def worker(seed):
            try:
                for j in range(6):
                    if (seed + j) % 2:
                        np.testing.assert_array_equal(s.search(queries, 5)[1], want)
                    else:
                        got = s.search_with_filter(queries, 5, allowed)[1]
                        np.testing.assert_array_equal(got, want_filtered)
            except Exception as e:  # reported in the test's own thread
                failures.append(e)

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert not failures, failures


@pytest.fixture
def inproc_client():
    with local_cluster(False) as cluster, distributed.Client(cluster) as c:
        yield c


def test_shard_that_cannot_be_reopened_is_named_or_left_out_when_partial(inproc_client,
                                                                          l2_sharded):
    data, queries, directory = l2_sharded
    manifest = od.build(inproc_client, data, bf_options("l2"), 2, directory)
    with od.ShardedSearcher(inproc_client, manifest) as s:
        os.remove(directory / json.loads(Path(manifest).read_text())["shards"][1]["file"])
        inproc_client.retire_workers(workers=[s.placement[1]])
        with pytest.raises(od.ShardError, match="searching shard 1 of 2") as e:
            s.search(queries, 10)
        assert e.value.shard == 1 and "No such file" in str(e.value)
        distances, ids, answered = s.search(queries, 10, allow_partial=True)
    assert answered == [0]
    np.testing.assert_array_equal(ids, exact_ids(data, queries, 10, slice(0, 100)))


def edit_manifest(key, value):
    def edit(manifest):
        doc = json.loads(manifest.read_text())
        doc[key] = value
        manifest.write_text(json.dumps(doc))
    return edit


def damage_shard(manifest):
    shard = manifest.parent / "shard-00001-of-00002.idx"
    raw = bytearray(shard.read_bytes())
    raw[len(raw) // 2] ^= 0xFF
    shard.write_bytes(bytes(raw))


# how the built directory is spoilt, the kind the caller expects, error type, message
REFUSED_MANIFESTS = [
    (lambda m: (m.parent / "shard-00000-of-00002.idx").unlink(), None, od.ShardError,
     "opening shard 0 of 2.*No such file"),
    (damage_shard, None, od.ShardError, "opening shard 1 of 2.*checksum"),
    (edit_manifest("library_version", "0.0.9"), None, orvane.OrvaneError, "library version"),
    (edit_manifest("format_version", 2), None, orvane.OrvaneError, "format version 2"),
    (edit_manifest("format", "other"), None, orvane.OrvaneError, "format is not"),
    (edit_manifest("kind", "demo"), None, orvane.OrvaneError, "kind 'demo'"),
    (lambda m: None, "ivf", orvane.OrvaneError, "holds a bruteforce index, not ivf"),
    (lambda m: m.write_text("{"), None, orvane.OrvaneError, "invalid JSON"),
]


@pytest.mark.parametrize("spoil,kind,error,message", REFUSED_MANIFESTS)
def test_bad_manifests_are_refused_before_any_search(inproc_client, l2_sharded, spoil, kind, error,
                                                     message):
    data, _, directory = l2_sharded
    manifest = Path(od.build(inproc_client, data, bf_options("l2"), 2, directory))
    spoil(manifest)
    with pytest.raises(error, match=message):
        od.ShardedSearcher(inproc_client, manifest, kind=kind)


def test_bad_queries_and_options_are_refused_at_once(inproc_client, l2_sharded):
    data, queries, directory = l2_sharded
    manifest = od.build(inproc_client, data, bf_options("l2"), 2, directory)
    with pytest.raises(orvane.OrvaneError):
        od.ShardedSearcher(inproc_client, manifest, searcher_options={"io.reader.kind": "x"})
    s = od.ShardedSearcher(inproc_client, manifest)
    with pytest.raises(ValueError, match="12"):
        s.search(queries[:, :5], 3)
    with pytest.raises(orvane.OrvaneError):
        s.search(queries, 3, nprobe=2)  # not a bruteforce search option
    with pytest.raises(ValueError, match="threads"):
        s.search_with_filter(queries, 3, [1, 2], threads=0)
    np.testing.assert_array_equal(s.search(queries, 3, threads=2)[1], exact_ids(data, queries, 3))
    s.close()
    with pytest.raises(ValueError, match="closed"):
        s.search(queries, 3)


# vectors (rows of DIM unless stated), options change, shards, error type, message
BAD_BUILDS = [
    (None, {}, 0, ValueError, "shards must be in 1..40"),
    (None, {}, 41, ValueError, "shards must be in 1..40"),
    (None, {}, "2", TypeError, "shards must be an int"),
    (None, {"index.type": "demo"}, 2, ValueError, "index.type must be one of"),
    (None, {"encoding.type": "rawf64"}, 2, orvane.OrvaneError, ""),
    (None, {"bruteforce.bogus": 1}, 2, orvane.OrvaneError, "bruteforce.bogus"),
    (None, {"index.dimension": np.int64(DIM)}, np.int64(3), None, None),  # numpy scalars work
    (np.zeros((40, 5), np.float32), {}, 2, ValueError, "5 columns"),
]


@pytest.mark.parametrize("vectors,change,shards,error,message", BAD_BUILDS)
def test_builds_refused_leave_nothing_behind(inproc_client, tmp_path, rng, vectors, change,
                                                  shards, error, message):
    if vectors is None:
        vectors = rng.standard_normal((40, DIM)).astype(np.float32)
    options = dict(bf_options("l2"), **change)
    out = tmp_path / "out"
    if error is None:
        path = od.build(inproc_client, vectors, options, shards, out)
        manifest = json.loads(Path(path).read_text())
        assert manifest["options"]["index.dimension"] == DIM and len(manifest["shards"]) == shards
        return
    with pytest.raises(error, match=message):
        od.build(inproc_client, vectors, options, shards, out)
    assert not out.exists() or list(out.iterdir()) == []


def test_shard_failing_on_a_worker_removes_the_written_shards(inproc_client, tmp_path, rng):
    out = tmp_path / "out"
    (out / "shard-00001-of-00002.idx.part").mkdir(parents=True)  # shard 1 cannot be written
    data = rng.standard_normal((40, DIM)).astype(np.float32)
    with pytest.raises(od.ShardError, match="building shard 1 of 2.*not a regular file"):
        od.build(inproc_client, data, bf_options("l2"), 2, out)
    assert [p.name for p in out.iterdir()] == ["shard-00001-of-00002.idx.part"]


def test_cluster_without_workers_is_refused(tmp_path, rng):
    data = rng.standard_normal((20, DIM)).astype(np.float32)
    with local_cluster(False, workers=2) as cluster, distributed.Client(cluster) as c:
        manifest = od.build(c, data, bf_options("l2"), 2, tmp_path / "x")
    with local_cluster(False, workers=0) as cluster, distributed.Client(cluster) as c:
        for call in (lambda: od.build(c, data, bf_options("l2"), 2, tmp_path / "y"),
                     lambda: od.ShardedSearcher(c, manifest)):
            with pytest.raises(RuntimeError, match="no workers"):
                call()
    assert not (tmp_path / "y").exists()


def test_existing_manifest_is_not_overwritten(inproc_client, l2_sharded):
    data, _, directory = l2_sharded
    od.build(inproc_client, data, bf_options("l2"), 2, directory)
    with pytest.raises(FileExistsError):
        od.build(inproc_client, data, bf_options("l2"), 2, directory)


def test_core_package_does_not_import_dask():
    code = "import sys, orvane; sys.exit(any(m.split('.')[0] in ('dask', 'distributed') " \
           "for m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", code], cwd=PYTHON_DIR).returncode == 0


@pytest.mark.parametrize("given", [{}, {"diskann.build.thread_count": 2}])
def test_shard_builds_use_the_worker_threads_unless_told(inproc_client, tmp_path, rng,
                                                         monkeypatch, given):
    """Thread counts left out are the worker's one thread, not the machine's
    cores; the ones given are kept as the caller wrote them."""
    seen = []

    class Recording(orvane.Builder):
        def __init__(self, opts):
            seen.append(dict(opts))
            super().__init__(opts)

    monkeypatch.setattr(orvane, "Builder", Recording)
    options = {"index.type": "diskann", "index.dimension": DIM, "diskann.build.neighbor_count": 8,
               **given}
    data = rng.standard_normal((60, DIM)).astype(np.float32)
    od.build(inproc_client, data, options, 2, tmp_path / "out")
    shards = seen[1:]  # the first is the options check before any work is sent
    keys = [k for k in shards[0] if k.endswith("thread_count")]
    assert len(shards) == 2 and len(keys) >= 2
    assert all(s[k] == given.get(k, 1) for s in shards for k in keys)
