"""orvane.Builder: builds one index file from numpy arrays."""

from orvane import _convert
from orvane._handle import _Handle


class Builder(_Handle):
    """Builds an index: pretrain(vectors), then insert(vectors, ids) once, then dump(path).

    `options` maps builder option keys to Python values, for example
    {"index.type": "demo", "index.dimension": 128}. pretrain must be called
    also for index kinds that need no training. Library failures raise
    orvane.OrvaneError with the library's message.
    """

    _KIND = "builder"

    @property
    def dimension(self):
        return self._dim

    def pretrain(self, vectors):
        """Trains on sample vectors, shape (n, dimension)."""
        handle = self._live()
        arr = _convert.vectors(vectors, "vectors", self._dim)
        self._call("pretrain", handle, arr.ctypes.data, arr.shape[0], 0)

    def insert(self, vectors, ids=None):
        """Inserts all vectors at once; ids default to 0 .. n-1."""
        handle = self._live()
        arr = _convert.vectors(vectors, "vectors", self._dim)
        id_arr = None if ids is None else _convert.ids(ids, "ids", arr.shape[0])
        self._call("insert", handle, arr.ctypes.data,
                   None if id_arr is None else id_arr.ctypes.data, arr.shape[0], arr.shape[1])

    def dump(self, path):
        """Writes the index file."""
        handle = self._live()
        p = _convert.path_bytes(path)
        self._call("dump", handle, p)
