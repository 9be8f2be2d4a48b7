"""orvane.Searcher: opens an index file and answers top-k queries."""

import numpy as np

from orvane import _convert
from orvane._handle import _Handle


class Searcher(_Handle):
    """Answers top-k nearest-neighbour queries over one index file.

    `options` maps searcher option keys to Python values, for example
    {"index.type": "demo", "index.dimension": 128}. Call open(path) before
    searching. Library failures raise orvane.OrvaneError with the library's
    message.
    """

    _KIND = "searcher"

    def open(self, path):
        """Opens the index file at path."""
        handle = self._live()
        p = _convert.path_bytes(path)
        self._call("open", handle, p)
        self._dim = int(self._lib.orvane_searcher_get_dimension(handle))

    @property
    def count(self):
        """Number of indexed vectors (0 before open)."""
        return int(self._lib.orvane_searcher_get_count(self._live()))

    @property
    def dimension(self):
        """Vector dimension of the index."""
        return int(self._lib.orvane_searcher_get_dimension(self._live()))

    def _prepare(self, queries, topk):
        """Checked queries, k, n and the (n, k) output arrays, in that order."""
        q = _convert.vectors(queries, "queries", self._dim, allow_1d=True)
        k = _convert.topk_value(topk)
        n = _convert.query_count(q.shape[0])
        distances = np.empty((n, k), dtype=np.float32)
        ids = np.empty((n, k), dtype=np.uint64)
        return q, k, n, distances, ids

    def search(self, queries, topk, **search_options):
        """Nearest rows for each query row.

        queries: shape (n, dimension) (or one query of shape (dimension,)).
        search_options: extra search options; names without a dot get the
        "search." prefix (parallel_number=2 -> search.parallel_number).
        Returns (distances float32, ids uint64), each of shape (n, topk), best
        first; missing hits have distance 0.0 and id 2**64-1.
        """
        handle = self._live()
        q, k, n, distances, ids = self._prepare(queries, topk)
        text = _convert.options_json(_convert.search_options(search_options))
        self._call("search", handle, q.ctypes.data, n, k, distances.ctypes.data,
                   ids.ctypes.data, text)
        return distances, ids

    def search_with_filter(self, queries, topk, allowed_ids, **search_options):
        """As search, but only rows whose id is in allowed_ids may be returned.

        Needs an index kind that supports filtering; others raise
        OrvaneError("extension not attached").
        """
        handle = self._live()
        q, k, n, distances, ids = self._prepare(queries, topk)
        allowed = _convert.id_set(allowed_ids, "allowed_ids")
        text = _convert.options_json(_convert.search_options(search_options))
        self._call("search_with_filter", handle, q.ctypes.data, n, k, distances.ctypes.data,
                   ids.ctypes.data, allowed.ctypes.data if allowed.size else None, allowed.size,
                   text)
        return distances, ids
