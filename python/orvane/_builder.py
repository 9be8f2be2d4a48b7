"""orvane.Builder: builds one index file from numpy arrays."""

from orvane import _convert, _native


def _configured_dimension(options):
    try:
        return int(str(options.get("index.dimension")).strip())
    except (TypeError, ValueError, AttributeError):
        return None


class Builder:
    """Builds an index: pretrain(vectors), then insert(vectors, ids) once, then dump(path).

    `options` maps builder option keys to Python values, for example
    {"index.type": "demo", "index.dimension": 128}. pretrain must be called
    also for index kinds that need no training. Library failures raise
    orvane.OrvaneError with the library's message.
    """

    def __init__(self, options):
        text = _convert.options_json(options)
        self._dim = _configured_dimension(options)
        self._lib = _native.load()
        err = _native.error_buffer()
        handle = self._lib.orvane_builder_create(text, err, len(err))
        if not handle:
            _native.raise_error(err)
        self._handle = handle

    @property
    def dimension(self):
        return self._dim

    def _live(self):
        if self._handle is None:
            raise ValueError("builder is closed")
        return self._handle

    def pretrain(self, vectors):
        """Trains on sample vectors, shape (n, dimension)."""
        handle = self._live()
        arr = _convert.vectors(vectors, "vectors", self._dim)
        err = _native.error_buffer()
        if self._lib.orvane_builder_pretrain(handle, arr.ctypes.data, arr.shape[0], 0, err,
                                             len(err)) != 0:
            _native.raise_error(err)

    def insert(self, vectors, ids=None):
        """Inserts all vectors at once; ids default to 0 .. n-1."""
        handle = self._live()
        arr = _convert.vectors(vectors, "vectors", self._dim)
        id_arr = None if ids is None else _convert.ids(ids, "ids", arr.shape[0])
        err = _native.error_buffer()
        rc = self._lib.orvane_builder_insert(
            handle, arr.ctypes.data, None if id_arr is None else id_arr.ctypes.data,
            arr.shape[0], arr.shape[1], err, len(err))
        if rc != 0:
            _native.raise_error(err)

    def dump(self, path):
        """Writes the index file."""
        handle = self._live()
        p = _convert.path_bytes(path)
        err = _native.error_buffer()
        if self._lib.orvane_builder_dump(handle, p, err, len(err)) != 0:
            _native.raise_error(err)

    def close(self):
        """Frees the builder; safe to call more than once."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is not None:
            self._lib.orvane_builder_destroy(handle)

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
