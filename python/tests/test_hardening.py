"""What a first real user ran into: ids the kind would drop, misspelt keys, damaged
files, NaN inputs, log lines on standard output, paths, and threads sharing a handle."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import orvane
from conftest import build_demo_index, demo_options

PKG_DIR = str(Path(__file__).resolve().parent.parent)


def test_caller_ids_are_refused_for_the_demo_kind():
    data = np.ones((3, 4), dtype=np.float32)
    with orvane.Builder(demo_options(4)) as b:
        b.pretrain(data)
        with pytest.raises(ValueError, match="stores no row ids"):
            b.insert(data, ids=np.array([7, 8, 9], dtype=np.uint64))
        b.insert(data)  # the builder is still usable without ids


@pytest.mark.parametrize("cls, options, key", [
    (orvane.Builder, {"index.dimenson": 4}, "index.dimenson"),
    (orvane.Builder, {"index.dimension": 4, "distance.metrc": "l2"}, "distance.metrc"),
    (orvane.Searcher, {"index.dimension": 4, "io.verfy_crc": True}, "io.verfy_crc"),
])
def test_unknown_option_keys_are_refused(cls, options, key):
    with pytest.raises(orvane.OrvaneError) as info:
        cls(dict(options, **{"index.type": "demo"}))
    assert str(info.value).startswith("Unknown option key: %s (the demo " % key)


def test_unknown_search_keys_and_metrics_are_refused(searcher):
    q = np.zeros((1, 8), dtype=np.float32)
    with pytest.raises(orvane.OrvaneError, match="Unknown option key: search.nprobe"):
        searcher.search(q, 3, nprobe=4)
    searcher.search(q, 3, parallel_number=2)
    with pytest.raises(orvane.OrvaneError, match="supports distance.metric l2 only"):
        orvane.Builder({"index.type": "demo", "index.dimension": 4, "distance.metric": "cosine"})


def test_verify_crc_finds_a_damaged_file(tmp_path, demo_index):
    path, data = demo_index
    raw = bytearray(path.read_bytes())
    raw[300] ^= 0x10  # inside the vector section
    damaged = tmp_path / "damaged.idx"
    damaged.write_bytes(bytes(raw))
    with orvane.Searcher(demo_options(8)) as s:
        s.open(damaged)  # the library's default reads without checking
    for reader in ("local", "mmap"):
        opts = dict(demo_options(8), **{"io.verify_crc": True, "io.reader.type": reader})
        with orvane.Searcher(opts) as s:
            with pytest.raises(orvane.OrvaneError) as info:
                s.open(damaged)
            assert str(info.value).startswith(str(damaged) + ": ")
            s.open(path)
            assert s.count == data.shape[0]


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
def test_non_finite_vectors_and_queries_are_refused(searcher, value):
    q = np.zeros((2, 8), dtype=np.float32)
    q[1, 3] = value
    with pytest.raises(orvane.OrvaneError, match="NaN or infinite"):
        searcher.search(q, 3)
    data = np.ones((5, 8), dtype=np.float32)
    data[4, 0] = value
    with orvane.Builder(demo_options(8)) as b:
        with pytest.raises(orvane.OrvaneError, match=r"row \[4\] holds a NaN or infinite"):
            b.pretrain(data)


def _run(code):
    env = dict(os.environ, PYTHONPATH=PKG_DIR)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=60)


def test_library_log_goes_to_stderr_and_obeys_the_level():
    body = ("import numpy as np, orvane\n"
            "%s\n"
            "b = orvane.Builder({'index.type': 'demo', 'index.dimension': 4})\n"
            "b.close()\n"
            "print('{\"ok\": true}')\n")
    quiet = _run(body % "")
    assert quiet.returncode == 0, quiet.stderr
    assert quiet.stdout == '{"ok": true}\n'
    assert "Closing OrvaneBuilder::Impl." not in quiet.stderr
    loud = _run(body % "orvane.set_log_level('info')")
    assert loud.returncode == 0, loud.stderr
    assert loud.stdout == '{"ok": true}\n'
    assert "Closing OrvaneBuilder::Impl." in loud.stderr
    with pytest.raises(orvane.OrvaneError, match="unknown log level"):
        orvane.set_log_level("chatty")


def test_paths_are_named_with_the_reason(tmp_path, demo_index):
    path, _ = demo_index
    fifo = tmp_path / "fifo.idx"
    os.mkfifo(fifo)
    cases = [
        (tmp_path / "missing.idx", "No such file or directory"),
        (tmp_path, "not a regular file"),
        (fifo, "not a regular file"),
        ("", "empty path"),
    ]
    with orvane.Searcher(demo_options(8)) as s:
        for bad, reason in cases:
            with pytest.raises(orvane.OrvaneError) as info:
                s.open(bad)
            assert str(info.value) == "%s: %s" % (bad, reason)
        s.open(path)


def test_dump_refuses_special_outputs_and_writes_through_links(tmp_path, rng):
    data = rng.standard_normal((10, 4)).astype(np.float32)
    target = tmp_path / "real.idx"
    link = tmp_path / "link.idx"
    os.symlink(target.name, link)
    blocker = tmp_path / "file"
    blocker.write_bytes(b"x")
    with orvane.Builder(demo_options(4)) as b:
        b.pretrain(data)
        b.insert(data)
        for bad, reason in [(tmp_path / "fifo", "exists and is not a regular file"),
                            (tmp_path, "exists and is not a regular file"),
                            (blocker / "sub.idx", "Not a directory")]:
            if bad.name == "fifo":
                os.mkfifo(bad)
            with pytest.raises(orvane.OrvaneError, match=reason):
                b.dump(bad)
        b.dump(link)
    assert link.is_symlink() and target.is_file()
    with orvane.Searcher(demo_options(4)) as s:
        s.open(link)
        assert s.count == 10


def test_close_waits_for_searches_in_flight(demo_index):
    path, data = demo_index
    for _ in range(5):
        s = orvane.Searcher(demo_options(8))
        s.open(path)
        started = threading.Barrier(5)
        outcomes = []

        def worker():
            started.wait()
            try:
                while True:
                    _, ids = s.search(data[:4], 5)
                    assert ids[0, 0] == 0
            except ValueError as e:  # closed: the only way out
                outcomes.append(str(e))

        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        started.wait()
        s.close()
        for t in threads:
            t.join(timeout=30)
        assert outcomes == ["searcher is closed"] * 4


def test_concurrent_open_and_insert_are_serialised(tmp_path, rng):
    a = rng.standard_normal((30, 8)).astype(np.float32)
    b = rng.standard_normal((50, 8)).astype(np.float32)
    pa, pb = tmp_path / "a.idx", tmp_path / "b.idx"
    build_demo_index(pa, a)
    build_demo_index(pb, b)
    for _ in range(10):
        s = orvane.Searcher(demo_options(8))
        errors = []

        def opener(p):
            try:
                s.open(p)
            except orvane.OrvaneError as e:
                errors.append(str(e))

        threads = [threading.Thread(target=opener, args=(p,)) for p in (pa, pb)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(errors) == 1 and errors[0].endswith("searcher already opened")
        # Whichever file won, it was loaded whole.
        want = a if s.count == 30 else b
        _, ids = s.search(want[:3], 1)
        np.testing.assert_array_equal(ids[:, 0], np.arange(3, dtype=np.uint64))
        s.close()

    builder = orvane.Builder(demo_options(8))
    builder.pretrain(a)
    failures = []

    def inserter():
        try:
            builder.insert(a)
        except orvane.OrvaneError as e:
            failures.append(str(e))

    threads = [threading.Thread(target=inserter) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(failures) == 3
    builder.close()


@pytest.mark.parametrize("shape", [(8,), (1, 8), (7, 8), (600, 8)])
def test_every_query_path_gives_the_exact_answer(searcher, demo_index, rng, shape):
    """Small float32 batches take the buffered path, others the general one."""
    _, data = demo_index
    queries = rng.standard_normal(shape).astype(np.float32)
    fast_d, fast_ids = searcher.search(queries, 5)
    slow_d, slow_ids = searcher.search(queries.astype(np.float64), 5)
    np.testing.assert_array_equal(fast_ids, slow_ids)
    np.testing.assert_array_equal(fast_d, slow_d)
    assert fast_ids.shape == (1 if len(shape) == 1 else shape[0], 5)
    from conftest import assert_exact_l2
    assert_exact_l2(fast_d, fast_ids, data, queries.reshape(-1, 8))
