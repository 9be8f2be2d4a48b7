"""Merging per-shard top-k lists into one (distances, ids) pair.

Every shard answers the same batch with its own best `topk` hits, padded like a
single index (id 2**64-1 with distance inf, -inf for inner_product, so a
missing hit never sorts as the best). The merged row keeps the `topk` best
real hits over all shards in the metric's order: ascending distance for l2 and
cosine, descending score for inner_product (the library reports the plain inner
product, larger is better). Equal distances are ordered by id so the result does
not depend on which shard answered first.
"""

import numpy as np

MISSING_ID = np.uint64(2**64 - 1)

# distance.metric values whose larger value is the better match.
_HIGHER_IS_BETTER = frozenset({"inner_product"})


def higher_is_better(metric):
    return metric in _HIGHER_IS_BETTER


def missing_distance(metric):
    """The distance the package reports for a missing hit under `metric`."""
    return -np.inf if higher_is_better(metric) else np.inf


def padded(n, topk, metric):
    """The answer of a shard that holds no matching row: all slots missing."""
    return (np.full((n, topk), missing_distance(metric), dtype=np.float32),
            np.full((n, topk), MISSING_ID, dtype=np.uint64))


def merge(parts, topk, metric):
    """parts: a non-empty list of (distances, ids), each of shape (n, k_i)."""
    distances = np.concatenate([np.asarray(d, dtype=np.float32) for d, _ in parts], axis=1)
    ids = np.concatenate([np.asarray(i, dtype=np.uint64) for _, i in parts], axis=1)
    missing = ids == MISSING_ID
    # Sort key: better first, missing slots last whatever the metric.
    key = -distances if higher_is_better(metric) else distances.copy()
    key[missing] = np.inf
    order = np.lexsort((ids, key), axis=1)[:, :topk]
    out_d = np.take_along_axis(distances, order, axis=1)
    out_i = np.take_along_axis(ids, order, axis=1)
    gone = np.take_along_axis(missing, order, axis=1)
    out_d[gone] = missing_distance(metric)
    out_i[gone] = MISSING_ID
    if out_d.shape[1] < topk:  # fewer slots than topk over all shards: pad
        pad_d, pad_i = padded(out_d.shape[0], topk - out_d.shape[1], metric)
        out_d = np.concatenate([out_d, pad_d], axis=1)
        out_i = np.concatenate([out_i, pad_i], axis=1)
    return np.ascontiguousarray(out_d), np.ascontiguousarray(out_i)
