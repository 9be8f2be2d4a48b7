"""One call over many queries: the same hits for any thread count on every kind,
and the call's bad inputs refused with a message, the searcher usable after."""

import contextlib
import ctypes

import numpy as np
import pytest

import orvane
from orvane import _native

DIM = 8
KINDS = {
    "bruteforce": ({}, {}),
    "ivf": ({"ivf.build.num_lists": 6}, {"nprobe": 3}),
    "diskann": ({"diskann.build.neighbor_count": 12}, {"diskann.search.list_size": 24}),
}


@pytest.fixture(scope="module")
def indexes(tmp_path_factory):
    rng = np.random.default_rng(7)
    data = rng.standard_normal((240, DIM)).astype(np.float32)
    out = {}
    for kind, (build, _) in KINDS.items():
        path = tmp_path_factory.mktemp(kind) / "x.idx"
        with orvane.Builder({"index.type": kind, "index.dimension": DIM, **build}) as b:
            b.pretrain(data)
            b.insert(data)
            b.dump(path)
        out[kind] = path
    return out


def open_searcher(indexes, kind):
    s = orvane.Searcher({"index.type": kind, "index.dimension": DIM})
    s.open(indexes[kind])
    return s


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_batch_equals_one_by_one_for_any_thread_count(indexes, kind):
    queries = np.random.default_rng(3).standard_normal((50, DIM)).astype(np.float32)
    extra = KINDS[kind][1]
    with open_searcher(indexes, kind) as s:
        rows = [s.search(q, 5, threads=1, **extra) for q in queries]
        want_d = np.vstack([d for d, _ in rows])
        want_i = np.vstack([i for _, i in rows])
        for threads in (1, 2, 7):
            d, i = s.search(queries, 5, threads=threads, **extra)
            np.testing.assert_array_equal(i, want_i)
            np.testing.assert_array_equal(d, want_d)


@pytest.mark.parametrize("threads", [0, -1, 1025, 2.5, "2", True, [2]])
def test_bad_thread_counts_are_refused(indexes, threads):
    with open_searcher(indexes, "bruteforce") as s:
        with pytest.raises(ValueError, match="threads must be an integer from 1 to 1024"):
            s.search(np.zeros((2, DIM), dtype=np.float32), 3, threads=threads)
        assert s.search(np.zeros((2, DIM), dtype=np.float32), 3, threads=2)[1].shape == (2, 3)


@contextlib.contextmanager
def raw_bruteforce_searcher(indexes):
    """(library, handle, error buffer) of an opened bruteforce searcher, destroyed after."""
    lib = _native.load()
    err = ctypes.create_string_buffer(256)
    handle = lib.orvane_searcher_create(b'{"index.type":"bruteforce","index.dimension":"8"}',
                                        err, len(err))
    try:
        assert lib.orvane_searcher_open(handle, str(indexes["bruteforce"]).encode(), err,
                                        len(err)) == 0
        yield lib, handle, err
    finally:
        lib.orvane_searcher_destroy(handle)


@pytest.mark.parametrize("options, message", [
    (b'{"search.batch_threads":"0"}', "Option search.batch_threads must be within 1..1024"),
    (b'{"search.batch_threads":"1025"}', "Option search.batch_threads must be within 1..1024"),
    (b'{"search.batch_threads":"two"}', "search.batch_threads"),
])
def test_c_interface_refuses_bad_batch_threads(indexes, options, message):
    with raw_bruteforce_searcher(indexes) as (lib, handle, err):
        q = np.zeros((2, DIM), dtype=np.float32)
        d = np.empty((2, 3), dtype=np.float32)
        i = np.empty((2, 3), dtype=np.uint64)
        rc = lib.orvane_searcher_search(handle, q.ctypes.data, 2, 3, d.ctypes.data, i.ctypes.data,
                                        options, err, len(err))
        assert rc == -1 and message in err.value.decode()


@pytest.mark.parametrize("filtered", [False, True])
@pytest.mark.parametrize("n, message", [
    (-3, "n_queries must not be negative"),
    (-1, "n_queries must not be negative"),
])
def test_c_interface_refuses_negative_query_counts(indexes, filtered, n, message):
    with raw_bruteforce_searcher(indexes) as (lib, handle, err):
        q = np.zeros((1, DIM), dtype=np.float32)
        d = np.empty((1, 3), dtype=np.float32)
        i = np.empty((1, 3), dtype=np.uint64)
        allowed = np.arange(3, dtype=np.uint64)
        if filtered:
            rc = lib.orvane_searcher_search_with_filter(
                handle, q.ctypes.data, n, 3, d.ctypes.data, i.ctypes.data, allowed.ctypes.data,
                allowed.size, b"{}", err, len(err))
        else:
            rc = lib.orvane_searcher_search(handle, q.ctypes.data, n, 3, d.ctypes.data,
                                            i.ctypes.data, b"{}", err, len(err))
        assert rc == -1 and err.value.decode() == message


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_nan_in_any_row_is_refused_naming_it(indexes, kind):
    queries = np.ones((5, DIM), dtype=np.float32)
    queries[3, 2] = np.inf
    extra = KINDS[kind][1]
    with open_searcher(indexes, kind) as s:
        for call in (lambda: s.search(queries, 3, **extra),
                     lambda: s.search_with_filter(queries, 3, [1, 2], **extra)):
            with pytest.raises(orvane.OrvaneError,
                               match="query data holds a NaN or infinite value: row 3"):
                call()
        assert s.search(queries[:3], 3, **extra)[1].shape == (3, 3)


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("allowed, hits", [
    ([10**9], set()),                     # admits nothing the index holds
    ([], set()),
    ([7, 7, 3, 10**9, 3], {3, 7}),        # repeats and unknown ids
])
def test_filter_lists_with_repeats_unknown_ids_or_nothing(indexes, kind, allowed, hits):
    queries = np.ones((4, DIM), dtype=np.float32)
    with open_searcher(indexes, kind) as s:
        d, i = s.search_with_filter(queries, 3, allowed, threads=2, **KINDS[kind][1])
    for row in i:
        got = [int(x) for x in row if x != np.uint64(2**64 - 1)]
        assert set(got) <= hits and len(got) == len(set(got))
        if kind in ("bruteforce", "ivf"):
            assert set(got) == hits
    assert np.isinf(d[i == np.uint64(2**64 - 1)]).all()
