"""orvane.Builder: builds one index file from numpy arrays."""

from orvane import _convert, _paths
from orvane._handle import _Handle

# Kinds whose index keeps no row ids: a hit's id is the row's insertion position, so
# caller ids would be silently replaced by positions.
_KINDS_WITHOUT_IDS = frozenset({"demo"})


class Builder(_Handle):
    """Builds an index: pretrain(vectors), then insert(vectors, ids) once, then dump(path).

    `options` maps builder option keys to Python values, for example
    {"index.type": "demo", "index.dimension": 128}; file IO keys (io.*) apply to
    dump. Keys the kind does not know are refused. pretrain must be called also
    for index kinds that need no training. Library failures raise
    orvane.OrvaneError with the library's message. Calls on one builder are
    serialised; close() waits for a call in flight.
    """

    _KIND = "builder"

    @property
    def dimension(self):
        return self._dim

    def pretrain(self, vectors):
        """Trains on sample vectors, shape (n, dimension)."""
        self._live()
        arr = _convert.vectors(vectors, "vectors", self._dim)
        self._exclusive(lambda h: self._call("pretrain", h, arr.ctypes.data, arr.shape[0], 0))

    def insert(self, vectors, ids=None):
        """Inserts all vectors at once; ids default to 0 .. n-1."""
        self._live()
        arr = _convert.vectors(vectors, "vectors", self._dim)
        id_arr = None if ids is None else _convert.ids(ids, "ids", arr.shape[0])
        if id_arr is not None and self._type in _KINDS_WITHOUT_IDS:
            raise ValueError("the %s index stores no row ids (a hit's id is its row position); "
                             "insert without ids" % self._type)
        self._exclusive(lambda h: self._call(
            "insert", h, arr.ctypes.data, None if id_arr is None else id_arr.ctypes.data,
            arr.shape[0], arr.shape[1]))

    def dump_bytes(self):
        """Instead of dump: the index file image as bytes (the whole index)."""
        import ctypes
        from orvane import _native
        address = ctypes.c_void_p()
        size = ctypes.c_uint64()
        self._exclusive(lambda h: self._call("dump_buffer", h, ctypes.byref(address),
                                             ctypes.byref(size)))
        return _native.take_bytes(self._lib, address.value, size.value)

    def dump(self, path):
        """Writes the index file (through a symbolic link, to the link's target)."""
        self._live()
        p = _convert.path_bytes(path)
        target = _paths.output_file(p)
        self._exclusive(lambda h: self._call("dump", h, target, context=path))
