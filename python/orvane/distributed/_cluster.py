"""What the client side needs to know about the cluster and about failed tasks."""

from orvane._errors import OrvaneError


class ShardError(OrvaneError):
    """A shard could not be built, opened or searched.

    `shard` is the index of the first failing shard, `shards` all failing
    indices; the message names them and carries the worker's own message."""

    def __init__(self, what, failures, total):
        self.shards = sorted(failures)
        self.shard = self.shards[0]
        first = failures[self.shard]
        others = "" if len(self.shards) == 1 else " (failed shards: %s)" % (
            ", ".join(str(s) for s in self.shards))
        super().__init__("%s shard %d of %d failed%s: %s: %s" % (
            what, self.shard, total, others, type(first).__name__, first))


def live_workers(client):
    """Sorted addresses of the cluster's workers; refuses a cluster without any."""
    workers = sorted(client.scheduler_info()["workers"])
    if not workers:
        raise RuntimeError("the Dask cluster has no workers (start some with `dask worker`)")
    return workers


def worker_lost(exc):
    """True for failures caused by a lost worker rather than by the task itself."""
    from distributed import KilledWorker
    from distributed.comm import CommClosedError
    return isinstance(exc, (KilledWorker, CommClosedError, ConnectionError))


def outcomes(futures):
    """Waits for {key: future}; returns ({key: result}, {key: exception})."""
    from distributed import wait
    wait(list(futures.values()))
    done, failed = {}, {}
    for key, f in futures.items():
        if f.status == "finished":
            done[key] = f.result()
        else:
            try:
                failed[key] = f.exception()
            except Exception as e:  # cancelled futures raise instead of returning
                failed[key] = e
    return done, failed
