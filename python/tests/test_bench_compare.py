"""The comparison benchmark harness (bench/compare.py) on small data.

The figures themselves are not checked (that is the benchmark's job); what is
checked is what would make them wrong: the ground truth, the recall, the file
readers, the runner selection, and one end-to-end run with the demo kind and
the numpy scan.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import compare  # noqa: E402
import datasets  # noqa: E402
import peers  # noqa: E402


def brute_force(base, queries, k):
    d = ((queries[:, None, :].astype(np.float64) - base[None, :, :]) ** 2).sum(2)
    order = np.argsort(d, axis=1, kind="stable")[:, :k]
    return order, np.take_along_axis(d, order, axis=1)


@pytest.mark.parametrize("n,dim,block", [(500, 8, 64), (300, 3, 1000), (50, 16, 7)])
def test_exact_knn_matches_brute_force_across_blocks(rng, n, dim, block):
    base = rng.standard_normal((n, dim)).astype(np.float32) * 100 + 1000  # cancellation-prone
    queries = rng.standard_normal((20, dim)).astype(np.float32) * 100 + 1000
    ids, dist = datasets.exact_knn(base, queries, 30, block=block)
    want_ids, want_d = brute_force(base, queries, 30)
    np.testing.assert_array_equal(ids, want_ids)
    np.testing.assert_allclose(dist, want_d, rtol=1e-6)


def test_exact_knn_with_fewer_rows_than_k(rng):
    base = rng.standard_normal((5, 4)).astype(np.float32)
    ids, _ = datasets.exact_knn(base, base[:2], 100)
    assert ids.shape == (2, 5)
    assert list(ids[:, 0]) == [0, 1]


def _recall_case():
    # Rows 0..3 on a line; row 4 duplicates row 1 (a tie with it).
    base = np.array([[0.0], [1.0], [2.0], [3.0], [1.0]], dtype=np.float32)
    queries = np.array([[0.0]], dtype=np.float32)
    gt_ids, gt_dist = datasets.exact_knn(base, queries, 3)
    return base, queries, gt_ids, gt_dist


@pytest.mark.parametrize("found,by_dist,by_id", [
    ([0, 1, 4], 1.0, 1.0),      # the exact answer
    ([0, 4, 1], 1.0, 1.0),      # tie order does not matter
    ([0, 1, 2], 2 / 3, 2 / 3),  # row 2 lies beyond the 3rd true distance
    ([0, 0, 0], 1 / 3, 1 / 3),  # duplicates count once
    ([0, -1, -1], 1 / 3, 1 / 3),  # missing hits count nothing
    ([3, 2, 2], 0.0, 0.0),
])
def test_recall_at_k(found, by_dist, by_id):
    base, queries, gt_ids, gt_dist = _recall_case()
    got = compare.recall_at_k(np.array([found]), queries, gt_ids, gt_dist, base, 3)
    assert got == pytest.approx((by_dist, by_id))


@pytest.mark.parametrize("ext", [".fvecs", ".fbin", ".npy"])
def test_vector_files_round_trip(tmp_path, rng, ext):
    data = rng.standard_normal((7, 5)).astype(np.float32)
    path = tmp_path / ("v" + ext)
    if ext == ".fvecs":
        rows = np.hstack([np.full((7, 1), 5, dtype=np.int32), data.view(np.int32)])
        rows.tofile(path)
    elif ext == ".fbin":
        datasets.write_fbin(path, data)
    else:
        np.save(path, data)
    np.testing.assert_array_equal(datasets.read_matrix(path), data)


@pytest.mark.parametrize("content,ext", [
    (np.array([5, 1, 2], dtype=np.int32), ".fvecs"),        # row shorter than its dimension
    (np.array([2, 1, 2, 3, 1, 2], dtype=np.int32), ".ivecs"),  # rows of different dimensions
    (np.array([3, 2, 0, 0], dtype=np.uint32), ".fbin"),     # header larger than the payload
    (np.array([1], dtype=np.int32), ".txt"),
])
def test_damaged_vector_files_are_refused(tmp_path, content, ext):
    path = tmp_path / ("bad" + ext)
    content.tofile(path)
    with pytest.raises(ValueError):
        datasets.read_matrix(path)


@pytest.mark.parametrize("text,want", [
    (None, set(peers.PEER_GROUPS)),
    ("none", set()),
    ("faiss", {"faiss-flat", "faiss-ivf", "faiss-ivfpq", "faiss-hnsw"}),
    ("hnswlib", {"hnswlib-py", "hnswlib-native"}),
    ("hnswlib-py", {"hnswlib-py"}),
    ("ref,hnswlib-native", {"ref", "hnswlib-native"}),
])
def test_peer_selection(text, want):
    assert peers._selection(text, peers.PEER_GROUPS) == want


def test_unknown_peer_is_refused():
    with pytest.raises(SystemExit):
        peers._selection("nosuch", peers.PEER_GROUPS)


def test_every_orvane_kind_has_rows_and_quick_shortens_sweeps():
    args = argparse.Namespace(kinds=None, peers="none", quick=True, ivf_lists=None,
                              build_threads=2)
    configs = peers.make_configs(args, 16, 60000)
    kinds = {s["build"]["index.type"] for s in configs}
    assert kinds == set(peers.ORVANE_KINDS)
    ivf = [s for s in configs if s["build"]["index.type"] == "ivf"][0]
    assert ivf["build"]["ivf.build.num_lists"] == 256
    assert ivf["sweep"] == [1, 8, 64]


def test_generated_dataset_is_seeded():
    a = datasets.generate_clustered(300, 24, 10, seed=7)
    b = datasets.generate_clustered(300, 24, 10, seed=7)
    c = datasets.generate_clustered(300, 24, 10, seed=8)
    np.testing.assert_array_equal(a[0], b[0])
    assert not np.array_equal(a[0], c[0])


def test_compare_end_to_end_demo_and_numpy(tmp_path):
    out = tmp_path / "out.json"
    plot = tmp_path / "out.png"
    proc = subprocess.run(
        [sys.executable, str(BENCH / "compare.py"), "--dataset", "random-2000-16",
         "--nq-generated", "50", "--cache-dir", str(tmp_path / "cache"), "--kinds", "demo",
         "--peers", "numpy", "--repeat", "2", "--json", str(out), "--plot", str(plot)],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(out.read_text())
    assert result["n"] == 2000 and result["dim"] == 16 and result["queries"] == 50
    assert result["repeat"] == 2 and len(result["load_average"]) == 2
    rows = {r["name"]: r for r in result["results"]}
    assert set(rows) == {"orvane demo", "numpy scan"}
    for r in rows.values():
        (point,) = r["points"]
        assert point["nq"] == 50
        assert point["recall"] == pytest.approx(1.0)  # both scans are exact
        assert point["qps"] > 0
    assert "orvane demo" in proc.stdout
    try:
        import matplotlib  # noqa: F401
        assert plot.stat().st_size > 0
    except ImportError:
        assert "no plot" in proc.stdout
    # The prepared dataset and its ground truth are cached for the next run.
    assert (tmp_path / "cache" / "random-2000-16-q50-s42" / "gt_ids.npy").exists()


def test_compare_reports_a_kind_missing_from_the_build_as_skipped(tmp_path):
    """Rows of a kind the library lacks are skipped with one line and do not fail the run;
    once the kind exists, its exact (rawf32) rows must find the true neighbours."""
    out = tmp_path / "out.json"
    proc = subprocess.run(
        [sys.executable, str(BENCH / "compare.py"), "--dataset", "random-1000-8",
         "--nq-generated", "20", "--cache-dir", str(tmp_path / "cache"), "--kinds",
         "bruteforce", "--peers", "none", "--json", str(out), "--plot", ""],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = json.loads(out.read_text())["results"]
    assert {r["name"] for r in rows} == {"orvane bruteforce rawf32", "orvane bruteforce sq8",
                                         "orvane bruteforce rawf32 parallel 2"}
    for r in rows:
        if "skipped" in r:
            assert "not in this build" in r["skipped"]
            assert "skipped %s:" % r["name"] in proc.stdout
        else:
            assert "failed" not in r, r
            assert r["points"][0]["nq"] == 20
            if "rawf32" in r["name"]:
                assert r["points"][0]["recall"] == pytest.approx(1.0)


@pytest.mark.parametrize("n,selectivity,count", [
    (2000, 0.5, 1000), (2000, 0.001, 2), (2000, 0.0001, 1), (10, 1.0, 10)])
def test_allowed_rows_are_seeded_distinct_and_ascending(n, selectivity, count):
    rows = datasets.allowed_rows(n, selectivity)
    assert rows.size == count and np.all(np.diff(rows) > 0)
    assert rows.min() >= 0 and rows.max() < n
    np.testing.assert_array_equal(rows, datasets.allowed_rows(n, selectivity))


@pytest.mark.parametrize("found,want", [
    ([2, 4, 0], 1.0),    # the admitted rows nearest the query, best first
    ([4, 2, -1], 1.0),   # only two rows are admitted: two hits are all there is
    ([1, 2, 4], 0.5),    # row 1 is nearer but refused by the filter: it counts nothing
    ([3, -1, -1], 0.0),
])
def test_filtered_recall_counts_only_admitted_rows(found, want):
    base = np.array([[0.0], [1.0], [2.0], [3.0], [1.0]], dtype=np.float32)
    queries = np.array([[0.0]], dtype=np.float32)
    allowed = np.array([2, 4], dtype=np.int64)
    truth = {0.4: (allowed,) + compare.filtered_truth(base, queries, allowed, 3)}
    point = {"selectivity": 0.4, "ids": np.array([found])}
    assert compare.point_recall(point, queries, truth, base, 3)[0] == pytest.approx(want)


def test_compare_batch_and_filtered_modes(tmp_path):
    out = tmp_path / "out.json"
    proc = subprocess.run(
        [sys.executable, str(BENCH / "compare.py"), "--dataset", "random-2000-16",
         "--nq-generated", "30", "--cache-dir", str(tmp_path / "cache"), "--kinds", "demo",
         "--peers", "numpy", "--modes", "batch,filtered", "--selectivities", "0.1,0.001",
         "--batch-threads", "2", "--json", str(out), "--plot", ""],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = {r["name"]: r for r in json.loads(out.read_text())["results"]}
    numpy_points = [(p["mode"], p.get("selectivity")) for p in rows["numpy scan"]["points"]]
    assert numpy_points == [("batch", None), ("filtered", 0.1), ("filtered", 0.001)]
    for p in rows["numpy scan"]["points"] + rows["orvane demo"]["points"]:
        assert p["recall"] == pytest.approx(1.0) and p["threads"] == 2
    # The demo kind cannot filter: its rows say so instead of failing the run.
    assert [p["mode"] for p in rows["orvane demo"]["points"]] == ["batch"]
    assert "orvane demo: no filtered search" in proc.stdout
    assert "filter 0.1% 2t" in proc.stdout


# A stand-in FAISS package with the calls the FAISS runner makes (an exact
# scan), so that the choice of package can be checked without a FAISS build.
_FAKE_FAISS = '''
import pickle
import numpy as np

__version__ = "0.0-test"


def get_compile_options():
    return "OPTIMIZE AVX2"


def omp_set_num_threads(n):
    pass


class IndexFlatL2:
    is_trained = True

    def __init__(self, d):
        self.base = np.zeros((0, d), dtype=np.float32)

    def add(self, x):
        self.base = np.vstack([self.base, x])

    def search(self, q, k):
        d = ((q[:, None, :].astype(np.float64) - self.base[None]) ** 2).sum(2)
        ids = np.argsort(d, axis=1, kind="stable")[:, :k]
        return np.take_along_axis(d, ids, axis=1).astype(np.float32), ids


def write_index(index, path):
    with open(path, "wb") as f:
        pickle.dump(index.base, f)


def read_index(path):
    with open(path, "rb") as f:
        base = pickle.load(f)
    index = IndexFlatL2(base.shape[1])
    index.add(base)
    return index
'''


def _fake_faiss(root):
    (root / "faiss").mkdir(parents=True)
    (root / "faiss" / "__init__.py").write_text(_FAKE_FAISS)
    return root


def test_faiss_path_must_hold_a_faiss_package(tmp_path):
    assert "holds no faiss package" in peers.faiss_path_problem(str(tmp_path))
    assert peers.faiss_path_problem(str(_fake_faiss(tmp_path / "ok"))) is None
    proc = subprocess.run(
        [sys.executable, str(BENCH / "compare.py"), "--dataset", "random-200-4",
         "--faiss-path", str(tmp_path), "--peers", "faiss-flat", "--kinds", "none"],
        capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0 and "--faiss-path" in proc.stderr


@pytest.mark.parametrize("faiss,blas", [(None, None), ("/opt/f", 2)])
def test_child_env_carries_the_faiss_choice_and_blas_threads(monkeypatch, faiss, blas):
    monkeypatch.setenv(peers.FAISS_PATH_ENV, "/left/over")
    env = peers.child_env(1, blas, faiss)
    assert env["OMP_NUM_THREADS"] == "1"
    assert env["OPENBLAS_NUM_THREADS"] == str(blas or 1)
    # No choice means Debian's package, even when the parent had one set.
    assert env.get(peers.FAISS_PATH_ENV) == faiss


def test_compare_runs_the_faiss_package_it_is_given_and_says_which(tmp_path):
    fake = _fake_faiss(tmp_path / "faiss-native")
    out = tmp_path / "out.json"
    proc = subprocess.run(
        [sys.executable, str(BENCH / "compare.py"), "--dataset", "random-500-8",
         "--nq-generated", "20", "--cache-dir", str(tmp_path / "cache"), "--kinds", "none",
         "--peers", "faiss-flat", "--modes", "single,batch", "--faiss-path", str(fake),
         "--json", str(out), "--plot", ""],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(out.read_text())
    (row,) = result["results"]
    want = "native FAISS 0.0-test from %s (module swigfaiss, compile options: OPTIMIZE AVX2)" \
        % (fake / "faiss").resolve()
    assert row["library"] == want
    assert result["libraries"] == ["faiss: " + want]
    assert "faiss: " + want in proc.stdout
    assert [p["mode"] for p in row["points"]] == ["single", "batch"]
    for p in row["points"]:
        assert p["recall"] == pytest.approx(1.0)  # the stand-in scan is exact


def test_machine_ceiling_reads_the_probe_and_says_when_it_is_missing(monkeypatch, tmp_path):
    import ceiling

    if not ceiling.probe_path().exists():
        pytest.skip("bench_core_scaling is not built")
    measured = ceiling.measure(runs=1, mib=16)
    assert measured is not None
    assert measured["threads"] == os.cpu_count()
    assert measured["compute"] > 0 and measured["memory"] > 0
    assert "%.2fx the memory reads" % measured["memory"] in ceiling.describe(measured)
    monkeypatch.setenv("ORVANE_LIB_DIR", str(tmp_path))  # no probe there
    assert ceiling.measure() is None
    assert "not measured" in ceiling.describe(None)
