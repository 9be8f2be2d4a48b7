"""Sharded build: one index per row range, built on the workers in parallel."""

import numbers
import os

import numpy as np

import orvane
from orvane import _convert
from orvane.distributed import _cluster, _manifest, _shards, _vecfiles


def _shard_count(shards, rows):
    if isinstance(shards, (bool, np.bool_)) or not isinstance(shards, numbers.Integral):
        raise TypeError("shards must be an int, got %s" % type(shards).__name__)
    if not 1 <= shards <= rows:
        raise ValueError("shards must be in 1..%d (the number of rows), got %d" % (rows, shards))
    return int(shards)


def _checked_options(options):
    """The options as a dict, refused at once when the kind would refuse them."""
    if not hasattr(options, "items"):
        raise TypeError("options must be a mapping of option keys to values")
    options = dict(options)
    kind = _convert.index_type(options)
    if kind not in _manifest.KINDS:
        raise ValueError("index.type must be one of %s for a sharded index, got %r"
                         % (", ".join(_manifest.KINDS), kind))
    orvane.Builder(options).close()  # the library's own checks, before any work is sent
    # numpy scalars become plain values, so the manifest's JSON can hold them.
    return {k: v.item() if isinstance(v, np.generic) else v for k, v in options.items()}


def _source(vectors):
    """(rows, dimension, per-shard row source) for a Dask/numpy array or a file list."""
    paths = isinstance(vectors, (list, tuple)) and all(
        isinstance(v, (str, os.PathLike)) for v in vectors)
    if paths:
        if not vectors:
            raise ValueError("vectors: an empty list of files")
        files, dim = _vecfiles.describe(vectors)
        return sum(f[2] for f in files), dim, ("files", files)
    shape = getattr(vectors, "shape", None)
    if shape is None or len(shape) != 2:
        raise ValueError("vectors must be a 2-D Dask or numpy array or a list of vector files")
    return int(shape[0]), int(shape[1]), ("array", vectors)


def _blocks(client, array, bounds):
    """One future per shard holding that shard's rows of a Dask or numpy array."""
    if hasattr(array, "rechunk") and hasattr(array, "to_delayed"):
        sizes = tuple(int(b - a) for a, b in zip(bounds[:-1], bounds[1:]))
        blocks = array.rechunk({0: sizes, 1: -1}).to_delayed().ravel().tolist()
        return client.compute(blocks)
    array = np.asarray(array)
    return [client.scatter(np.ascontiguousarray(array[a:b]))
            for a, b in zip(bounds[:-1], bounds[1:])]


def _remove(paths):
    """Removes the files a failed build wrote (only files: a directory is not ours)."""
    for p in paths:
        if os.path.isfile(p):
            os.remove(p)


def build(client, vectors, options, shards, directory, ids=None):
    """Builds a sharded index into `directory` (shared by the workers) and returns
    the manifest's path.

    vectors: a 2-D Dask array (or numpy array) or a list of vector files (.npy,
    .fbin, .fvecs) read as one sequence of rows. The rows are split into `shards`
    consecutive ranges, one index each, built on the workers in parallel with the
    builder `options`. Row ids are the global row positions, or `ids` (one per
    row). A failed build removes its shard files and writes no manifest.
    """
    workers = _cluster.live_workers(client)
    options = _checked_options(options)
    rows, dim, (how, source) = _source(vectors)
    if dim != int(options["index.dimension"]):
        raise ValueError("vectors have %d columns but index.dimension is %s"
                         % (dim, options["index.dimension"]))
    shards = _shard_count(shards, rows)
    if ids is None:
        id_arr = np.arange(rows, dtype=np.uint64)
    else:
        id_arr = _convert.ids(np.asarray(ids), "ids", rows)
    directory = os.path.abspath(os.fspath(directory))
    os.makedirs(directory, exist_ok=True)
    if os.path.exists(os.path.join(directory, _manifest.MANIFEST_NAME)):
        raise FileExistsError("%s already holds a sharded index manifest" % directory)

    bounds = [i * rows // shards for i in range(shards + 1)]
    plans = [{"index": i, "options": options, "directory": directory, "dimension": dim,
              "file": _manifest.shard_file_name(i, shards), "lo": bounds[i], "hi": bounds[i + 1]}
             for i in range(shards)]
    written = [os.path.join(directory, s["file"]) for s in plans]
    placed = {"allow_other_workers": True, "pure": False}
    try:
        if how == "files":
            futures = {s["index"]: client.submit(
                _shards.build_shard_from_files, id_arr[s["lo"]:s["hi"]], dict(s, files=source),
                workers=[workers[s["index"] % len(workers)]], **placed) for s in plans}
        else:
            blocks = _blocks(client, source, bounds)
            futures = {s["index"]: client.submit(
                _shards.build_shard, blocks[s["index"]], id_arr[s["lo"]:s["hi"]], s,
                workers=[workers[s["index"] % len(workers)]], **placed) for s in plans}
        entries, failed = _cluster.outcomes(futures)
    except BaseException:
        _remove(written + [p + ".part" for p in written])
        raise
    if failed:
        client.cancel(list(futures.values()))
        _remove(written + [p + ".part" for p in written])
        raise _cluster.ShardError("building", failed, shards)
    metric = str(options.get("distance.metric", "l2"))
    try:
        return _manifest.write(directory, options, dim, metric,
                               [entries[i] for i in range(shards)])
    except BaseException:
        _remove(written)
        raise
