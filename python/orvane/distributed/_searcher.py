"""ShardedSearcher: searches a sharded index with its shards kept open on workers."""

import uuid

import numpy as np

import orvane
from orvane import _convert, _native
from orvane._handle import check_option_keys
from orvane._searcher import _with_threads
from orvane.distributed import _cluster, _manifest, _merge, _shards


class ShardedSearcher:
    """Answers top-k queries over every shard of a manifest, as one index would.

    Opening places each shard on a worker (round robin) after checking its file
    against the manifest; the worker keeps it open. A batch goes to every shard as
    one task, and the per-shard top-k lists are merged in the metric's order, with
    the single-index padding (id 2**64-1, distance inf; -inf for inner_product). A task whose worker is
    lost runs again on another worker, which opens the shard from the shared file;
    a shard that still cannot answer raises ShardError naming it, unless the
    caller passes allow_partial=True and gets (distances, ids, answered).

    searcher_options: extra searcher options for every shard (io.reader.type,
    diskann.search.num_nodes_to_cache, ...); kind: the index type the caller
    expects (a manifest of another kind is refused); retries: how many times a
    shard whose worker was lost is sent to another worker within one call.
    """

    def __init__(self, client, manifest, searcher_options=None, kind=None, retries=2):
        workers = _cluster.live_workers(client)
        doc = _manifest.read(manifest, kind)
        options = {"index.type": doc["kind"], "index.dimension": doc["dimension"]}
        options.update(searcher_options or {})
        orvane.Searcher(options).close()  # bad searcher options are refused here, at once
        self._client = client
        self._doc = doc
        self._kind = doc["kind"]
        self._dim = int(doc["dimension"])
        self._metric = doc["metric"]
        self._retries = int(retries)
        self._token = uuid.uuid4().hex
        self._shard_plans = [{"path": _manifest.shard_path(doc, i), "bytes": s["bytes"],
                        "sha256": s["sha256"], "options": options}
                       for i, s in enumerate(doc["shards"])]
        self._id_min = np.array([s["id_min"] for s in doc["shards"]], dtype=np.uint64)
        self._id_max = np.array([s["id_max"] for s in doc["shards"]], dtype=np.uint64)
        self._placement = [workers[i % len(workers)] for i in range(len(self._shard_plans))]
        self._closed = False
        try:
            opened, failed = self._run_all(_shards.open_shard, {i: () for i in range(self.shards)})
            if failed:
                raise _cluster.ShardError("opening", failed, self.shards)
            for i, (_, count) in opened.items():
                rows = doc["shards"][i]["rows"]
                if count != rows:
                    raise _cluster.ShardError("opening", {i: ValueError(
                        "holds %d rows, the manifest records %d" % (count, rows))}, self.shards)
        except BaseException:
            self.close()
            raise

    @property
    def shards(self):
        return len(self._shard_plans)

    @property
    def count(self):
        return int(self._doc["count"])

    @property
    def dimension(self):
        return self._dim

    @property
    def metric(self):
        return self._metric

    @property
    def placement(self):
        """The worker address each shard answered from last."""
        return list(self._placement)

    def _submit(self, fn, i, args, worker):
        return self._client.submit(fn, self._token, i, self._shard_plans[i], *args, workers=[worker],
                                   allow_other_workers=True, pure=False)

    def _run_all(self, fn, args_by_shard):
        """Runs fn for each shard on its worker; shards whose worker was lost go to
        another live worker, up to `retries` times. Returns (done, failed) by shard."""
        futures = {i: self._submit(fn, i, a, self._placement[i]) for i, a in args_by_shard.items()}
        done, failed = {}, {}
        for attempt in range(self._retries + 1):
            answered, lost = _cluster.outcomes(futures)
            done.update(answered)
            futures = {}
            for i, exc in lost.items():
                if not _cluster.worker_lost(exc) or attempt == self._retries:
                    failed[i] = exc
                    continue
                others = [w for w in sorted(self._client.scheduler_info()["workers"])
                          if w != self._placement[i]]
                if not others:
                    failed[i] = exc
                    continue
                self._placement[i] = others[i % len(others)]
                futures[i] = self._submit(fn, i, args_by_shard[i], self._placement[i])
            if not futures:
                break
        for i, result in done.items():
            self._placement[i] = result[0]
        return done, failed

    def _prepare(self, queries, topk, options, threads):
        if self._closed:
            raise ValueError("sharded searcher is closed")
        if threads is not None:
            _with_threads(options, threads)  # the same refusals as one searcher's
        q = _convert.vectors(queries, "queries", self._dim, allow_1d=True)
        k = _convert.topk_value(topk)
        if options:  # unknown keys are refused here rather than by every shard
            text = _convert.options_json(_convert.search_options(options))
            check_option_keys(_native.load(), "search", self._kind, text)
        _cluster.live_workers(self._client)
        return q, k

    def _answer(self, q, k, options, allowed_by_shard, allow_partial, threads):
        args = {i: (q, k, options, allowed, threads) for i, allowed in allowed_by_shard.items()}
        done, failed = self._run_all(_shards.search_shard, args) if args else ({}, {})
        if failed and not allow_partial:
            raise _cluster.ShardError("searching", failed, self.shards)
        parts = [done[i][1:] for i in sorted(done)] or [_merge.padded(q.shape[0], k, self._metric)]
        distances, ids = _merge.merge(parts, k, self._metric)
        if not allow_partial:
            return distances, ids
        return distances, ids, sorted(set(range(self.shards)) - set(failed))

    def search(self, queries, topk, allow_partial=False, threads=None, **search_options):
        """Nearest rows over all shards, as orvane.Searcher.search answers for one index.

        Each shard answers the whole batch in one call on `threads` threads (by
        default the worker's thread count). With allow_partial=True returns
        (distances, ids, answered): the merge of the shards that answered and
        their sorted indices."""
        q, k = self._prepare(queries, topk, search_options, threads)
        return self._answer(q, k, search_options, {i: None for i in range(self.shards)},
                            allow_partial, threads)

    def search_with_filter(self, queries, topk, allowed_ids, allow_partial=False, threads=None,
                           **search_options):
        """As search, only rows whose id is in allowed_ids; each shard is sent the
        allowed ids inside its id range, and shards with none are not asked (they
        count as answered)."""
        q, k = self._prepare(queries, topk, search_options, threads)
        allowed = np.unique(_convert.id_set(allowed_ids, "allowed_ids"))
        lo = np.searchsorted(allowed, self._id_min, side="left")
        hi = np.searchsorted(allowed, self._id_max, side="right")
        routed = {i: allowed[lo[i]:hi[i]] for i in range(self.shards) if hi[i] > lo[i]}
        return self._answer(q, k, search_options, routed, allow_partial, threads)

    def close(self):
        """Closes the shards on every worker; safe to call more than once."""
        if getattr(self, "_closed", True):
            return
        self._closed = True
        try:
            self._client.run(_shards.release, self._token)
        except Exception:  # the cluster is gone: its workers took the shards with them
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


Searcher = ShardedSearcher
