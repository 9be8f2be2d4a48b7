"""Python bindings for the Orvane vector-similarity search library.

    import numpy as np
    import orvane

    data = np.random.rand(1000, 16).astype(np.float32)
    with orvane.Builder({"index.type": "demo", "index.dimension": 16}) as b:
        b.pretrain(data)
        b.insert(data)
        b.dump("/tmp/demo.idx")
    with orvane.Searcher({"index.type": "demo", "index.dimension": 16}) as s:
        s.open("/tmp/demo.idx")
        distances, ids = s.search(data[:5], topk=10)

Or, with the kind and dimension read from the file:

    s = orvane.open("/tmp/demo.idx")
    print(orvane.describe("/tmp/demo.idx"))   # kind, rows, dim, metric, encoding, ...

A Searcher pickles (and Builder.dump_bytes / Searcher.to_bytes / orvane.from_bytes
move an index) as its whole file image: the entire index is copied.

The library's log lines go to standard error, warnings and errors only by
default; orvane.set_log_level("info") shows more, "off" none.
"""

from orvane._errors import OrvaneError
from orvane._builder import Builder
from orvane._searcher import Searcher
from orvane._native import set_log_level
from orvane._describe import describe, describe_bytes, from_bytes, open
from orvane._version import __version__

__all__ = ["Builder", "OrvaneError", "Searcher", "set_log_level", "describe", "describe_bytes",
           "from_bytes", "open", "__version__"]
