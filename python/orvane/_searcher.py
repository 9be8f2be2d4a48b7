"""orvane.Searcher: opens an index file and answers top-k queries."""

import builtins
import os  # noqa: F401 - named in type hints
import ctypes
import threading

import numpy as np

from orvane import _convert, _native, _paths
from orvane._handle import _Handle, _checked, check_option_keys

_EMPTY_OPTIONS = b"{}"
# Distinct search options remembered per searcher, as checked JSON text.
_OPTIONS_CACHE_LIMIT = 64
_F32 = np.dtype(np.float32)
_INT32_MAX = 2**31 - 1
# Small query batches are copied into a per-thread buffer whose address is taken
# once: asking numpy for an array's address costs more than the library's own work
# on a small index. Larger batches pass the caller's array directly.
_SCRATCH_FLOATS = 4096
_PAD_ID = np.uint64(2**64 - 1)
builtins_open = builtins.open


class _Scratch(threading.local):
    """One thread's query buffer and message buffer for small searches."""

    def __init__(self):
        self.query = np.empty(_SCRATCH_FLOATS, dtype=np.float32)
        self.query_addr = self.query.ctypes.data
        self.err = _native.error_buffer()


_scratch = _Scratch()
_address_of = ctypes.addressof
_as_bytes = ctypes.c_char.from_buffer  # the cheapest way to a fresh array's address


_MAX_THREADS = 1024


def _with_threads(search_options, threads):
    """search_options with search.batch_threads set from a checked thread count."""
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)):
        raise ValueError(f"threads must be an integer from 1 to {_MAX_THREADS}, got {threads!r}")
    if not 1 <= threads <= _MAX_THREADS:
        raise ValueError(f"threads must be an integer from 1 to {_MAX_THREADS}, got {threads}")
    for key in ("batch_threads", "search.batch_threads"):
        if key in search_options:
            raise ValueError(f"threads and {key} both given")
    return dict(search_options, batch_threads=int(threads))


def _failed(rc):
    return rc != 0


