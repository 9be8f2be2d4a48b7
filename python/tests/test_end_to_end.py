import numpy as np
import pytest

import orvane
from conftest import assert_exact_l2, build_demo_index, demo_options

ALL_ONES = np.uint64(2**64 - 1)


def test_search_matches_exact_numpy_l2(demo_index, rng):
    path, data = demo_index
    queries = rng.standard_normal((9, 8)).astype(np.float32)
    with orvane.Searcher(demo_options(8)) as s:
        s.open(path)
        assert s.count == 60
        assert s.dimension == 8
        distances, ids = s.search(queries, 10)
    assert distances.shape == (9, 10) and distances.dtype == np.float32
    assert ids.shape == (9, 10) and ids.dtype == np.uint64
    assert_exact_l2(distances, ids, data, queries)


def test_float64_and_non_contiguous_inputs_are_converted(tmp_path, rng):
    base = rng.standard_normal((40, 12))  # float64
    data = np.asfortranarray(base)  # column-major: not C-contiguous
    path = tmp_path / "f64.idx"
    with orvane.Builder({"index.type": "demo", "index.dimension": "12"}) as b:
        b.pretrain(data)
        b.insert(data[:, :])
        b.dump(str(path))
    queries = base[::2][:5]  # a strided view
    assert not queries.flags["C_CONTIGUOUS"]
    with orvane.Searcher(demo_options(12)) as s:
        s.open(path)
        distances, ids = s.search(queries, 3)
    assert_exact_l2(distances, ids, base.astype(np.float32), queries.astype(np.float32))
    np.testing.assert_array_equal(ids[:, 0], np.arange(0, 10, 2, dtype=np.uint64))


def test_missing_hits_are_padded(tmp_path, rng):
    data = rng.standard_normal((3, 4)).astype(np.float32)
    path = tmp_path / "three.idx"
    build_demo_index(path, data)
    with orvane.Searcher(demo_options(4)) as s:
        s.open(path)
        distances, ids = s.search(data[1], 5)  # one 1-D query
    assert distances.shape == (1, 5)
    assert ids[0, 0] == 1 and distances[0, 0] == 0.0
    assert set(ids[0, :3].tolist()) == {0, 1, 2}
    assert (ids[0, 3:] == ALL_ONES).all()
    assert (distances[0, 3:] == np.inf).all()  # never sorts as the best L2 hit


def test_search_options_as_keywords(searcher, demo_index):
    _, data = demo_index
    d1, i1 = searcher.search(data[:4], 2, parallel_number=1, thread_safe_filter=True)
    d2, i2 = searcher.search(data[:4], 2, **{"search.parallel_number": 1})
    np.testing.assert_array_equal(i1, i2)
    np.testing.assert_array_equal(i1[:, 0], np.arange(4, dtype=np.uint64))


def test_zero_queries_give_empty_results(searcher):
    distances, ids = searcher.search(np.zeros((0, 8), dtype=np.float32), 4)
    assert distances.shape == (0, 4) and ids.shape == (0, 4)


def test_close_is_idempotent_and_final(demo_index):
    path, data = demo_index
    s = orvane.Searcher(demo_options(8))
    s.open(path)
    s.close()
    s.close()
    with pytest.raises(ValueError, match="closed"):
        s.search(data[:1], 1)
    b = orvane.Builder(demo_options(8))
    b.close()
    with pytest.raises(ValueError, match="closed"):
        b.pretrain(data)


@pytest.mark.parametrize("options,threads_line", [
    # thread counts left out: said first, as the tool does
    ({"index.type": "ivf", "index.dimension": 8, "ivf.build.num_lists": 4}, True),
    # all given: no threads line
    ({"index.type": "ivf", "index.dimension": 8, "ivf.build.num_lists": 4,
      "ivf.build.thread_count": 1, "encoding.pq.thread_count": 1}, False),
])
def test_builds_show_progress_when_asked(tmp_path, rng, capsys, options, threads_line):
    import io
    data = rng.standard_normal((50, 8)).astype(np.float32)
    out = io.StringIO()
    with orvane.Builder(options, progress=out) as b:
        b.insert(data)  # pretrains on the inserted rows first
        b.dump(str(tmp_path / "p.idx"))
    lines = out.getvalue().splitlines()
    if threads_line:
        assert lines[0].startswith("threads: ") and "ivf.build.thread_count" in lines[0]
        lines = lines[1:]
    assert [l.split(":")[0] for l in lines] == ["pretrain", "pretrain", "insert", "insert",
                                               "write", "write"]
    assert lines[2] == "insert: started, 50 rows"
    assert lines[3].startswith("insert: 100.0% 50/50 ") and " in " in lines[3]
    assert lines[5].startswith("write: done in ")
    with orvane.Builder(options) as quiet:  # without progress: nothing anywhere
        quiet.insert(data)
    assert out.getvalue().count("\n") == len(lines) + threads_line
    assert capsys.readouterr().err == ""
