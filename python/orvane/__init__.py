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

The library's log lines go to standard error, warnings and errors only by
default; orvane.set_log_level("info") shows more, "off" none.
"""

from orvane._errors import OrvaneError
from orvane._builder import Builder
from orvane._searcher import Searcher
from orvane._native import set_log_level

__version__ = "0.1.0"  # kept equal to the CMake project version

__all__ = ["Builder", "OrvaneError", "Searcher", "set_log_level"]
