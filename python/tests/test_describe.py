"""orvane.describe / orvane.open / bytes and pickling of indexes, and missing hits."""

import os
import pickle

import numpy as np
import pytest

import orvane
from orvane import _version

DIM = 16

# (index.type and build options, what describe must report)
KINDS = [
    ({"index.type": "demo"}, {"kind": "demo", "metric": None, "encoding": None,
                              "ids_stored": False}),
    ({"index.type": "bruteforce", "encoding.type": "sq8"},
     {"kind": "bruteforce", "metric": "l2", "encoding": "sq8", "ids_stored": True}),
    ({"index.type": "bruteforce", "distance.metric": "inner_product"},
     {"kind": "bruteforce", "metric": "inner_product", "encoding": "rawf32"}),
    ({"index.type": "ivf", "ivf.build.num_lists": 4, "encoding.type": "pq", "encoding.pq.m": 4},
     {"kind": "ivf", "metric": "l2", "encoding": "pq", "pq_chunks": 4, "opq": False,
      "params": {"nlist": "4"}}),
    ({"index.type": "diskann", "encoding.type": "pq", "encoding.pq.m": 8,
      "diskann.build.neighbor_count": 16, "diskann.build.ef_construction": 40},
     {"kind": "diskann", "metric": "l2", "encoding": "pq", "pq_chunks": 8}),
]


def build(path, data, options, ids=None):
    opts = dict(options, **{"index.dimension": data.shape[1]})
    with orvane.Builder(opts) as b:
        b.pretrain(data)
        b.insert(data, ids)
        b.dump(path)


@pytest.fixture(scope="module")
def data():
    return np.random.default_rng(7).standard_normal((300, DIM)).astype(np.float32)


@pytest.mark.parametrize("options,want", KINDS, ids=lambda v: str(v.get("kind", "")))
def test_describe_reports_what_was_built(tmp_path, data, options, want):
    path = tmp_path / "x.idx"
    build(path, data, options)
    info = orvane.describe(path)
    assert info["rows"] == 300 and info["dim"] == DIM
    assert info["file_size"] == os.path.getsize(path)
    for key, value in want.items():
        if key == "params":
            assert value.items() <= info["params"].items()
        else:
            assert info[key] == value, key
    with orvane.open(path) as s:  # no kind or dimension restated
        extra = {"diskann.search.list_size": 50} if want["kind"] == "diskann" else {}
        _, ids = s.search(data[:3], 1, **extra)
    # Each row is its own nearest neighbour where the search is exact enough.
    if want.get("encoding") in (None, "sq8") and want["metric"] != "inner_product":
        np.testing.assert_array_equal(ids[:, 0], np.arange(3, dtype=np.uint64))


def test_diskann_params(tmp_path, data):
    path = tmp_path / "d.idx"
    build(path, data, KINDS[-1][0])
    params = orvane.describe(path)["params"]
    assert params["max_degree"] == "16" and params["disk_encoding"] == "rawf32"
    assert params["reorder"] in ("true", "false")


def damaged(path):
    raw = path.read_bytes()
    return raw[: len(raw) // 2]


@pytest.mark.parametrize("make", [
    lambda p: damaged(p),
    lambda p: b"",
    lambda p: b"not an index file at all" * 10,
])
def test_bad_files_fail_as_open_does(tmp_path, data, make):
    good = tmp_path / "good.idx"
    build(good, data, {"index.type": "bruteforce"})
    bad = tmp_path / "bad.idx"
    bad.write_bytes(make(good))
    with orvane.Searcher({"index.type": "bruteforce", "index.dimension": DIM}) as s:
        with pytest.raises(orvane.OrvaneError) as opened:
            s.open(bad)
    with pytest.raises(orvane.OrvaneError) as described:
        orvane.describe(bad)
    assert str(described.value) == str(opened.value)
    with pytest.raises(orvane.OrvaneError):
        orvane.describe_bytes(bad.read_bytes())
    with pytest.raises(orvane.OrvaneError):
        orvane.from_bytes(bad.read_bytes())


@pytest.mark.parametrize("path", ["missing.idx", ".", "fifo"])
def test_describe_and_open_refuse_non_files(tmp_path, path):
    os.mkfifo(tmp_path / "fifo")
    for call in (orvane.describe, orvane.open):
        with pytest.raises(orvane.OrvaneError):
            call(tmp_path / path)


@pytest.mark.parametrize("options", [KINDS[1][0], KINDS[3][0]], ids=["bruteforce", "ivf"])
def test_bytes_and_pickle_round_trip(tmp_path, data, options):
    path = tmp_path / "x.idx"
    build(path, data, options)
    with orvane.open(path) as s:
        want = s.search(data[:5], 4)
        image = s.to_bytes()
        copy = pickle.loads(pickle.dumps(s))
    assert image == path.read_bytes()
    with copy, orvane.from_bytes(image) as from_image:
        for got in (copy.search(data[:5], 4), from_image.search(data[:5], 4)):
            np.testing.assert_array_equal(got[1], want[1])
            np.testing.assert_array_equal(got[0], want[0])


def test_builder_dump_bytes_equals_file(tmp_path, data):
    opts = {"index.type": "bruteforce", "index.dimension": DIM}
    with orvane.Builder(opts) as b:
        b.pretrain(data)
        b.insert(data)
        image = b.dump_bytes()
    assert orvane.describe_bytes(image)["rows"] == 300
    with orvane.from_bytes(image) as s:
        assert s.count == 300


@pytest.mark.parametrize("metric,fill", [("l2", np.inf), ("inner_product", -np.inf)])
def test_missing_hits_never_look_best(tmp_path, data, metric, fill):
    path = tmp_path / "x.idx"
    build(path, data[:3], {"index.type": "bruteforce", "distance.metric": metric})
    with orvane.open(path) as s:
        distances, ids = s.search(data[:1], 5)
    assert (ids[0, 3:] == np.uint64(2**64 - 1)).all()
    assert (distances[0, 3:] == fill).all()
    assert np.isfinite(distances[0, :3]).all()


def test_versions_agree():
    assert orvane.__version__ == _version.library_version()


@pytest.mark.parametrize("options,want", [
    ({"index.type": "demo"}, {}),
    ({"index.type": "ivf", "ivf.build.thread_count": 1},
     {"ivf.build.thread_count": 1, "encoding.pq.thread_count": "hw"}),
    ({"index.type": "diskann"}, {"diskann.build.thread_count": "hw", "encoding.pq.thread_count": "hw",
                                 "diskann.disk_encoding.encoding.pq.thread_count": "hw"}),
])
def test_build_threads_default_to_hardware_threads(options, want):
    from orvane import _builder, _native
    hw = int(_native.load().orvane_hardware_threads())
    filled = _builder._with_thread_defaults(options)
    for key, value in want.items():
        assert filled[key] == (hw if value == "hw" else value), key
    assert not [k for k in filled if k.endswith("thread_count") and k not in want
                and k not in options]


@pytest.mark.parametrize("ratio", [None, 0.5])
def test_insert_without_pretrain_trains_on_the_rows(tmp_path, data, ratio):
    opts = {"index.type": "ivf", "index.dimension": DIM, "ivf.build.num_lists": 4}
    if ratio is not None:
        opts["pretrain.sample_ratio"] = ratio
    path = tmp_path / "x.idx"
    with orvane.Builder(opts) as b:
        b.insert(data)
        b.dump(path)
    with orvane.open(path) as s:
        _, ids = s.search(data[:4], 1, nprobe=4)
    np.testing.assert_array_equal(ids[:, 0], np.arange(4, dtype=np.uint64))