class Searcher(_Handle):
    """Answers top-k nearest-neighbour queries over one index file.

    `options` maps searcher option keys to Python values, for example
    {"index.type": "demo", "index.dimension": 128}; file IO keys apply to open,
    e.g. {"io.verify_crc": True} checks every section's checksum. Keys the kind
    does not know are refused. Call open(path) before searching. Library
    failures raise orvane.OrvaneError with the library's message. Searches may
    run from several threads at once; open and close wait for them.
    """

    _KIND = "searcher"

    def __init__(self, options):
        super().__init__(options)
        self._options = dict(options)
        self._search_texts = {}
        self._source = None  # the path or bytes opened, for to_bytes and pickling
        self._missing = None  # distance of a missing hit, found on first need

    def open_bytes(self, data: "bytes | bytearray | memoryview") -> None:
        """Opens an index file image held in a bytes-like object (copied)."""
        self._live()
        image = bytes(data)

        def do_open(handle):
            self._call("open_buffer", handle, image, len(image))
            self._dim = int(self._lib.orvane_searcher_get_dimension(handle))
            self._source = ("image", image)
            self._missing = None

        self._exclusive(do_open)

    def to_bytes(self) -> bytes:
        """The opened index's file image: the whole index, copied into memory."""
        self._live()
        if self._source is None:
            raise ValueError("searcher is not open")
        form, source = self._source
        if form == "image":
            return source
        with builtins_open(source, "rb") as f:
            return f.read()

    def __reduce__(self):
        # Pickles as the options and the whole index image (see to_bytes).
        return (_restore, (self._options, self.to_bytes()))

    def _missing_distance(self):
        """inf, or -inf for inner product, where larger is better."""
        if self._missing is None:
            from orvane import _describe
            form, source = self._source
            if form == "image":
                info = _describe.describe_bytes(source)
            else:
                info = _describe.describe(source)
            self._missing = -np.inf if info.get("metric") == "inner_product" else np.inf
        return self._missing

    def _mark_missing(self, distances, ids):
        """Missing hits (id 2**64-1) get a distance that never looks best."""
        missing = ids == _PAD_ID
        if missing.any():
            distances[missing] = self._missing_distance()
        return distances, ids

    def open(self, path: "str | bytes | os.PathLike") -> None:
        """Opens the index file at path."""
        self._live()
        p = _convert.path_bytes(path)
        _paths.input_file(p)

        def do_open(handle):
            self._call("open", handle, p, context=path)
            self._dim = int(self._lib.orvane_searcher_get_dimension(handle))
            self._source = ("path", p)
            self._missing = None

        self._exclusive(do_open)

    @property
    def count(self) -> int:
        """Number of indexed vectors (0 before open)."""
        return self._shared(lambda h: int(self._lib.orvane_searcher_get_count(h)))

    @property
    def dimension(self) -> int:
        """Vector dimension of the index."""
        return self._shared(lambda h: int(self._lib.orvane_searcher_get_dimension(h)))

    def _shared(self, fn):
        gate = self._gate
        gate.enter_shared()
        try:
            handle = self._handle
            if handle is None:
                raise ValueError("searcher is closed")
            return fn(handle)
        finally:
            gate.exit_shared()

    def _options_text(self, search_options):
        """The checked JSON text of keyword search options, built once per distinct set."""
        if not search_options:
            return _EMPTY_OPTIONS
        key = tuple(sorted(search_options.items(), key=lambda kv: kv[0]))
        try:
            return self._search_texts[key]
        except (KeyError, TypeError):  # TypeError: an unhashable value, checked below
            pass
        text = _convert.options_json(_convert.search_options(search_options))
        if self._type is not None:
            check_option_keys(self._lib, "search", self._type, text)
        try:
            if len(self._search_texts) >= _OPTIONS_CACHE_LIMIT:
                self._search_texts.clear()
            self._search_texts[key] = text
        except TypeError:
            pass
        return text

    def _prepare(self, queries, topk):
        """Checked queries, k, n and the (n, k) output arrays, in that order."""
        q = _convert.vectors(queries, "queries", self._dim, allow_1d=True)
        k = _convert.topk_value(topk)
        n = _convert.query_count(q.shape[0])
        distances = np.empty((n, k), dtype=np.float32)
        ids = np.empty((n, k), dtype=np.uint64)
        return q, k, n, distances, ids

    def search(self, queries: "np.typing.ArrayLike", topk: int, threads: "int | None" = None,
               **search_options: object) -> "tuple[np.ndarray, np.ndarray]":
        """Nearest rows for each query row.

        queries: shape (n, dimension) (or one query of shape (dimension,)).
        All rows are answered by one library call, which releases the
        interpreter lock while it runs and spreads the rows over `threads`
        threads (an int in 1..1024; default all hardware threads, 1 the calling
        thread alone): search.batch_threads.
        search_options: extra search options; names without a dot get the
        "search." prefix (parallel_number=2 -> search.parallel_number).
        Returns (distances float32, ids uint64), each of shape (n, topk), best
        first; missing hits have id 2**64-1 and distance inf (-inf for inner
        product), so they never sort as the best hits. Queries with a NaN
        or infinite component are refused.
        """
        if self._handle is None:
            raise ValueError("searcher is closed")
        if threads is not None:
            search_options = _with_threads(search_options, threads)
        text = self._options_text(search_options) if search_options else _EMPTY_OPTIONS
        # Fast path: a float32 C-ordered array of the index's width and a plain int topk
        # need no conversion, and small ones go through this thread's buffers.
        if (type(queries) is np.ndarray and queries.dtype == _F32 and type(topk) is int
                and 0 < topk <= _INT32_MAX and queries.flags.c_contiguous):
            shape = queries.shape
            dim = self._dim
            if len(shape) == 1:
                n = 1
            elif len(shape) == 2:
                n = shape[0]
            else:
                n = 0
            if n and shape[-1] == dim and dim and n * dim <= _SCRATCH_FLOATS:
                return self._search_small(queries, n, topk, text)
        q, k, n, distances, ids = self._prepare(queries, topk)
        self._shared(lambda h: _checked(self._lib.orvane_searcher_search, h, q.ctypes.data, n, k,
                                        distances.ctypes.data, ids.ctypes.data, text,
                                        failed=_failed))
        return self._mark_missing(distances, ids)

    def _search_small(self, queries, n, k, text):
        scratch = _scratch
        if n == 1:
            scratch.query[:queries.shape[-1]] = queries  # (d,) or (1, d) broadcasts, no reshape
        else:
            scratch.query[:queries.size] = queries.ravel()
        distances = np.empty((n, k), dtype=np.float32)
        ids = np.empty((n, k), dtype=np.uint64)
        gate = self._gate
        gate.enter_shared()
        try:
            handle = self._handle
            if handle is None:
                raise ValueError("searcher is closed")
            err = scratch.err
            if self._lib.orvane_searcher_search(handle, scratch.query_addr, n, k,
                                                _address_of(_as_bytes(distances)),
                                                _address_of(_as_bytes(ids)), text, err,
                                                _native.ERR_LEN) != 0:
                _native.raise_error(err)
        finally:
            gate.exit_shared()
        return self._mark_missing(distances, ids)

    def search_with_filter(self, queries: "np.typing.ArrayLike", topk: int,
                           allowed_ids: "np.typing.ArrayLike", threads: "int | None" = None,
                           **search_options: object) -> "tuple[np.ndarray, np.ndarray]":
        """As search, but only rows whose id is in allowed_ids may be returned.

        Needs an index kind that supports filtering; others raise
        OrvaneError("extension not attached").
        """
        if self._handle is None:
            raise ValueError("searcher is closed")
        if threads is not None:
            search_options = _with_threads(search_options, threads)
        q, k, n, distances, ids = self._prepare(queries, topk)
        allowed = _convert.id_set(allowed_ids, "allowed_ids")
        text = self._options_text(search_options)
        self._shared(lambda h: self._call(
            "search_with_filter", h, q.ctypes.data, n, k, distances.ctypes.data,
            ids.ctypes.data, allowed.ctypes.data if allowed.size else None, allowed.size, text))
        return self._mark_missing(distances, ids)


def _restore(options, image):
    searcher = Searcher(options)
    searcher.open_bytes(image)
    return searcher
