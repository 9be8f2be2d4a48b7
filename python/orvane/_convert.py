"""Checks and conversions done in Python before anything reaches the C library.

Everything that could make the library read or write outside a caller's array
(wrong dtype, wrong shape, non-contiguous memory, wrong counts) is caught here
and raised as TypeError or ValueError, so no C function is called with it.
"""

import math
import numbers

import numpy as np

_INT32_MAX = 2**31 - 1


def _option_text(key, value):
    if isinstance(value, (bool, np.bool_)):
        return "true" if value else "false"
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        value = float(value)
        if not math.isfinite(value):
            raise ValueError("option %r must be a finite number, got %r" % (key, value))
        return repr(value)
    if isinstance(value, str):
        return value
    raise TypeError("option %r must be a bool, int, float or str, got %s"
                    % (key, type(value).__name__))


def options_json(options):
    """Option mapping -> the flat JSON text the C interface reads (all values quoted)."""
    if options is None:
        return b"{}"
    if not hasattr(options, "items"):
        raise TypeError("options must be a mapping of option keys to values")
    parts = []
    for key, value in options.items():
        if not isinstance(key, str) or not key:
            raise TypeError("option keys must be non-empty strings, got %r" % (key,))
        text = _option_text(key, value)
        # The C scanner has no escapes: a double quote would cut the pair short.
        if '"' in key or '"' in text:
            raise ValueError("option %r: double quotes cannot be passed to the library" % key)
        parts.append('"%s": "%s"' % (key, text))
    return ("{" + ", ".join(parts) + "}").encode("utf-8")


def index_type(options):
    """The options' index.type as text, or None when it is missing."""
    if options is None or not hasattr(options, "get"):
        return None
    value = options.get("index.type")
    return value if isinstance(value, str) and value else None


def search_options(extra):
    """Keyword search options: bare names get the "search." prefix."""
    out = {}
    for key, value in extra.items():
        out[key if "." in key else "search." + key] = value
    return out


def _as_numeric(array, name):
    arr = np.asarray(array)
    if arr.dtype.kind not in "fiub":
        raise TypeError("%s must be numeric, got dtype %s" % (name, arr.dtype))
    return arr


def vectors(array, name, dim=None, allow_1d=False):
    """A C-contiguous float32 matrix of shape (n, dim).

    Real-valued inputs of other dtypes are converted; a 1-D input is taken as
    one row when allow_1d is set."""
    arr = _as_numeric(array, name)
    if arr.ndim == 1 and allow_1d:
        arr = arr.reshape(1, -1)
    if arr.ndim != 2:
        raise ValueError("%s must be a 2-D array of shape (n, dim), got shape %s"
                         % (name, arr.shape))
    if dim is not None and arr.shape[1] != dim:
        raise ValueError("%s has %d columns but the index dimension is %d"
                         % (name, arr.shape[1], dim))
    if arr.shape[1] == 0:
        raise ValueError("%s must have at least one column" % name)
    return np.ascontiguousarray(arr, dtype=np.float32)


def ids(array, name, count):
    """A C-contiguous uint64 vector of `count` ids (None means count=None, no check)."""
    arr = _as_numeric(array, name)
    if arr.dtype.kind == "f" or arr.dtype.kind == "b":
        raise TypeError("%s must hold integers, got dtype %s" % (name, arr.dtype))
    if arr.ndim != 1:
        raise ValueError("%s must be a 1-D array, got shape %s" % (name, arr.shape))
    if count is not None and arr.shape[0] != count:
        raise ValueError("%s holds %d ids but there are %d vectors"
                         % (name, arr.shape[0], count))
    if arr.dtype.kind == "i" and arr.size and arr.min() < 0:
        raise ValueError("%s must not hold negative ids" % name)
    return np.ascontiguousarray(arr, dtype=np.uint64)


def id_set(values, name):
    """Allowed ids from an array, list, set or other iterable of integers.

    A sequence of Python ints is taken element by element: numpy would turn a
    mix of small ints and ints at or above 2**63 into floats (or objects)."""
    if isinstance(values, np.ndarray):
        if values.size == 0:
            return np.zeros(0, dtype=np.uint64)
        return ids(values.reshape(-1) if values.ndim == 0 else values, name, None)
    items = list(values)
    for item in items:
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, numbers.Integral):
            raise TypeError("%s must hold integers, got %s" % (name, type(item).__name__))
        if not 0 <= int(item) < 2**64:
            raise ValueError("%s must hold ids in 0..2**64-1, got %d" % (name, int(item)))
    return np.array([int(item) for item in items], dtype=np.uint64)


def topk_value(topk):
    if isinstance(topk, (bool, np.bool_)) or not isinstance(topk, numbers.Integral):
        raise TypeError("topk must be an int, got %s" % type(topk).__name__)
    topk = int(topk)
    if topk < 1 or topk > _INT32_MAX:
        raise ValueError("topk must be in 1..%d, got %d" % (_INT32_MAX, topk))
    return topk


def query_count(n):
    if n > _INT32_MAX:
        raise ValueError("at most %d queries per call, got %d" % (_INT32_MAX, n))
    return n


def path_bytes(path):
    import os
    p = os.fspath(path)
    if isinstance(p, str):
        p = p.encode("utf-8")
    if b"\0" in p:
        raise ValueError("path must not contain NUL bytes")
    return p
