import numpy as np
import pytest

import orvane
from conftest import demo_options


@pytest.mark.parametrize("options, message", [
    ({}, "index.type is required for builder schema selection"),
    ({"index.type": "demo"}, "Missing required option: index.dimension"),
    ({"index.type": "demo", "index.dimension": 0}, "Option index.dimension must be > 0"),
    ({"index.type": "nope", "index.dimension": 4},
     "Option index.type has unsupported value: nope (one of demo, bruteforce, ivf, diskann)"),
    ({"index.type": "demo", "index.dimension": "4x"}, "Invalid int value for index.dimension"),
])
def test_builder_creation_failures(options, message):
    with pytest.raises(orvane.OrvaneError) as info:
        orvane.Builder(options)
    assert str(info.value) == message


def test_searcher_creation_failure():
    with pytest.raises(orvane.OrvaneError) as info:
        orvane.Searcher({"index.dimension": 4})
    assert str(info.value) == "index.type is required for searcher schema selection"


def test_lifecycle_failures_carry_library_messages(tmp_path):
    data = np.ones((2, 4), dtype=np.float32)
    with orvane.Builder(demo_options(4)) as b:
        with pytest.raises(orvane.OrvaneError) as info:
            b.dump(tmp_path / "x.idx")
        # The library's text, after the path it concerns.
        assert str(info.value) == (
            "%s: Dump must be called after data has been injected.: no data was inserted"
            % (tmp_path / "x.idx"))
        with pytest.raises(orvane.OrvaneError) as info:
            b.pretrain(np.zeros((0, 4), dtype=np.float32))
        assert str(info.value) == "total count must be > 0"
        b.insert(data)  # never pretrained: pretrains on these rows first
        with pytest.raises(orvane.OrvaneError) as info:
            b.insert(data)
        assert str(info.value) == ("Insert must be called after training is complete "
                                   "(or not needed) and can only be called once.")


def test_searcher_failures_carry_library_messages(tmp_path, demo_index):
    path, data = demo_index
    with orvane.Searcher(demo_options(8)) as s:
        with pytest.raises(orvane.OrvaneError) as info:
            s.search(data[:1], 3)
        assert str(info.value) == "searcher not opened (dimension is zero)"
        with pytest.raises(orvane.OrvaneError) as info:
            s.open(tmp_path / "missing.idx")
        assert str(info.value) != ""
        s.open(path)
        with pytest.raises(orvane.OrvaneError) as info:
            s.open(path)
        assert str(info.value) == "%s: searcher already opened" % path
        with pytest.raises(orvane.OrvaneError) as info:
            s.search(data[:1], 3, parallel_number=0)
        assert str(info.value) == "Option search.parallel_number must be > 0"
        with pytest.raises(orvane.OrvaneError) as info:
            s.search(data[:1], 3, thread_safe_filter="maybe")
        assert str(info.value) == "Invalid bool value for search.thread_safe_filter"


def test_filtered_search_on_demo_is_not_attached(searcher, demo_index):
    _, data = demo_index
    for allowed in ([1, 2, 3], np.array([5], dtype=np.uint64), set(), range(4)):
        with pytest.raises(orvane.OrvaneError) as info:
            searcher.search_with_filter(data[:2], 3, allowed)
        assert str(info.value) == "extension not attached"


def test_wrong_index_dimension_at_open(tmp_path, demo_index):
    path, _ = demo_index
    with orvane.Searcher(demo_options(4)) as s:
        with pytest.raises(orvane.OrvaneError, match="DemoSearcher dimension mismatch"):
            s.open(path)
