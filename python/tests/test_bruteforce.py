"""The bruteforce kind through the Python package and the C interface: exact
results per metric, filtered search (Python and raw ctypes), sq8 recall."""

import ctypes

import numpy as np
import pytest

import orvane
from orvane import _native
from conftest import assert_exact_l2

ALL_ONES = np.uint64(2**64 - 1)


def bf_options(dim, **extra):
    options = {"index.type": "bruteforce", "index.dimension": dim}
    options.update(extra)
    return options


def build(path, data, ids=None, **extra):
    with orvane.Builder(bf_options(data.shape[1], **extra)) as b:
        b.pretrain(data)
        b.insert(data, ids=ids)
        b.dump(path)


def scores(metric, data, queries):
    d = data.astype(np.float64)
    q = queries.astype(np.float64)
    if metric == "l2":
        return ((q[:, None, :] - d[None, :, :]) ** 2).sum(axis=2)
    dot = q @ d.T
    if metric == "inner_product":
        return -dot  # sorted ascending below: best first
    norms = np.linalg.norm(q, axis=1)[:, None] * np.linalg.norm(d, axis=1)[None, :]
    return 1.0 - dot / norms


@pytest.fixture
def data(rng):
    return rng.standard_normal((150, 12)).astype(np.float32)


@pytest.mark.parametrize("metric", ["l2", "inner_product", "cosine"])
@pytest.mark.parametrize("parallel", [1, 3])
def test_rawf32_is_exact(tmp_path, rng, data, metric, parallel):
    path = tmp_path / "bf.idx"
    ids = np.arange(150, dtype=np.uint64) * 5 + 7
    build(path, data, ids=ids, **{"distance.metric": metric})
    queries = rng.standard_normal((6, 12)).astype(np.float32)
    with orvane.Searcher(bf_options(12)) as s:
        s.open(path)
        assert s.count == 150 and s.dimension == 12
        distances, got = s.search(queries, 10, parallel_number=parallel)
    want = scores(metric, data, queries)
    order = np.argsort(want, axis=1, kind="stable")[:, :10]
    np.testing.assert_array_equal(got, ids[order])
    want_d = np.take_along_axis(want, order, axis=1)
    if metric == "inner_product":
        want_d = -want_d
    np.testing.assert_allclose(distances, want_d, rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("allowed", [[], [7, 12, 500], "even", "all", [7, 2**63, 12, 2**64 - 1]])
@pytest.mark.parametrize("parallel", [1, 4])
def test_filtered_search_returns_only_allowed_rows(tmp_path, rng, data, allowed, parallel):
    path = tmp_path / "bf.idx"
    build(path, data)
    if allowed == "even":
        allowed = list(range(0, 150, 2))
    elif allowed == "all":
        allowed = list(range(150))
    queries = rng.standard_normal((4, 12)).astype(np.float32)
    with orvane.Searcher(bf_options(12)) as s:
        s.open(path)
        distances, ids = s.search_with_filter(queries, 5, allowed, parallel_number=parallel)
    admitted = sorted(i for i in set(allowed) if i < 150)
    k = min(5, len(admitted))
    if k:
        d = scores("l2", data[admitted], queries)
        want_rows = np.argsort(d, axis=1)[:, :k]
        want_d = np.take_along_axis(d, want_rows, axis=1)
        np.testing.assert_array_equal(ids[:, :k], np.array(admitted, dtype=np.uint64)[want_rows])
        np.testing.assert_allclose(distances[:, :k], want_d, rtol=1e-4, atol=1e-4)
    assert (ids[:, k:] == ALL_ONES).all()
    assert (distances[:, k:] == np.inf).all()


def test_filtered_search_through_raw_c_calls(tmp_path, rng, data):
    path = tmp_path / "bf.idx"
    build(path, data)
    lib = _native.load()
    err = ctypes.create_string_buffer(256)
    handle = lib.orvane_searcher_create(b'{"index.type":"bruteforce","index.dimension":"12"}',
                                        err, len(err))
    assert handle, err.value
    try:
        assert lib.orvane_searcher_open(handle, str(path).encode(), err, len(err)) == 0, err.value
        queries = np.ascontiguousarray(data[[3, 40]])
        allowed = np.array([3, 40, 41, 99], dtype=np.uint64)
        distances = np.empty((2, 3), dtype=np.float32)
        ids = np.empty((2, 3), dtype=np.uint64)
        rc = lib.orvane_searcher_search_with_filter(
            handle, queries.ctypes.data, 2, 3, distances.ctypes.data, ids.ctypes.data,
            allowed.ctypes.data, allowed.size, b'{"search.parallel_number":"2"}', err, len(err))
        assert rc == 0, err.value
        assert ids[0, 0] == 3 and ids[1, 0] == 40
        assert distances[0, 0] == 0.0 and distances[1, 0] == 0.0
        assert set(ids.ravel().tolist()) <= {3, 40, 41, 99}
        # An out-of-range parallel number is refused with -1 and a message.
        rc = lib.orvane_searcher_search_with_filter(
            handle, queries.ctypes.data, 2, 3, distances.ctypes.data, ids.ctypes.data,
            allowed.ctypes.data, allowed.size, b'{"search.parallel_number":"1001"}', err,
            len(err))
        assert rc == -1
        assert err.value == b"ParallelNumber is out of range[1001 vs 1000]"
    finally:
        lib.orvane_searcher_destroy(handle)


def test_sq8_finds_the_exact_neighbours_mostly(tmp_path, rng):
    centres = rng.standard_normal((10, 32)).astype(np.float32) * 3
    data = (centres[rng.integers(0, 10, 2000)] +
            rng.standard_normal((2000, 32)).astype(np.float32))
    queries = data[:50] + 0.1 * rng.standard_normal((50, 32)).astype(np.float32)
    path = tmp_path / "sq8.idx"
    build(path, data, **{"encoding.type": "sq8"})
    with orvane.Searcher(bf_options(32)) as s:
        s.open(path)
        _, ids = s.search(queries, 10)
    want = np.argsort(scores("l2", data, queries), axis=1)[:, :10]
    recall = np.mean([len(set(ids[i]) & set(want[i])) / 10 for i in range(50)])
    assert recall >= 0.95


def test_demo_style_l2_matches_the_shared_checker(tmp_path, rng, data):
    path = tmp_path / "bf.idx"
    build(path, data)
    queries = rng.standard_normal((5, 12)).astype(np.float32)
    with orvane.Searcher(bf_options(12)) as s:
        s.open(path)
        distances, ids = s.search(queries, 8)
    assert_exact_l2(distances, ids, data, queries)


@pytest.mark.parametrize("ids, message", [
    ([0, 1, 2**64 - 1, 3],
     "Row id at row [2] is 18446744073709551615, the id of a missing hit"),
    ([5, 6, 7, 5], "Row id [5] appears twice: at row [0] and row [3]"),
])
def test_unusable_row_ids_are_refused_at_insert(tmp_path, ids, message):
    data = np.arange(16, dtype=np.float32).reshape(4, 4)
    with pytest.raises(orvane.OrvaneError) as info:
        build(tmp_path / "bf.idx", data, ids=np.array(ids, dtype=np.uint64))
    assert str(info.value) == message
