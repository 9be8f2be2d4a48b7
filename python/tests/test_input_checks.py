"""Bad inputs are refused in Python, before any C function is called."""

import numpy as np
import pytest

import orvane
from orvane import _convert, _native
from conftest import demo_options


@pytest.mark.parametrize("queries, error", [
    (np.zeros((2, 7), dtype=np.float32), ValueError),  # wrong dimension
    (np.zeros((2, 9), dtype=np.float32), ValueError),
    (np.zeros((2, 2, 8), dtype=np.float32), ValueError),  # 3-D
    (np.zeros((2, 8), dtype=np.complex64), TypeError),
    (np.array([["a"] * 8]), TypeError),
    (np.array([[object()] * 8], dtype=object), TypeError),
])
def test_bad_queries_never_reach_c(searcher, spy, queries, error):
    searcher._lib = spy
    with pytest.raises(error):
        searcher.search(queries, 3)
    with pytest.raises(error):
        searcher.search_with_filter(queries, 3, [1])
    assert spy.calls == []


@pytest.mark.parametrize("topk, error", [
    (0, ValueError), (-1, ValueError), (2**31, ValueError), (2.0, TypeError), (True, TypeError),
    ("3", TypeError),
])
def test_bad_topk_never_reaches_c(searcher, spy, topk, error):
    searcher._lib = spy
    with pytest.raises(error):
        searcher.search(np.zeros((1, 8), dtype=np.float32), topk)
    assert spy.calls == []


@pytest.mark.parametrize("allowed, error", [
    (np.array([1.5]), TypeError),
    ([-1, 2], ValueError),
    (np.array([[1, 2]], dtype=np.uint64), ValueError),
    ([True, False], TypeError),
    ([1, 2.0], TypeError),
    ([5, 2**64], ValueError),
])
def test_bad_filter_ids_never_reach_c(searcher, spy, allowed, error):
    searcher._lib = spy
    with pytest.raises(error):
        searcher.search_with_filter(np.zeros((1, 8), dtype=np.float32), 2, allowed)
    assert spy.calls == []


@pytest.mark.parametrize("options, error", [
    ({"search.nprobe": [1, 2]}, TypeError),
    ({"search.note": 'has "quotes"'}, ValueError),
    ({"search.ratio": float("nan")}, ValueError),
])
def test_bad_search_options_never_reach_c(searcher, spy, options, error):
    searcher._lib = spy
    with pytest.raises(error):
        searcher.search(np.zeros((1, 8), dtype=np.float32), 2, **options)
    assert spy.calls == []


def test_bad_builder_inputs_never_reach_c(spy):
    b = orvane.Builder(demo_options(4))
    b._lib = spy
    good = np.zeros((3, 4), dtype=np.float32)
    with pytest.raises(ValueError):
        b.pretrain(np.zeros((3, 5), dtype=np.float32))  # would over-read rows
    with pytest.raises(ValueError):
        b.pretrain(np.zeros(4, dtype=np.float32))  # 1-D is not a batch
    with pytest.raises(ValueError):
        b.insert(good, ids=[1, 2])  # fewer ids than rows
    with pytest.raises(TypeError):
        b.insert(good, ids=np.array([1.0, 2.0, 3.0]))
    with pytest.raises(ValueError):
        b.insert(good, ids=np.array([1, -2, 3]))
    with pytest.raises(ValueError):
        b.dump("bad\0path")
    assert spy.calls == []
    b.close()
    assert spy.calls == ["orvane_builder_destroy"]


def test_bad_options_never_reach_c(monkeypatch, spy):
    monkeypatch.setattr(_native, "load", lambda: spy)
    with pytest.raises(TypeError):
        orvane.Builder({"index.type": "demo", "index.dimension": None})
    with pytest.raises(TypeError):
        orvane.Searcher(["index.type", "demo"])
    with pytest.raises(TypeError):
        orvane.Searcher({1: "demo"})
    assert spy.calls == []


def test_valid_converted_input_does_reach_c(searcher, spy, demo_index):
    _, data = demo_index
    searcher._lib = spy
    distances, ids = searcher.search(data[:2].astype(np.float64), 1)
    assert spy.calls == ["orvane_searcher_search"]
    assert ids[:, 0].tolist() == [0, 1]


def test_options_become_flat_json_text():
    text = _convert.options_json({"a.flag": True, "b.off": False, "c.n": 7, "d.x": 0.25,
                                  "e.s": "ivf", "f.np": np.int64(3), "g.b": np.bool_(True)})
    assert text == (b'{"a.flag": "true", "b.off": "false", "c.n": "7", "d.x": "0.25", '
                    b'"e.s": "ivf", "f.np": "3", "g.b": "true"}')
    assert _convert.options_json(None) == b"{}"
    assert _convert.search_options({"nprobe": 4, "diskann.search.list_size": 8}) == {
        "search.nprobe": 4, "diskann.search.list_size": 8}


def test_library_dir_from_environment_comes_first(monkeypatch, tmp_path):
    monkeypatch.setenv("ORVANE_LIB_DIR", str(tmp_path))
    dirs = _native.candidate_dirs()
    assert dirs[0] == tmp_path
    assert dirs[-1].name == "build"
