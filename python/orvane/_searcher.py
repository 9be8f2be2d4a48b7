"""orvane.Searcher: opens an index file and answers top-k queries."""

import numpy as np

from orvane import _convert, _native
from orvane._builder import _configured_dimension


class Searcher:
    """Answers top-k nearest-neighbour queries over one index file.

    `options` maps searcher option keys to Python values, for example
    {"index.type": "demo", "index.dimension": 128}. Call open(path) before
    searching. Library failures raise orvane.OrvaneError with the library's
    message.
    """

    def __init__(self, options):
        text = _convert.options_json(options)
        self._dim = _configured_dimension(options)
        self._lib = _native.load()
        err = _native.error_buffer()
        handle = self._lib.orvane_searcher_create(text, err, len(err))
        if not handle:
            _native.raise_error(err)
        self._handle = handle

    def _live(self):
        if self._handle is None:
            raise ValueError("searcher is closed")
        return self._handle

    def open(self, path):
        """Opens the index file at path."""
        handle = self._live()
        p = _convert.path_bytes(path)
        err = _native.error_buffer()
        if self._lib.orvane_searcher_open(handle, p, err, len(err)) != 0:
            _native.raise_error(err)
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
        err = _native.error_buffer()
        rc = self._lib.orvane_searcher_search(handle, q.ctypes.data, n, k,
                                              distances.ctypes.data, ids.ctypes.data, text,
                                              err, len(err))
        if rc != 0:
            _native.raise_error(err)
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
        err = _native.error_buffer()
        rc = self._lib.orvane_searcher_search_with_filter(
            handle, q.ctypes.data, n, k, distances.ctypes.data, ids.ctypes.data,
            allowed.ctypes.data if allowed.size else None, allowed.size, text, err, len(err))
        if rc != 0:
            _native.raise_error(err)
        return distances, ids

    def close(self):
        """Closes the index and frees the searcher; safe to call more than once."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is not None:
            self._lib.orvane_searcher_destroy(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutdown: nothing sensible left to do
            pass
