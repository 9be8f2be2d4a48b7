"""The work done on Dask workers: building one shard, and keeping opened shards.

Each worker keeps the shards it has opened in a process-wide table keyed by
(worker address, searcher token, shard index), so a searcher's shard stays open
on the worker it was placed on and later batches reuse it. A search task that
lands on a worker without the shard (its first worker was lost) opens it there
from the shared file, after checking the file against the manifest.
"""

import os
import threading

import numpy as np

import orvane
from orvane._builder import _with_thread_defaults
from orvane.distributed import _manifest

_lock = threading.Lock()
_open = {}  # (worker address, token, shard index) -> orvane.Searcher


def _worker_address():
    from distributed import get_worker
    try:
        return get_worker().address
    except ValueError:  # not on a worker (called directly): one table for the process
        return ""


def build_shard(rows, ids, plan):
    """Builds and writes one shard; returns its manifest entry.

    rows: the shard's vectors; ids: their row ids; plan: options, directory,
    file name. The file appears under its final name only once it is complete."""
    rows = np.ascontiguousarray(rows, dtype=np.float32)
    ids = np.ascontiguousarray(ids, dtype=np.uint64)
    if rows.shape[0] != ids.shape[0]:
        raise ValueError("shard %d: %d rows but %d ids"
                         % (plan["index"], rows.shape[0], ids.shape[0]))
    final = os.path.join(plan["directory"], plan["file"])
    tmp = final + ".part"
    # A worker builds on as many threads as it was started with, not on every
    # core of its machine: its neighbours on the same machine build too.
    options = _with_thread_defaults(plan["options"], _worker_threads())
    with orvane.Builder(options) as b:
        b.pretrain(rows)
        b.insert(rows, ids)
        b.dump(tmp)
    os.replace(tmp, final)
    size, digest = _manifest.file_digest(final)
    return {"file": plan["file"], "rows": int(rows.shape[0]),
            "id_min": int(ids.min()), "id_max": int(ids.max()), "bytes": size, "sha256": digest}


def build_shard_from_files(ids, plan):
    """As build_shard, reading the shard's row range from the shared vector files."""
    from orvane.distributed import _vecfiles
    rows = _vecfiles.read_rows(plan["files"], plan["dimension"], plan["lo"], plan["hi"])
    return build_shard(rows, ids, plan)


def _opened(token, index, plan):
    """The worker's searcher of this shard, opened (and checked) on first use."""
    key = (_worker_address(), token, index)
    with _lock:
        searcher = _open.get(key)
    if searcher is not None:
        return searcher
    _manifest.verify_file(plan["path"], plan["bytes"], plan["sha256"])
    searcher = orvane.Searcher(plan["options"])
    try:
        searcher.open(plan["path"])
    except BaseException:
        searcher.close()
        raise
    with _lock:
        kept = _open.setdefault(key, searcher)
    if kept is not searcher:  # another thread of this worker opened it first
        searcher.close()
    return kept


def open_shard(token, index, plan):
    """Opens the shard on this worker; returns (worker address, row count)."""
    return _worker_address(), _opened(token, index, plan).count


def _worker_threads():
    from distributed import get_worker
    try:
        worker = get_worker()
    except ValueError:  # not on a worker
        return None
    state = getattr(worker, "state", None)  # newer Dask keeps the count there
    return int(getattr(state, "nthreads", None) or worker.nthreads)


def search_shard(token, index, plan, queries, topk, options, allowed=None, threads=None):
    """One batch against one shard, in one library call: (worker address, distances, ids).

    The batch is spread over `threads` threads, by default as many as the worker
    was started with (`dask worker --nthreads`), unless the options name
    search.batch_threads themselves."""
    searcher = _opened(token, index, plan)
    if threads is None and not {"batch_threads", "search.batch_threads"} & set(options):
        threads = _worker_threads()
    if threads is not None:
        options = dict(options, threads=threads)
    if allowed is None:
        d, i = searcher.search(queries, topk, **options)
    else:
        d, i = searcher.search_with_filter(queries, topk, allowed, **options)
    return _worker_address(), d, i


def release(token, dask_worker=None):
    """Closes this worker's shards of one searcher (run on every worker by close())."""
    address = dask_worker.address if dask_worker is not None else _worker_address()
    with _lock:
        keys = [k for k in _open if k[0] == address and k[1] == token]
        searchers = [_open.pop(k) for k in keys]
    for s in searchers:
        s.close()
    return len(searchers)
