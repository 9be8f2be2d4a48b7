import numpy as np
import pytest

import orvane

DIM = 16
LIST = {"diskann.search.list_size": 100}


def clustered(rng, n, dim):
    centres = rng.standard_normal((8, dim)) * 6.0
    rows = centres[rng.integers(0, 8, n)] + rng.standard_normal((n, dim))
    return rows.astype(np.float32)


def exact_ids(data, ids, queries, k):
    d = ((queries[:, None, :] - data[None, :, :]) ** 2).sum(-1)
    return ids[np.argsort(d, axis=1)[:, :k]]


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)])


@pytest.fixture(scope="module")
def diskann_index(tmp_path_factory):
    rng = np.random.default_rng(7)
    data = clustered(rng, 1500, DIM)
    ids = np.arange(1500, dtype=np.uint64) * 3 + 5
    path = tmp_path_factory.mktemp("diskann") / "index.idx"
    options = {"index.type": "diskann", "index.dimension": DIM, "encoding.type": "pq",
               "encoding.pq.m": 8, "diskann.build.neighbor_count": 24,
               "diskann.build.ef_construction": 100}
    with orvane.Builder(options) as b:
        b.pretrain(data)
        b.insert(data, ids=ids.tolist())
        b.dump(str(path))
    queries = data[::50] + rng.standard_normal((30, DIM)).astype(np.float32) * 0.3
    return path, data, ids, queries


@pytest.mark.parametrize("reader", ["local", "mmap"])
def test_diskann_search_recall_and_distinct_hits(diskann_index, reader):
    path, data, ids, queries = diskann_index
    with orvane.Searcher({"index.type": "diskann", "index.dimension": DIM,
                          "io.reader.type": reader}) as s:
        s.open(path)
        assert s.count == 1500 and s.dimension == DIM
        distances, found = s.search(queries, 10, **LIST)
    assert recall(found, exact_ids(data, ids, queries, 10)) >= 0.95
    for row in found:
        assert len(set(row.tolist())) == 10
    assert (np.diff(distances, axis=1) >= 0).all()


def test_diskann_filtered_search(diskann_index):
    path, data, ids, queries = diskann_index
    allowed = ids[ids % 2 == 0]
    keep = ids % 2 == 0
    with orvane.Searcher({"index.type": "diskann", "index.dimension": DIM}) as s:
        s.open(path)
        _, found = s.search_with_filter(queries, 10, allowed.tolist(), **LIST)
    assert np.isin(found, allowed).all()
    truth = exact_ids(data[keep], ids[keep], queries, 10)
    assert recall(found, truth) >= 0.9


def test_diskann_search_needs_a_list_size(diskann_index):
    path = diskann_index[0]
    with orvane.Searcher({"index.type": "diskann", "index.dimension": DIM}) as s:
        s.open(path)
        with pytest.raises(orvane.OrvaneError):
            s.search(np.zeros(DIM, dtype=np.float32), 5)


@pytest.mark.parametrize("case", ["repeats", "unknown ids", "unsorted", "only unknown", "empty",
                                  "one row"])
def test_diskann_filter_lists_as_callers_pass_them(diskann_index, case):
    # The allowed list is sorted and deduplicated once per call; ids the index
    # does not hold match nothing; missing hits are padded.
    path, data, ids, queries = diskann_index
    picked = ids[[40, 3, 900, 7, 1200]]
    given, admitted = {
        "repeats": (np.concatenate([picked, picked[::-1], picked[:2]]), picked),
        "unknown ids": (np.concatenate([picked, np.array([0, 1, 4, 2**64 - 1], dtype=np.uint64)]),
                        picked),
        "unsorted": (ids[::-1][::7], ids[::-1][::7]),
        "only unknown": (np.array([0, 1, 2, 3], dtype=np.uint64), ids[:0]),
        "empty": (np.zeros(0, dtype=np.uint64), ids[:0]),
        "one row": (ids[[321]], ids[[321]]),
    }[case]
    keep = np.isin(ids, admitted)
    with orvane.Searcher({"index.type": "diskann", "index.dimension": DIM}) as s:
        s.open(path)
        _, found = s.search_with_filter(queries, 10, given, **LIST)
    hits = min(10, int(keep.sum()))
    assert (found[:, hits:] == np.uint64(2**64 - 1)).all()
    found = found[:, :hits]
    assert np.isin(found, admitted).all()
    assert all(len(set(row)) == hits for row in found)
    if hits:
        truth = exact_ids(data[keep], ids[keep], queries, hits)
        assert recall(found, truth) >= 0.95
