"""orvane.Builder: builds one index file from numpy arrays."""

import numpy as np

from orvane import _convert, _paths, _progress
from orvane._handle import _Handle

# Kinds whose index keeps no row ids: a hit's id is the row's insertion position, so
# caller ids would be silently replaced by positions.
_KINDS_WITHOUT_IDS = frozenset({"demo"})


def _sample_ratio(options):
    try:
        ratio = float(options.get("pretrain.sample_ratio", 1.0))
    except (TypeError, ValueError, AttributeError):
        return 1.0  # the library refuses the bad value itself
    return ratio if 0.0 < ratio <= 1.0 else 1.0


def _with_thread_defaults(options, threads=None, filled_keys=None):
    """options with every build thread count it leaves out set to `threads`, by
    default the machine's hardware threads (the C interface's own default is 1).
    The keys filled in are appended to `filled_keys` when given."""
    _convert.options_json(options)  # bad options are refused before the library is asked
    kind = _convert.index_type(options)
    if kind is None:
        return options
    from orvane import _native
    from orvane._handle import _checked
    lib = _native.load()
    address = _checked(lib.orvane_build_thread_keys, kind.encode("utf-8"), failed=lambda a: not a)
    keys = [k for k in _native.take_text(lib, address).split(",") if k]
    missing = [k for k in keys if k not in options]
    if not missing:
        return options
    if threads is None:
        threads = int(lib.orvane_hardware_threads())
    filled = dict(options)
    filled.update((k, threads) for k in missing)
    if filled_keys is not None:
        filled_keys.extend(missing)
    return filled


class Builder(_Handle):
    """Builds an index: [pretrain(vectors),] insert(vectors, ids) once, then dump(path).

    `options` maps builder option keys to Python values, for example
    {"index.type": "demo", "index.dimension": 128}; file IO keys (io.*) apply to
    dump. Keys the kind does not know are refused. Build thread counts left out
    (ivf.build.thread_count, diskann.build.thread_count, encoding.pq.thread_count
    ...) default to the machine's hardware threads. Without a pretrain call,
    insert pretrains on the inserted rows. Library failures raise
    orvane.OrvaneError with the library's message. Calls on one builder are
    serialised; close() waits for a call in flight.

    progress=True prints the build's progress to standard error as `orvane build`
    does (the thread counts chosen, then one line as each of pretrain, insert and
    dump starts and ends, with rows, rate and time); a text stream instead of
    True receives the lines.
    """

    _KIND = "builder"

    def __init__(self, options, progress=False):
        filled_keys = []
        super().__init__(_with_thread_defaults(options, filled_keys=filled_keys))
        self._progress = _progress.Progress.of(progress)
        if self._progress is not None and filled_keys:
            from orvane import _native
            threads = int(_native.load().orvane_hardware_threads())
            self._progress.note("threads: %d (the machine's hardware threads) for %s"
                                % (threads, ", ".join(filled_keys)))
        self._pretrained = False
        self._sample_ratio = _sample_ratio(options)

    @property
    def dimension(self) -> "int | None":
        return self._dim

    def pretrain(self, vectors: "np.typing.ArrayLike") -> None:
        """Trains on sample vectors, shape (n, dimension)."""
        self._live()
        arr = _convert.vectors(vectors, "vectors", self._dim)
        self._phase("pretrain", arr.shape[0], lambda: self._exclusive(
            lambda h: self._call("pretrain", h, arr.ctypes.data, arr.shape[0], 0)))
        self._pretrained = True

    def insert(self, vectors: "np.typing.ArrayLike",
               ids: "np.typing.ArrayLike | None" = None) -> None:
        """Inserts all vectors at once; ids default to 0 .. n-1. A builder that was
        never pretrained first pretrains on these rows, sampled evenly as
        pretrain.sample_ratio says (all rows by default)."""
        self._live()
        arr = _convert.vectors(vectors, "vectors", self._dim)
        id_arr = None if ids is None else _convert.ids(ids, "ids", arr.shape[0])
        if id_arr is not None and self._type in _KINDS_WITHOUT_IDS:
            raise ValueError("the %s index stores no row ids (a hit's id is its row position); "
                             "insert without ids" % self._type)
        if not self._pretrained and arr.shape[0] > 0:
            n = arr.shape[0]
            take = min(n, max(1, int(round(n * self._sample_ratio))))
            rows = np.unique(np.linspace(0, n - 1, take).round().astype(np.int64))
            self.pretrain(arr if take == n else arr[rows])
        self._phase("insert", arr.shape[0], lambda: self._exclusive(lambda h: self._call(
            "insert", h, arr.ctypes.data, None if id_arr is None else id_arr.ctypes.data,
            arr.shape[0], arr.shape[1])))

    def _phase(self, name, rows, fn):
        return fn() if self._progress is None else self._progress.phase(name, rows, fn)

    def dump_bytes(self) -> bytes:
        """Instead of dump: the index file image as bytes (the whole index)."""
        import ctypes
        from orvane import _native
        address = ctypes.c_void_p()
        size = ctypes.c_uint64()
        self._exclusive(lambda h: self._call("dump_buffer", h, ctypes.byref(address),
                                             ctypes.byref(size)))
        return _native.take_bytes(self._lib, address.value, size.value)

    def dump(self, path: "str | bytes | os.PathLike") -> None:
        """Writes the index file (through a symbolic link, to the link's target)."""
        self._live()
        p = _convert.path_bytes(path)
        target = _paths.output_file(p)
        self._phase("write", 0, lambda: self._exclusive(
            lambda h: self._call("dump", h, target, context=path)))
