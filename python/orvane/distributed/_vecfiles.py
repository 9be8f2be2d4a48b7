"""Rows of vector files, read as one matrix split into row ranges.

A list of files is one sequence of rows (file after file). The client reads only
the headers (shape and where the rows start); each worker maps the files and
copies out the rows of its own range. Formats: .npy (float32/float64 2-D, C
order), .fbin (u32 rows, u32 dimension, float32 rows) and .fvecs (each row an
int32 dimension and that many float32 values).
"""

import os
import struct

import numpy as np


def _header(path):
    """(rows, dimension, layout) of one file; layout says how to map it."""
    ext = os.path.splitext(path)[1].lower()
    if ext == ".npy":
        arr = np.load(path, mmap_mode="r")
        if arr.ndim != 2 or not arr.flags.c_contiguous:
            raise ValueError("%s: expected a C-ordered 2-D array, got shape %s" % (path, arr.shape))
        return arr.shape[0], arr.shape[1], ("npy",)
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        head = f.read(8)
    if ext == ".fbin":
        if len(head) < 8:
            raise ValueError("%s: too short for a .fbin header" % path)
        n, d = struct.unpack("<II", head)
        if size != 8 + 4 * n * d:
            raise ValueError("%s: header says %d x %d but the file holds %d bytes"
                             % (path, n, d, size))
        return n, d, ("fbin",)
    if ext == ".fvecs":
        if len(head) < 4:
            raise ValueError("%s: too short for a .fvecs file" % path)
        d = struct.unpack("<i", head[:4])[0]
        if d <= 0 or size % (4 * (d + 1)):
            raise ValueError("%s: not a .fvecs file of dimension %d" % (path, d))
        return size // (4 * (d + 1)), d, ("fvecs",)
    raise ValueError("%s: unknown vector file type %r (use .npy, .fbin or .fvecs)" % (path, ext))


def describe(paths):
    """[(path, first_row, rows, layout)] and the common dimension of a file list."""
    out, start, dim = [], 0, None
    for p in paths:
        p = os.fspath(p)
        n, d, layout = _header(p)
        if dim is not None and d != dim:
            raise ValueError("%s has dimension %d, the files before it %d" % (p, d, dim))
        dim = d
        out.append((os.path.abspath(p), start, n, layout))
        start += n
    return out, dim


def _mapped(path, layout, rows, dim):
    if layout[0] == "npy":
        return np.load(path, mmap_mode="r")
    if layout[0] == "fbin":
        return np.memmap(path, dtype=np.float32, mode="r", offset=8, shape=(rows, dim))
    whole = np.memmap(path, dtype=np.float32, mode="r", shape=(rows, dim + 1))
    return whole[:, 1:]


def read_rows(files, dim, lo, hi):
    """Rows lo..hi-1 of the file sequence as one float32 matrix."""
    parts = []
    for path, first, n, layout in files:
        a, b = max(lo, first), min(hi, first + n)
        if a < b:
            parts.append(np.asarray(_mapped(path, layout, n, dim)[a - first:b - first],
                                    dtype=np.float32))
    return np.ascontiguousarray(np.concatenate(parts) if parts else np.zeros((0, dim), np.float32))
