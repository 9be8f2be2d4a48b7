"""The ivf kind through the Python package: build, exact search with every
list probed, recall by nprobe, and the refusals as OrvaneError."""

import numpy as np
import pytest

import orvane


def clustered(rng, n, dim, clusters):
    centres = rng.uniform(-10, 10, (clusters, dim))
    rows = centres[rng.integers(0, clusters, n)] + rng.standard_normal((n, dim))
    return rows.astype(np.float32)


def build(path, data, lists, encoding="rawf32", **extra):
    options = {"index.type": "ivf", "index.dimension": str(data.shape[1]),
               "ivf.build.num_lists": str(lists), "encoding.type": encoding}
    options.update(extra)
    with orvane.Builder(options) as b:
        b.pretrain(data)
        b.insert(data, ids=np.arange(data.shape[0], dtype=np.uint64) + 100)
        b.dump(str(path))


def open_searcher(path, dim):
    s = orvane.Searcher({"index.type": "ivf", "index.dimension": str(dim)})
    s.open(path)
    return s


def exact(data, queries, k):
    d = ((queries[:, None, :].astype(np.float64) - data[None, :, :]) ** 2).sum(-1)
    return np.argsort(d, axis=1, kind="stable")[:, :k] + 100


@pytest.fixture
def ivf_index(tmp_path, rng):
    data = clustered(rng, 600, 16, 12)
    path = tmp_path / "ivf.idx"
    build(path, data, 8)
    return path, data


def test_all_lists_probed_is_exact(ivf_index, rng):
    path, data = ivf_index
    queries = clustered(rng, 10, 16, 12)
    with open_searcher(path, 16) as s:
        assert s.count == 600 and s.dimension == 16
        distances, ids = s.search(queries, 10, nprobe=8)
    np.testing.assert_array_equal(ids, exact(data, queries, 10).astype(np.uint64))
    assert (np.diff(distances, axis=1) >= 0).all()


@pytest.mark.parametrize("encoding", ["rawf32", "sq8"])
def test_recall_rises_with_nprobe(tmp_path, rng, encoding):
    data = clustered(rng, 1500, 16, 30)
    queries = clustered(rng, 30, 16, 30)
    path = tmp_path / "recall.idx"
    build(path, data, 16, encoding)
    truth = exact(data, queries, 10)
    recalls = []
    with open_searcher(path, 16) as s:
        for nprobe in (1, 4, 16):
            _, ids = s.search(queries, 10, nprobe=nprobe)
            recalls.append(np.mean([len(set(a) & set(b)) / 10 for a, b in zip(ids, truth)]))
    assert recalls[0] <= recalls[1] <= recalls[2]
    assert recalls[0] < recalls[2] and recalls[2] >= 0.9


def test_refusals_raise(tmp_path, ivf_index):
    path, data = ivf_index
    with pytest.raises(orvane.OrvaneError, match="ivf currently supports L2 only"):
        build(tmp_path / "ip.idx", data, 4, **{"distance.metric": "inner_product"})
    with pytest.raises(orvane.OrvaneError, match="num_lists"):
        orvane.Builder({"index.type": "ivf", "index.dimension": "16"})
    with open_searcher(path, 16) as s:
        with pytest.raises(orvane.OrvaneError):
            s.search(data[:1], 3, nprobe=0)


@pytest.mark.parametrize("admitted", [300, 30, 3, 1])
def test_filtered_search_keeps_its_hits(ivf_index, rng, admitted):
    path, data = ivf_index
    queries = clustered(rng, 10, 16, 12)
    rows = np.sort(rng.choice(data.shape[0], admitted, replace=False))
    allowed = rows + 100
    d = ((queries[:, None, :].astype(np.float64) - data[None, rows, :]) ** 2).sum(-1)
    k = min(10, admitted)
    want = allowed[np.argsort(d, axis=1, kind="stable")[:, :k]]
    with open_searcher(path, 16) as s:
        # Every list probed: the exact filtered top-k.
        _, ids = s.search_with_filter(queries, 10, allowed, nprobe=8)
        np.testing.assert_array_equal(ids[:, :k], want.astype(np.uint64))
        # One list probed: still k admitted hits per query.
        _, ids = s.search_with_filter(queries, 10, allowed, nprobe=1)
    assert (ids[:, k:] == np.uint64(2**64 - 1)).all()
    for row in ids[:, :k]:
        assert len(set(row.tolist())) == k and set(row.tolist()) <= set(allowed.tolist())
