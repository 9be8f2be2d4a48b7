import os
import sys
from pathlib import Path

import numpy as np
import pytest

# Import the package from this source tree.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import orvane  # noqa: E402
from orvane import _native  # noqa: E402


class SpyLib:
    """Wraps the loaded library and records every C function called through it."""

    def __init__(self, real):
        self._real = real
        self.calls = []

    def __getattr__(self, name):
        fn = getattr(self._real, name)

        def call(*args):
            self.calls.append(name)
            return fn(*args)

        return call


@pytest.fixture
def spy():
    return SpyLib(_native.load())


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def demo_options(dim):
    return {"index.type": "demo", "index.dimension": dim}


def build_demo_index(path, data):
    """Writes a demo index of data's rows (ids 0 .. n-1) to path."""
    with orvane.Builder(demo_options(data.shape[1])) as b:
        b.pretrain(data)
        b.insert(data)
        b.dump(path)


@pytest.fixture
def demo_index(tmp_path, rng):
    """A demo index of 60 random vectors of dimension 8: (path, data)."""
    data = rng.standard_normal((60, 8)).astype(np.float32)
    path = tmp_path / "demo.idx"
    build_demo_index(path, data)
    return path, data


@pytest.fixture
def searcher(demo_index):
    path, _ = demo_index
    with orvane.Searcher(demo_options(8)) as s:
        s.open(path)
        yield s


def exact_l2(data, queries, topk):
    d = ((queries[:, None, :].astype(np.float64) - data[None, :, :]) ** 2).sum(axis=2)
    order = np.argsort(d, axis=1, kind="stable")[:, :topk]
    return np.take_along_axis(d, order, axis=1), order


def assert_exact_l2(distances, ids, data, queries):
    """The hits are the exact L2 neighbours of each query, best first."""
    want_d, want_ids = exact_l2(data, queries, ids.shape[1])
    np.testing.assert_array_equal(ids, want_ids.astype(np.uint64))
    np.testing.assert_allclose(distances, want_d, rtol=1e-4, atol=1e-4)
