"""Sharded indexes built and searched on a Dask cluster (needs dask.distributed).

    from dask.distributed import Client, LocalCluster
    import orvane.distributed as od

    client = Client(LocalCluster(n_workers=2, threads_per_worker=1))
    manifest = od.build(client, vectors, {"index.type": "bruteforce",
                                          "index.dimension": 128}, 4, "/shared/idx")
    with od.ShardedSearcher(client, manifest) as s:
        distances, ids = s.search(queries, 10)

The directory must be readable and writable by the client and every worker
under the same path (a shared file system on real machines). `import orvane`
does not import this module or Dask.
"""

try:
    import distributed as _distributed  # noqa: F401
except ImportError as e:
    raise ImportError("orvane.distributed needs Dask's distributed scheduler "
                      "(Debian: python3-distributed): %s" % e) from e

from orvane.distributed._build import build  # noqa: E402
from orvane.distributed._cluster import ShardError  # noqa: E402
from orvane.distributed._searcher import Searcher, ShardedSearcher  # noqa: E402

__all__ = ["Searcher", "ShardError", "ShardedSearcher", "build"]
