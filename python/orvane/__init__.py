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
"""

from orvane._errors import OrvaneError
from orvane._builder import Builder
from orvane._searcher import Searcher

__all__ = ["Builder", "OrvaneError", "Searcher"]
